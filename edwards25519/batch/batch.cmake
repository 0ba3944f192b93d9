# The batch backends of the group layer: the engine (engine.hpp) over each
# lane field, one translation unit per backend compiled for its instruction
# set (cmake/isa.cmake), and the run-time dispatch, compiled for any CPU.
target_sources(edwards25519 PRIVATE ${CMAKE_CURRENT_LIST_DIR}/dispatch.cpp)
ostrelline_isa_sources(edwards25519 portable ${CMAKE_CURRENT_LIST_DIR}/backend_portable.cpp)
ostrelline_isa_sources(edwards25519 ifma ${CMAKE_CURRENT_LIST_DIR}/backend_ifma.cpp)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/avx2_field.hpp AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/avx512f_field.hpp)
  ostrelline_isa_sources(edwards25519 avx2 ${CMAKE_CURRENT_LIST_DIR}/backend_avx2.cpp)
  ostrelline_isa_sources(edwards25519 avx512f ${CMAKE_CURRENT_LIST_DIR}/backend_avx512f.cpp)
  target_compile_definitions(edwards25519 PUBLIC OSTRELLINE_RADIX25_BACKENDS=1)
endif()
