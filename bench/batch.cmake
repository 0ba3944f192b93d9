# Scalar path against batch path for every stream operation.
add_executable(batch_bench ${CMAKE_CURRENT_SOURCE_DIR}/batch_bench.cpp)
target_link_libraries(batch_bench PRIVATE ostrelline_core)
# dudect-style timing check of the batch multiplications.
add_executable(batch_timing ${CMAKE_CURRENT_SOURCE_DIR}/batch_timing.cpp)
target_link_libraries(batch_timing PRIVATE ostrelline_core)
