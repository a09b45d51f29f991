# WebAssembly build with Debian's Emscripten: the platform file that ships
# with it sets the compilers (emcc, em++), the target system and node as the
# emulator.
set(ORV_EMSCRIPTEN_ROOT /usr/share/emscripten CACHE PATH "Emscripten's folder")
include(${ORV_EMSCRIPTEN_ROOT}/cmake/Modules/Platform/Emscripten.cmake)

# Emscripten's optimiser runs under the machine's node and needs Debian's
# JavaScript modules (acorn) on its search path at link time.
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs)
set(CMAKE_C_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs)

# $<LINK_LIBRARY:WHOLE_ARCHIVE,...> (every object of an archive, as the
# plug-in module links its core) for wasm-ld, which CMake does not define
# for this platform.
set(CMAKE_LINK_LIBRARY_USING_WHOLE_ARCHIVE
  "LINKER:--whole-archive" "<LINK_ITEM>" "LINKER:--no-whole-archive")
set(CMAKE_LINK_LIBRARY_USING_WHOLE_ARCHIVE_SUPPORTED TRUE)

# The target is WebAssembly 2.0: 128-bit SIMD (the compiler vectorises the
# portable loops; element-wise IEEE operations, never fused or reassociated,
# so the bits are the portable code's), saturating float-to-int conversion
# and bulk memory operations. Every engine since 2023 (Chromium 91,
# Firefox 89, Safari 16.4, Node 16.4) runs it.
set(CMAKE_C_FLAGS_INIT "-msimd128 -mnontrapping-fptoint -mbulk-memory")
set(CMAKE_CXX_FLAGS_INIT "-msimd128 -mnontrapping-fptoint -mbulk-memory")
