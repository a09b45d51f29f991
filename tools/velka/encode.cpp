// Placeholder until the encode command is built.
#include <cstdio>

#include "commands.h"

namespace velka {

int run_encode(int, char**) {
  std::fputs("velka: 'encode' is not available yet\n", stderr);
  return 2;
}

}  // namespace velka
