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
