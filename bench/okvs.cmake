# Throughput and peak memory of the key-value store.
add_executable(okvs_bench ${CMAKE_CURRENT_SOURCE_DIR}/okvs_bench.cpp)
target_link_libraries(okvs_bench PRIVATE okvs)
