# Timings of the encryption primitives.
add_executable(primitives_bench ${CMAKE_CURRENT_SOURCE_DIR}/primitives_bench.cpp)
target_link_libraries(primitives_bench PRIVATE ostrelline_core)
