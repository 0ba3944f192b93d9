# The portable backend (the reference) against every vector backend the CPU
# runs, per stream operation (entries per second and ratios).
add_executable(batch_bench ${CMAKE_CURRENT_SOURCE_DIR}/batch_bench.cpp)
target_link_libraries(batch_bench PRIVATE ostrelline_core)
# dudect-style timing check of each backend's multiplications (reads the
# x86 time-stamp counter).
if(OSTRELLINE_X86)
  include(${PROJECT_SOURCE_DIR}/edwards25519/tests/group_kernels/group_kernels.cmake)
  add_executable(batch_timing ${CMAKE_CURRENT_SOURCE_DIR}/batch_timing.cpp)
  target_link_libraries(batch_timing PRIVATE ostrelline_core edwards25519_group_kernels)
endif()
