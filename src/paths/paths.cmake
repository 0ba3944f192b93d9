# The batch path of the stream operations, one translation unit per backend
# of the group layer, each compiled for its instruction set (cmake/isa.cmake).
ostrelline_isa_sources(ostrelline_core portable ${CMAKE_CURRENT_LIST_DIR}/portable.cpp)
ostrelline_isa_sources(ostrelline_core ifma ${CMAKE_CURRENT_LIST_DIR}/ifma.cpp)
if(EXISTS ${PROJECT_SOURCE_DIR}/edwards25519/batch/avx2_field.hpp AND EXISTS ${PROJECT_SOURCE_DIR}/edwards25519/batch/avx512f_field.hpp)
  ostrelline_isa_sources(ostrelline_core avx2 ${CMAKE_CURRENT_LIST_DIR}/avx2.cpp)
  ostrelline_isa_sources(ostrelline_core avx512f ${CMAKE_CURRENT_LIST_DIR}/avx512f.cpp)
endif()
