# The batch backend side by side with the scalar layer. Built with the
# ordinary flags: the tests skip themselves on CPUs without AVX-512 IFMA.
add_executable(edwards25519_batch_tests ${CMAKE_CURRENT_LIST_DIR}/batch_field_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/batch_point_test.cpp)
target_link_libraries(edwards25519_batch_tests PRIVATE edwards25519 GTest::gtest GTest::gtest_main)
gtest_discover_tests(edwards25519_batch_tests)
