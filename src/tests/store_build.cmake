# The packed build (src/store_build): its checks of the offsets, its rows, and
# the list build's store byte for byte under a fixed getrandom, which this
# executable defines for itself.
add_executable(store_build_tests ${CMAKE_CURRENT_LIST_DIR}/store_build_test.cpp)
target_link_libraries(store_build_tests PRIVATE ostrelline_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(store_build_tests)
