// The host library from C++: loads the plug-in, opens a file, seeks if asked
// and writes every decoded frame as raw 16-bit PCM.
//
//   velk_play PLUGIN IN.VELKA OUT.raw [START_MS]
#include <host/plugin_host.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: velk_play PLUGIN IN.VELKA OUT.raw [START_MS]\n", stderr);
    return 2;
  }
  try {
    orv::host::Plugin plugin(argv[1]);
    orv::host::Stream stream = plugin.open(argv[2]);
    if (argc > 4 && !stream.seek_ms(std::strtoul(argv[4], nullptr, 10))) {
      std::fputs("this file cannot seek\n", stderr);
      return 1;
    }
    const std::vector<uint8_t> pcm = stream.pull_all();
    std::ofstream(argv[3], std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()),
               static_cast<std::streamsize>(pcm.size()));
    std::printf("%s: %u Hz, %u channels, %zu bytes\n", argv[2],
                stream.header().sample_rate, stream.header().channels,
                pcm.size());
  } catch (const orv::host::HostError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
