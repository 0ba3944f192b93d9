# Instruction sets of the vector backends.
#
# A backend's sources are compiled with the flags of its instruction set,
# set on those source files alone: the rest of the library is built for the
# baseline CPU and the module loads anywhere; run-time dispatch decides which
# backend runs. x86 backends exist only in x86-64 builds (on any other
# processor their sources are left out and only the portable one is built);
# OSTRELLINE_X86_BACKENDS=1 tells the dispatch code they are there.
#
# With OSTRELLINE_SIMD_EMULATION, the x86 backends are built without their
# instruction-set flags and take their intrinsics from SIMDe (see
# edwards25519/batch/simd.hpp), so that every backend runs, and is tested,
# on any CPU; the compile definition OSTRELLINE_SIMD_EMULATION is then seen
# by all the project's code, dispatch and tests included.

option(OSTRELLINE_SIMD_EMULATION "Build the x86 vector backends on SIMDe, runnable on any CPU (for tests)" OFF)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64)$")
  set(OSTRELLINE_X86 ON)
  add_compile_definitions(OSTRELLINE_X86_BACKENDS=1)
else()
  set(OSTRELLINE_X86 OFF)
endif()

find_path(SIMDE_INCLUDE_DIR simde/x86/avx512.h)
if(OSTRELLINE_SIMD_EMULATION)
  if(NOT SIMDE_INCLUDE_DIR)
    message(FATAL_ERROR "OSTRELLINE_SIMD_EMULATION needs SIMDe's headers (Debian: libsimde-dev)")
  endif()
  add_compile_definitions(OSTRELLINE_SIMD_EMULATION)
  # SIMDe's 64-byte vector types are passed by value; GCC warns that AVX-512
  # code would pass them differently, which cannot happen here: no source of
  # this build is compiled for AVX-512.
  add_compile_options(-Wno-psabi)
  # The compiler's own include directory is searched already; naming it
  # again as a system directory would upset #include_next in libstdc++.
  if(NOT SIMDE_INCLUDE_DIR STREQUAL "/usr/include")
    include_directories(SYSTEM ${SIMDE_INCLUDE_DIR})
  endif()
endif()

set(_ostrelline_isa_flags_ifma -mavx512f -mavx512ifma -mavx512vl -mavx512dq -mavx512bw)
set(_ostrelline_isa_flags_avx512f -mavx512f -mavx512vl -mavx512dq -mavx512bw)
set(_ostrelline_isa_flags_avx2 -mavx2)
# GCC's generic tuning copies the radix-2^25.5 backends' 320-byte elements
# with rep movsq, slower than the arithmetic around it; vector loops instead.
# (Clang, used for the fuzzers, has no such option and copies with vectors.)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND _ostrelline_isa_flags_avx512f -mstringop-strategy=vector_loop)
  list(APPEND _ostrelline_isa_flags_avx2 -mstringop-strategy=vector_loop)
endif()
set(_ostrelline_isa_flags_portable "")

# ostrelline_isa_sources(<target> <isa> <sources...>)
#   isa: ifma, avx512f, avx2 or portable. Relative paths are taken from the
#   current source directory, as target_sources takes them.
function(ostrelline_isa_sources target isa)
  if(NOT isa MATCHES "^(ifma|avx512f|avx2|portable)$")
    message(FATAL_ERROR "ostrelline_isa_sources: unknown instruction set '${isa}'")
  endif()
  if(NOT isa STREQUAL "portable" AND NOT OSTRELLINE_X86)
    return()
  endif()
  set(sources "")
  foreach(source IN LISTS ARGN)
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND sources "${path}")
  endforeach()
  target_sources(${target} PRIVATE ${sources})
  set(flags ${_ostrelline_isa_flags_${isa}})
  if(flags AND NOT OSTRELLINE_SIMD_EMULATION)
    set_source_files_properties(${sources} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "${flags}")
  endif()
endfunction()

# ostrelline_backend_sources(<target> <dir>)
#   The one source per backend of a folder, <dir>/<isa>.cpp for each of
#   portable, avx2, avx512f and ifma, each compiled for its instruction set.
function(ostrelline_backend_sources target dir)
  foreach(isa portable avx2 avx512f ifma)
    ostrelline_isa_sources(${target} ${isa} ${dir}/${isa}.cpp)
  endforeach()
endfunction()
