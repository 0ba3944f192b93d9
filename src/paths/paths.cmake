# The lane path of the stream operations, one translation unit per backend,
# each compiled for its instruction set (cmake/isa.cmake), and the dispatch
# among them, compiled for any CPU.
target_sources(ostrelline_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kernels.cpp)
ostrelline_backend_sources(ostrelline_core ${CMAKE_CURRENT_LIST_DIR})
