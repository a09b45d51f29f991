/*
 * A complete host for the Velk audio decoder plug-in in plain C: loads the
 * module, registers it, and decodes one file to raw 16-bit PCM.
 *
 *   velk_decode PLUGIN IN.VELKA OUT.raw [START_MS]
 *
 * With START_MS it first makes the sample-exact seek: "Exact seek" gives
 * the file position to restart from, the host moves its input there and
 * tells the stream with ORV_stream_seek. Everything the plug-in offers is
 * found by name in the records it hands to the broker.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <malloc.h>
#include <windows.h>
#define aligned_alloc(alignment, bytes) _aligned_malloc(bytes, alignment)
#define aligned_free _aligned_free
#else
#include <dlfcn.h>
#define aligned_free free
#endif

#include <orv/vlkdec.h>

/* The broker keeps a copy of every record; names stay valid while loaded. */
static RegistrationEntry records[64];
static char interfaces[64][32];
static int record_count;

static int32_t ORV_CALL record(uintptr_t handle, const char* interface_name,
                               int32_t count,
                               const RegistrationEntry* entries) {
  (void)handle;
  for (int32_t i = 0; i < count && record_count < 64; ++i, ++record_count) {
    records[record_count] = entries[i];
    snprintf(interfaces[record_count], 32, "%s", interface_name);
  }
  return 1;
}
static int32_t ORV_CALL forget(uintptr_t handle, const char* interface_name,
                               int32_t count,
                               const RegistrationEntry* entries) {
  (void)handle, (void)interface_name, (void)count, (void)entries;
  return 1;
}

/* A function's address or a property's token, by interface and name. */
static uint64_t find(const char* interface_name, const char* name) {
  for (int i = 0; i < record_count; ++i) {
    if (strcmp(interfaces[i], interface_name) == 0 &&
        strcmp(records[i].name, name) == 0) {
      return records[i].value;
    }
  }
  fprintf(stderr, "not registered: %s\n", name);
  exit(1);
}

/* Host callbacks; host_stream is the FILE* the stream reads. */
static int input_ended;
static void* ORV_CALL allocate(uint64_t bytes, uint64_t host_stream,
                               const char* source_file, uint32_t line) {
  (void)host_stream, (void)source_file, (void)line;
  return aligned_alloc(64, (size_t)bytes);
}
static void ORV_CALL release(void* block, uint64_t host_stream,
                             const char* source_file, uint32_t line) {
  (void)host_stream, (void)source_file, (void)line;
  aligned_free(block);
}
static int32_t ORV_CALL read_input(uint64_t host_stream, void* destination,
                                   uint32_t bytes, int32_t offset) {
  FILE* file = (FILE*)(uintptr_t)host_stream;
  if (offset == 0) fseek(file, 0, SEEK_SET); /* the header, from the start */
  size_t got = fread(destination, 1, bytes, file);
  if (got < bytes) input_ended = 1;
  return (int32_t)got;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fputs("usage: velk_decode PLUGIN IN.VELKA OUT.raw [START_MS]\n", stderr);
    return 2;
  }
#ifdef _WIN32
  HMODULE module = LoadLibraryA(argv[1]);
  TAVO_Main_fn tavo_main =
      module ? (TAVO_Main_fn)(uintptr_t)GetProcAddress(module, "TAVO_Main")
             : NULL;
#else
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  TAVO_Main_fn tavo_main = NULL;
  if (module) *(void**)&tavo_main = dlsym(module, "TAVO_Main");
#endif
  if (tavo_main == NULL) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  tavo_main(0, 1, NULL, record, forget);

  ORV_stream_open_fn open =
      (ORV_stream_open_fn)(uintptr_t)find("ORV stream", "ORV_stream_open");
  ORV_stream_process_fn process = (ORV_stream_process_fn)(uintptr_t)find(
      "ORV stream", "ORV_stream_process");
  ORV_stream_property_fn property = (ORV_stream_property_fn)(uintptr_t)find(
      "ORV stream", "ORV_stream_property");
  ORV_stream_seek_fn seek =
      (ORV_stream_seek_fn)(uintptr_t)find("ORV stream", "ORV_stream_seek");
  ORV_stream_close_fn close =
      (ORV_stream_close_fn)(uintptr_t)find("ORV stream", "ORV_stream_close");

  FILE* in = fopen(argv[2], "rb");
  FILE* out = fopen(argv[3], "wb");
  ORV_Stream* stream =
      in && out ? open(allocate, release, (uint64_t)(uintptr_t)in, read_input)
                : NULL;
  if (stream == NULL) {
    fprintf(stderr, "cannot decode %s\n", argv[2]);
    return 1;
  }

  if (argc > 4) {
    uint32_t ms = (uint32_t)strtoul(argv[4], NULL, 10), position = 0;
    if (property(stream, find("ORV stream", "Exact seek"), NULL, &ms,
                 &position) != 1 ||
        fseek(in, (long)position, SEEK_SET) != 0) {
      fputs("this file cannot seek\n", stderr);
      return 1;
    }
    seek(stream, (int32_t)position);
    input_ended = 0;
  }

  /* A short count also follows lost sync, and the next call goes on; the
   * end is two empty calls once the input has run out. */
  static char pcm[65536];
  int empty_calls = 0;
  while (empty_calls < 2) {
    uint32_t got = process(stream, pcm, sizeof pcm);
    fwrite(pcm, 1, got, out);
    empty_calls = got == 0 && input_ended ? empty_calls + 1 : 0;
  }
  close(stream);
  tavo_main(0, 0, NULL, record, forget);
#ifdef _WIN32
  FreeLibrary(module);
#else
  dlclose(module);
#endif
  fclose(in);
  return fclose(out) == 0 ? 0 : 1;
}
