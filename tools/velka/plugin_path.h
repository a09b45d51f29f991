// Where velka looks for the plug-in module when no --plugin is given.
#ifndef ORV_TOOLS_VELKA_PLUGIN_PATH_H
#define ORV_TOOLS_VELKA_PLUGIN_PATH_H

#include <string>

namespace velka {

// VELKA_PLUGIN when set; otherwise the first module found relative to the
// running program: the installed layout (<bindir>/../<libdir>/vlkdec/),
// beside the program, then the build tree's layout. Failing all of them the
// bare file name, for the system loader's own search.
std::string default_plugin_path();

}  // namespace velka

#endif
