# The batch backend of the group layer (eight lanes of AVX-512 IFMA). Only the
# kernel translation unit is compiled for those instructions; everything else
# runs on any x86-64 CPU, and batch::available() decides at run time.
target_sources(edwards25519 PRIVATE ${CMAKE_CURRENT_LIST_DIR}/batch.cpp ${CMAKE_CURRENT_LIST_DIR}/kernels.cpp)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/kernels.cpp PROPERTIES
  COMPILE_OPTIONS "-mavx512f;-mavx512ifma;-mavx512vl;-mavx512dq;-mavx512bw")
