# Products, squares and inversions per element in every lane field against
# the scalar field; each backend's timing loops compiled for its instruction
# set (cmake/isa.cmake), called only where the CPU runs them.
add_executable(lane_field_bench ${CMAKE_CURRENT_SOURCE_DIR}/lane_field_bench.cpp)
ostrelline_isa_sources(lane_field_bench avx2 ${CMAKE_CURRENT_SOURCE_DIR}/lane_field_bench_avx2.cpp)
ostrelline_isa_sources(lane_field_bench avx512f ${CMAKE_CURRENT_SOURCE_DIR}/lane_field_bench_avx512f.cpp)
target_link_libraries(lane_field_bench PRIVATE edwards25519)
