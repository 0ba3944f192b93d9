# The lane fields of the batch engine against the scalar field. The sources
# of the x86 backends' cases are built with the baseline flags: each
# compiles its field and checks for the backend's instructions in a target
# region of its own (see lane_field_cases.hpp), so the program starts on any
# CPU and skips the backends the CPU lacks; a build that emulates the
# instructions runs them all.
add_executable(edwards25519_lane_field_tests ${CMAKE_CURRENT_LIST_DIR}/lane_field_test.cpp)
if(OSTRELLINE_X86)
  target_sources(edwards25519_lane_field_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/lane_field_test_avx2.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/lane_field_test_avx512f.cpp ${CMAKE_CURRENT_LIST_DIR}/lane_field_test_ifma.cpp)
endif()
target_link_libraries(edwards25519_lane_field_tests PRIVATE edwards25519 GTest::gtest GTest::gtest_main)
gtest_discover_tests(edwards25519_lane_field_tests)
