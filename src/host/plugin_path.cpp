// Where a client finds the plug-in module: the one lookup that velka, the
// GStreamer plug-in and the Python package share.
//
// Everything is relative to the binary that holds this code (the host
// library is linked into each client), so that a copied, installed,
// packaged or bundled client finds the module that came with it; no
// absolute path is compiled in.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "host/velk_host.h"

// Folders of the installed module relative to where a client may be
// installed, and the module's place in the build tree; set by the build.
#ifndef ORV_PLUGIN_FROM_BINDIR
#define ORV_PLUGIN_FROM_BINDIR "../lib/vlkdec"
#endif
#ifndef ORV_PLUGIN_FROM_LIBDIR
#define ORV_PLUGIN_FROM_LIBDIR "vlkdec"
#endif
#ifndef ORV_PLUGIN_IN_BUILD_TREE
#define ORV_PLUGIN_IN_BUILD_TREE "src/sdk/orv/vlkdec"
#endif
#ifndef ORV_PLUGIN_FILE_NAME
#define ORV_PLUGIN_FILE_NAME "libvlkdec.so"
#endif

namespace {

namespace fs = std::filesystem;

// How far above its binary a client of the build tree may lie (tools/velka,
// src/gstreamer, python/build/...).
constexpr int max_build_tree_depth = 4;

// The file that holds this code: a shared object by the name it was loaded
// by; the main program through /proc, since the loader names it only by
// argv[0], which may be relative or a bare name found on PATH.
fs::path own_binary() {
  std::error_code error;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_binary), &info) != 0 &&
      info.dli_fname != nullptr &&
      std::strcmp(info.dli_fname, program_invocation_name) != 0) {
    const fs::path path = fs::canonical(info.dli_fname, error);
    if (!error) return path;
  }
  return fs::canonical("/proc/self/exe", error);
}

bool is_module(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

std::string find_module() {
  const fs::path binary = own_binary();
  if (binary.empty()) return ORV_PLUGIN_FILE_NAME;
  const fs::path dir = binary.parent_path();
  // Installed: a program in <bindir>, a library in <libdir>, a module one
  // folder below <libdir> (a GStreamer plug-in); then a bundle that keeps
  // the module beside itself.
  for (const char* relative : {ORV_PLUGIN_FROM_BINDIR, ORV_PLUGIN_FROM_LIBDIR,
                               "../" ORV_PLUGIN_FROM_LIBDIR, "."}) {
    const fs::path candidate =
        (dir / relative / ORV_PLUGIN_FILE_NAME).lexically_normal();
    if (is_module(candidate)) return candidate.string();
  }
  // The build tree: the nearest folder above that holds a CMake cache and
  // the module at its place in the tree.
  fs::path folder = dir;
  for (int depth = 0; depth <= max_build_tree_depth; ++depth) {
    std::error_code error;
    if (fs::is_regular_file(folder / "CMakeCache.txt", error)) {
      const fs::path candidate =
          folder / ORV_PLUGIN_IN_BUILD_TREE / ORV_PLUGIN_FILE_NAME;
      if (is_module(candidate)) return candidate.string();
      break;
    }
    if (!folder.has_parent_path() || folder.parent_path() == folder) break;
    folder = folder.parent_path();
  }
  return ORV_PLUGIN_FILE_NAME;
}

}  // namespace

extern "C" size_t velk_host_default_plugin_path(char* out,
                                                size_t size) noexcept {
  std::string path;
  try {
    const char* from_environment = std::getenv("VELKA_PLUGIN");
    path = from_environment != nullptr && from_environment[0] != '\0'
               ? from_environment
               : find_module();
  } catch (...) {
    path = ORV_PLUGIN_FILE_NAME;
  }
  if (out != nullptr && size > 0) {
    const size_t kept = path.size() < size ? path.size() : size - 1;
    std::memcpy(out, path.data(), kept);
    out[kept] = '\0';
  }
  return path.size();
}
