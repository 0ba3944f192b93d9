# The batch path of the stream operations and conversions side by side with
# the scalar path. Built with the ordinary flags: the tests skip themselves on
# CPUs without AVX-512 IFMA.
add_executable(batch_operations_tests ${CMAKE_CURRENT_LIST_DIR}/batch_operations_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/batch_conversion_test.cpp)
target_link_libraries(batch_operations_tests PRIVATE ostrelline_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(batch_operations_tests)
