# The lane path of the stream operations, one translation unit per backend,
# each compiled for its instruction set (cmake/isa.cmake), and the dispatch
# among them, compiled for any CPU.
target_sources(ostrelline_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kernels.cpp)
foreach(isa portable avx2 avx512f ifma)
  ostrelline_isa_sources(ostrelline_core ${isa} ${CMAKE_CURRENT_LIST_DIR}/${isa}.cpp)
endforeach()
