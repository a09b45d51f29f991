# Warnings for every project target; -Werror comes from ORV_WERROR.
function(orv_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wdouble-promotion
    -Wmissing-declarations -Wvla)
  if(ORV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Flags for code whose floating-point results are defined bit for bit:
# no fused multiply-add, no reassociation.
function(orv_exact_float target)
  target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math)
endfunction()

# Settings for code that goes into the plug-in module: no exceptions, no
# RTTI, nothing visible but what is marked for export.
function(orv_plugin_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  target_compile_definitions(${target} PRIVATE ORV_BUILDING_PLUGIN)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# Whether this build has the x86-64 variants for newer processors.
option(ORV_DISABLE_SIMD "Use only the portable code paths" OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT ORV_DISABLE_SIMD)
  set(ORV_X86_VARIANTS ON)
else()
  set(ORV_X86_VARIANTS OFF)
endif()

# Adds `source` to `target`, built for the instruction sets in the further
# arguments alone (never -mfma or -march, which would let the compiler fuse
# or pick other instructions); the code runs only where the processor
# reports the features. The Windows x64 ABI keeps the stack only 16-byte
# aligned and GCC does not realign it for 32-byte spills, so there the
# assembler emits unaligned moves and a spilled register can never fault.
function(orv_isa_variant target source)
  set(options ${ARGN})
  if(WIN32)
    list(APPEND options -Wa,-muse-unaligned-vector-move)
  endif()
  target_sources(${target} PRIVATE ${source})
  set_source_files_properties(${source} PROPERTIES COMPILE_OPTIONS "${options}")
endfunction()
