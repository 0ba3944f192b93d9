# Every batch backend side by side with the scalar layer, through the
# backends' plain-data group kernels (group_kernels/): one test per backend,
# skipped where the CPU lacks the backend (a build that emulates the
# instructions runs them all).
include(${CMAKE_CURRENT_LIST_DIR}/group_kernels/group_kernels.cmake)
add_executable(edwards25519_batch_tests ${CMAKE_CURRENT_LIST_DIR}/batch_field_test.cpp
                                        ${CMAKE_CURRENT_LIST_DIR}/batch_point_test.cpp)
target_link_libraries(edwards25519_batch_tests PRIVATE edwards25519_group_kernels GTest::gtest GTest::gtest_main)
gtest_discover_tests(edwards25519_batch_tests)
