# The group kernels (group_kernels.hpp) as a library of their own, for the
# tests of the engine and the timing study of bench/: one source per
# backend, compiled for its instruction set. Included by both; defined once.
if(NOT TARGET edwards25519_group_kernels)
  add_library(edwards25519_group_kernels STATIC ${CMAKE_CURRENT_LIST_DIR}/group_kernels.cpp)
  foreach(isa portable avx2 avx512f ifma)
    ostrelline_isa_sources(edwards25519_group_kernels ${isa} ${CMAKE_CURRENT_LIST_DIR}/${isa}.cpp)
  endforeach()
  target_link_libraries(edwards25519_group_kernels PUBLIC edwards25519)
endif()
