// velka: encode, decode and inspect Velk audio files.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

void print_usage(std::FILE* to) {
  std::fputs(
      "usage: velka encode IN OUT.velka [--quality Q | --bitrate KBPS]\n"
      "                    [--format-version 0|1|2]\n"
      "                    [--blocks-per-seek-entry N | --no-seek-table]\n"
      "       velka decode IN.velka OUT.wav|OUT.raw [--start MS] [--duration "
      "MS]\n"
      "                    [--loop START END --loop-count N] [--plugin PATH]\n"
      "                    [--no-trim] [--summary]\n"
      "       velka info FILE.velka [--json] [--plugin PATH]\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 2;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "encode") == 0)
    return velka::run_encode(argc - 2, argv + 2);
  if (std::strcmp(command, "decode") == 0)
    return velka::run_decode(argc - 2, argv + 2);
  if (std::strcmp(command, "info") == 0)
    return velka::run_info(argc - 2, argv + 2);
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
    print_usage(stdout);
    return 0;
  }
  std::fprintf(stderr, "velka: unknown command '%s'\n", command);
  print_usage(stderr);
  return 2;
}
