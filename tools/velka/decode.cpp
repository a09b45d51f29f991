// Placeholder until the decode command is built.
#include <cstdio>

#include "commands.h"

namespace velka {

int run_decode(int, char**) {
  std::fputs("velka: 'decode' is not available yet\n", stderr);
  return 2;
}

}  // namespace velka
