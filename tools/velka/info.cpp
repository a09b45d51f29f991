// Placeholder until the info command is built.
#include <cstdio>

#include "commands.h"

namespace velka {

int run_info(int, char**) {
  std::fputs("velka: 'info' is not available yet\n", stderr);
  return 2;
}

}  // namespace velka
