# Statistical timing study of the operations on secret scalars (prints t statistics).
add_executable(ct_timing ${CMAKE_CURRENT_SOURCE_DIR}/ct_timing.cpp)
target_link_libraries(ct_timing PRIVATE ostrelline_core)
