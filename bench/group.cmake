# Group-layer benchmark: ours against the reference library on the same operations.
pkg_check_modules(SODIUM REQUIRED libsodium)
add_executable(group_bench ${CMAKE_CURRENT_LIST_DIR}/group_bench.cpp)
target_link_libraries(group_bench PRIVATE edwards25519 ${SODIUM_LINK_LIBRARIES})
target_include_directories(group_bench PRIVATE ${SODIUM_INCLUDE_DIRS})
