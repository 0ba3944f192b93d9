# The group kernels (group_kernels.hpp) as a library of their own, for the
# tests of the engine and the timing study of bench/: one source per
# backend, compiled for its instruction set. Included by both; defined once.
if(NOT TARGET edwards25519_group_kernels)
  add_library(edwards25519_group_kernels STATIC ${CMAKE_CURRENT_LIST_DIR}/group_kernels.cpp)
  ostrelline_backend_sources(edwards25519_group_kernels ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(edwards25519_group_kernels PUBLIC edwards25519)
endif()
