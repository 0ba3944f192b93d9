# The lane path with scalars chosen by the test (given_scalars.hpp) as a
# library of its own: one source per backend, compiled for its instruction
# set. Included by each test program's CMake code that links it; defined once.
if(NOT TARGET ostrelline_given_scalars)
  add_library(ostrelline_given_scalars STATIC ${CMAKE_CURRENT_LIST_DIR}/given_scalars.cpp)
  ostrelline_backend_sources(ostrelline_given_scalars ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(ostrelline_given_scalars PUBLIC ostrelline_core)
endif()
