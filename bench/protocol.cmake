# Primitive costs for the protocol benchmark (bench/protocol_bench.py).
add_executable(protocol_floors ${CMAKE_CURRENT_SOURCE_DIR}/protocol_floors.cpp)
target_link_libraries(protocol_floors PRIVATE ostrelline_core)
