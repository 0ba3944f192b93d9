# Every backend's lane path side by side with the reference (the lane path
# on one lane of the scalar field), through the kernels of
# src/paths/kernels.hpp and the operations on them (with given scalars
# through the same lane path's test tables, given_scalars/), and the lane
# conversions of each backend (conversions/, one source per instruction
# set) against the scalar ones: one test per backend, skipped where the CPU
# lacks the backend (a build that emulates the instructions runs them all).
include(${PROJECT_SOURCE_DIR}/edwards25519/tests/group_kernels/group_kernels.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/given_scalars/given_scalars.cmake)
add_executable(batch_operations_tests ${CMAKE_CURRENT_LIST_DIR}/batch_operations_test.cpp
                                      ${CMAKE_CURRENT_LIST_DIR}/batch_conversion_test.cpp
                                      ${CMAKE_CURRENT_LIST_DIR}/conversions/conversions.cpp)
ostrelline_backend_sources(batch_operations_tests ${CMAKE_CURRENT_LIST_DIR}/conversions)
target_link_libraries(batch_operations_tests PRIVATE ostrelline_core ostrelline_given_scalars edwards25519_group_kernels GTest::gtest GTest::gtest_main)
gtest_discover_tests(batch_operations_tests)
