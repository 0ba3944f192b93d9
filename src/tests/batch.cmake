# Every batch backend's stream paths and conversions side by side with the
# scalar path, through the plain-data kernels of src/stream_paths.hpp and the
# operations' backend argument: compiled with the project's ordinary flags,
# one test per backend, skipped where the CPU lacks the backend (a build
# that emulates the instructions runs them all).
add_executable(batch_operations_tests ${CMAKE_CURRENT_LIST_DIR}/batch_operations_test.cpp
                                      ${CMAKE_CURRENT_LIST_DIR}/batch_conversion_test.cpp)
target_link_libraries(batch_operations_tests PRIVATE ostrelline_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(batch_operations_tests)
