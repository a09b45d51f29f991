#include "plugin_path.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

// Both directories are relative to the program's own directory, so that a
// copied, installed or packaged velka finds the module that came with it.
#ifndef ORV_PLUGIN_INSTALLED_DIR
#define ORV_PLUGIN_INSTALLED_DIR "../lib/vlkdec"
#endif
#ifndef ORV_PLUGIN_BUILD_DIR
#define ORV_PLUGIN_BUILD_DIR "."
#endif
#ifndef ORV_PLUGIN_FILE_NAME
#define ORV_PLUGIN_FILE_NAME "libvlkdec.so"
#endif

namespace velka {

std::string default_plugin_path() {
  const char* from_environment = std::getenv("VELKA_PLUGIN");
  if (from_environment != nullptr && from_environment[0] != '\0') {
    return from_environment;
  }
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path dir = program.parent_path();
    for (const char* relative :
         {ORV_PLUGIN_INSTALLED_DIR, ".", ORV_PLUGIN_BUILD_DIR}) {
      const fs::path candidate =
          (dir / relative / ORV_PLUGIN_FILE_NAME).lexically_normal();
      if (fs::is_regular_file(candidate, error)) return candidate.string();
    }
  }
  return ORV_PLUGIN_FILE_NAME;
}

}  // namespace velka
