// Sub-commands of the velka tool. Each takes the arguments after its name
// and returns the process exit code.
#ifndef ORV_TOOLS_VELKA_COMMANDS_H
#define ORV_TOOLS_VELKA_COMMANDS_H

namespace velka {

int run_encode(int argc, char** argv);
int run_decode(int argc, char** argv);
int run_info(int argc, char** argv);

}  // namespace velka

#endif
