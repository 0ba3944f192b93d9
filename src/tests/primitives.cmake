# Uniform point bytes, Ciphertext and WideCiphertext. GMP serves as an
# independent big-integer oracle for the field formulas of the Elligator maps.
pkg_check_modules(GMPXX REQUIRED IMPORTED_TARGET gmpxx)

include(${CMAKE_CURRENT_LIST_DIR}/given_scalars/given_scalars.cmake)
add_executable(primitives_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/point_conversion_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ciphertexts_test.cpp)
target_link_libraries(primitives_tests PRIVATE ostrelline_core ostrelline_given_scalars PkgConfig::GMPXX GTest::gtest GTest::gtest_main)
gtest_discover_tests(primitives_tests)
