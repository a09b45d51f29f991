/*
 * Host library: loads the Velk audio decoder plug-in module, acts as its
 * interface broker, and drives decode streams on files.
 *
 * The core is plain C over two opaque handles, VelkHost (one loaded module)
 * and VelkHostStream (one decode stream reading one file). Everything the
 * plug-in offers is found by name in the registration records it hands to
 * the broker; nothing but TAVO_Main is looked up in the module itself.
 *
 * The host owns the file: the plug-in only asks for bytes (offset 0 for the
 * header, -1 to continue), and every jump of the input is made here, by
 * moving the file descriptor, before the plug-in is told the new position.
 *
 * A VelkHost may serve streams on several threads at once; one stream is
 * used by one thread at a time. The C++ wrapper is in host/plugin_host.h.
 */
#ifndef ORV_HOST_VELK_HOST_H
#define ORV_HOST_VELK_HOST_H

#include <stddef.h>
#include <stdint.h>

#include "orv/vlkdec.h"

/* Marks the library's API: the one set of symbols the shared library
 * exports (everything else is built hidden). */
#if defined(__GNUC__)
#define VELK_HOST_API __attribute__((visibility("default")))
#else
#define VELK_HOST_API
#endif

/* Nothing thrown may cross this interface. */
#ifdef __cplusplus
#define VELK_HOST_NOEXCEPT noexcept
#else
#define VELK_HOST_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VelkHost VelkHost;
typedef struct VelkHostStream VelkHostStream;

/* ------------------------------------------------------------------------ */
/* The module and its registration records                                  */
/* ------------------------------------------------------------------------ */

/* Loads the module at `plugin_path`, registers its interfaces with this
 * broker and resolves every function the host needs. Returns null on
 * failure, with a one-line reason in `error` (which may be null). */
VELK_HOST_API VelkHost* velk_host_load(const char* plugin_path, char* error,
                                       size_t error_size) VELK_HOST_NOEXCEPT;
/* Unregisters the interfaces (TAVO_Main with a zero flag), calls
 * ORV_shutdown and unloads the module. Every stream must be closed first. */
VELK_HOST_API void velk_host_unload(VelkHost* host) VELK_HOST_NOEXCEPT;

/* The module shared by every client in the process that asks for `path`:
 * loaded at the first acquire, unloaded at the last release. Thread-safe.
 * Returns null on failure, with a one-line reason in `error`. A host from
 * here is given back with velk_host_release, never velk_host_unload. */
VELK_HOST_API VelkHost* velk_host_acquire(const char* plugin_path, char* error,
                                          size_t error_size) VELK_HOST_NOEXCEPT;
VELK_HOST_API void velk_host_release(VelkHost* host) VELK_HOST_NOEXCEPT;

/* Where a client finds the plug-in module when it was given no path of its
 * own: VELKA_PLUGIN when set; else the first module found relative to the
 * binary that holds this library's code (a program in <bindir>, this
 * library or a module below <libdir>, a bundle that keeps the module beside
 * itself such as a Python wheel, or the build tree); else the bare file
 * name, for the system loader's own search. Writes the path into `out`
 * (cut to `size` - 1 bytes and terminated) and returns its full length. */
VELK_HOST_API size_t velk_host_default_plugin_path(char* out, size_t size)
    VELK_HOST_NOEXCEPT;

/* One call of the broker's register function, as the broker copied it.
 * `entries` is a byte-for-byte copy of the array the module passed; the
 * names it points to are the module's own texts. */
typedef struct VelkHostRegistration {
  const char* interface_name;
  int32_t entry_count;
  const RegistrationEntry* entries;
} VelkHostRegistration;

/* Register calls in the order they came; 0 past the last one. */
VELK_HOST_API size_t velk_host_registration_count(const VelkHost* host)
    VELK_HOST_NOEXCEPT;
VELK_HOST_API int velk_host_registration(const VelkHost* host, size_t index,
                                         VelkHostRegistration* out)
    VELK_HOST_NOEXCEPT;

/* The registered entry called `entry_name` in interface `interface_name`,
 * or null. The pointer stays valid while the module is loaded. */
VELK_HOST_API const RegistrationEntry* velk_host_find_entry(
    const VelkHost* host, const char* interface_name,
    const char* entry_name) VELK_HOST_NOEXCEPT;

/* The functions resolved at load, all non-null. */
typedef struct VelkHostFunctions {
  PROVIDER_property_fn provider_property;
  ORV_startup_fn startup;
  ORV_error_fn error;
  ORV_shutdown_fn shutdown;
  ORV_stream_open_fn stream_open;
  ORV_stream_process_fn stream_process;
  ORV_stream_property_fn stream_property;
  ORV_stream_seek_fn stream_seek;
  ORV_stream_close_fn stream_close;
} VelkHostFunctions;
VELK_HOST_API const VelkHostFunctions* velk_host_functions(const VelkHost* host)
    VELK_HOST_NOEXCEPT;

/* Asks PROVIDER_property for the "ORV codec" property named `name`.
 * Returns the plug-in's answer (1 answered, 0 not), 0 when no property of
 * that name is registered. */
VELK_HOST_API int32_t velk_host_provider_property(
    const VelkHost* host, const char* name, void* value, const void* new_value,
    void* result) VELK_HOST_NOEXCEPT;
/* The plug-in's last-error text (ORV_error), or null while it is empty. */
VELK_HOST_API const char* velk_host_plugin_error(const VelkHost* host)
    VELK_HOST_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Streams                                                                  */
/* ------------------------------------------------------------------------ */

/* Opens `path` and a decode stream on it. Returns null on failure, with a
 * one-line reason in `error` (which may be null). */
VELK_HOST_API VelkHostStream* velk_host_stream_open(
    VelkHost* host, const char* path, char* error,
    size_t error_size) VELK_HOST_NOEXCEPT;
/* A stream's bytes from elsewhere than a local file (a media framework's
 * byte source, memory). `read` delivers up to `bytes` from the current
 * position and moves past them; it returns fewer only at the end of the
 * data or when no more can be had now. `seek` moves the position to
 * `position` bytes from the start and returns 1, or 0 when the source cannot
 * go there (then nothing has moved). Both are called only from the thread
 * using the stream. */
typedef struct VelkHostSource {
  void* context;
  size_t (*read)(void* context, void* destination, size_t bytes);
  int (*seek)(void* context, uint64_t position);
} VelkHostSource;

/* The source velk_host_stream_open reads a file through: `*fd` read with
 * read(2), retried when interrupted, and moved with lseek(2). Also serves a
 * descriptor opened elsewhere (standard input redirected from a file);
 * `fd` must outlive every stream reading through the source. */
VELK_HOST_API VelkHostSource velk_host_fd_source(int* fd) VELK_HOST_NOEXCEPT;
/* As velk_host_stream_open, reading through `source` (copied; its context
 * must outlive the stream). `name` names the input in error texts. */
VELK_HOST_API VelkHostStream* velk_host_stream_open_source(
    VelkHost* host, const VelkHostSource* source, const char* name, char* error,
    size_t error_size) VELK_HOST_NOEXCEPT;
/* Closes the decode stream and the file. Accepts null. */
VELK_HOST_API void velk_host_stream_close(VelkHostStream* stream)
    VELK_HOST_NOEXCEPT;

/* The file header as the host read it itself, before the plug-in saw it. */
typedef struct VelkHostFileHeader {
  uint32_t version;
  uint32_t channels;
  uint32_t sample_rate;
  uint32_t total_samples; /* sample frames */
  uint32_t max_block_size;
  uint32_t file_size; /* as the header states it */
  uint32_t seek_entry_count;
  uint32_t blocks_per_seek_entry; /* 0 before version 2 */
} VelkHostFileHeader;
VELK_HOST_API const VelkHostFileHeader* velk_host_stream_header(
    const VelkHostStream* s) VELK_HOST_NOEXCEPT;

/* What the plug-in answers about a stream, with the duration as "Exact get
 * position" gives it for the end of the data. */
typedef struct VelkHostStreamInfo {
  uint32_t input_bit_rate; /* bits per second */
  uint32_t input_sample_rate;
  uint32_t input_sample_width;
  uint32_t input_channels;
  uint32_t output_bit_rate;
  uint32_t output_sample_rate;
  uint32_t output_sample_width;
  uint32_t output_channels;
  uint32_t duration_ms;
  uint32_t answered; /* VELK_HOST_INFO_* bits of the fields answered */
} VelkHostStreamInfo;
/* The bits of VelkHostStreamInfo::answered, one per field, in field order. */
enum {
  VELK_HOST_INFO_INPUT_BIT_RATE = 1u << 0,
  VELK_HOST_INFO_INPUT_SAMPLE_RATE = 1u << 1,
  VELK_HOST_INFO_INPUT_SAMPLE_WIDTH = 1u << 2,
  VELK_HOST_INFO_INPUT_CHANNELS = 1u << 3,
  VELK_HOST_INFO_OUTPUT_BIT_RATE = 1u << 4,
  VELK_HOST_INFO_OUTPUT_SAMPLE_RATE = 1u << 5,
  VELK_HOST_INFO_OUTPUT_SAMPLE_WIDTH = 1u << 6,
  VELK_HOST_INFO_OUTPUT_CHANNELS = 1u << 7,
  VELK_HOST_INFO_DURATION = 1u << 8,
  VELK_HOST_INFO_ALL = (1u << 9) - 1
};
/* Fills `out` from the plug-in's answers; returns 1 when all were given. */
VELK_HOST_API int velk_host_stream_info(
    VelkHostStream* stream, VelkHostStreamInfo* out) VELK_HOST_NOEXCEPT;

/* The PCM a stream delivers: interleaved signed 16-bit samples. */
typedef struct VelkHostOutputFormat {
  uint32_t sample_rate;     /* the plug-in's answer, else the header's */
  uint32_t channels;        /* likewise */
  uint32_t bytes_per_frame; /* 2 bytes per channel */
  int32_t from_plugin;      /* 1 when the plug-in answered rate and channels */
} VelkHostOutputFormat;
/* Fills `out` and returns 1 when the stream can be played (1 to 8
 * channels, 1 to 65535 Hz); 0 otherwise, with `out` still filled so that a
 * message can name the numbers. */
VELK_HOST_API int velk_host_stream_output_format(
    VelkHostStream* stream, VelkHostOutputFormat* out) VELK_HOST_NOEXCEPT;

/* The raw interface, one plug-in call each. */
VELK_HOST_API uint32_t
velk_host_stream_process(VelkHostStream* stream, void* destination,
                         uint32_t bytes) VELK_HOST_NOEXCEPT;
VELK_HOST_API int32_t velk_host_stream_property(
    VelkHostStream* stream, uint64_t token, void* value, const void* new_value,
    void* result) VELK_HOST_NOEXCEPT;
/* As above, with the token found by its registered name in "ORV stream";
 * 0 when no property of that name is registered. */
VELK_HOST_API int32_t velk_host_stream_property_by_name(
    VelkHostStream* stream, const char* name, void* value,
    const void* new_value, void* result) VELK_HOST_NOEXCEPT;
/* ORV_stream_seek. For a byte position (anything but -1 and -2) the file is
 * first moved there, as the seek's contract requires. Returns 1 when the
 * file could be moved (always for -1 and -2), 0 otherwise. */
VELK_HOST_API int velk_host_stream_seek(VelkHostStream* stream,
                                        int32_t position) VELK_HOST_NOEXCEPT;

/* Pulls decoded PCM until `bytes` are delivered or the stream has ended,
 * jumping back to the loop start at each loop end while passes remain.
 * Returns the bytes delivered; fewer than asked only at the end. */
VELK_HOST_API size_t velk_host_stream_pull(VelkHostStream* stream,
                                           void* destination,
                                           size_t bytes) VELK_HOST_NOEXCEPT;
/* 1 once a pull has found the end of the stream (or of the last loop pass). */
VELK_HOST_API int velk_host_stream_ended(const VelkHostStream* stream)
    VELK_HOST_NOEXCEPT;
/* The sample frame of the file that the next pulled frame comes from, as
 * far as the seeks and loop jumps made tell; decoding damaged data can make
 * the real position differ. */
VELK_HOST_API uint64_t velk_host_stream_timeline_frame(
    const VelkHostStream* stream) VELK_HOST_NOEXCEPT;

/* The sample-exact seek: "Exact seek" for the seek entry that holds the
 * target (arming the skip inside it), the file moved to that entry, and
 * ORV_stream_seek with its position. Returns 1 on success, 0 when the
 * plug-in cannot seek this stream (no seek table) or the file cannot be
 * moved; then nothing has changed. */
typedef struct VelkHostSeek {
  uint32_t target_sample;  /* the time converted to a sample frame */
  uint32_t entry_position; /* file position decoding restarts from */
  uint32_t entry_first_sample;
  /* The first frame the stream delivers: the target, moved back to the
   * skip's step (8 frames for mono, 4 for stereo, 1 above). */
  uint32_t start_sample;
} VelkHostSeek;
VELK_HOST_API int velk_host_stream_seek_ms(
    VelkHostStream* stream, uint32_t ms, VelkHostSeek* out) VELK_HOST_NOEXCEPT;

/* Sets the loop [start_sample, end_sample) with "Set Looping Samples" and
 * has pulls play it `passes` times in all (0: without end). The loop start
 * jump moves the file to the loop start's seek entry and arms the skip
 * inside it. Returns 1 on success, 0 when the plug-in refuses (no seek
 * table) or the arguments are out of range; then nothing has changed. */
typedef struct VelkHostLoop {
  uint32_t start_position;     /* seek entry of the loop start */
  uint32_t after_end_position; /* the seek entry one entry past the end */
  uint32_t start_sample;       /* first frame of each pass after the first */
} VelkHostLoop;
VELK_HOST_API int velk_host_stream_set_loop(
    VelkHostStream* stream, uint32_t start_sample, uint32_t end_sample,
    uint32_t passes, VelkHostLoop* out) VELK_HOST_NOEXCEPT;
/* Passes of the loop completed so far (loop end reached). */
VELK_HOST_API uint32_t velk_host_stream_loop_passes_done(
    const VelkHostStream* stream) VELK_HOST_NOEXCEPT;

/* What a stream met on the way that a clean file does not have. A gap is
 * a place where the plug-in lost the block framing and, further on, found
 * blocks again: what lay between is lost, and the delivered PCM runs on
 * from the block found. Gaps are counted on streams without a loop (a loop
 * end also ends process calls early). The places are timeline frames
 * (velk_host_stream_timeline_frame) at which the PCM after each gap
 * begins; the frames lost there are not part of the count. */
enum { VELK_HOST_DAMAGE_PLACES = 8 };
typedef struct VelkHostDamage {
  uint32_t gaps;        /* all gaps so far */
  uint32_t places_kept; /* the first gaps, up to VELK_HOST_DAMAGE_PLACES */
  uint64_t places[VELK_HOST_DAMAGE_PLACES];
  /* Where the input ended, in bytes from the start of the file, once a
   * read came back short; 0 before. */
  uint64_t input_end;
  /* 1 when the input ended before the file size its header states. */
  int32_t input_cut;
  /* Once the stream has ended: the frames that its header's length,
   * rounded up to whole blocks as they are stored, puts after the
   * timeline's end: what the gaps and a cut input lost. 0 before the end,
   * and on streams with a loop. */
  uint64_t frames_missing;
} VelkHostDamage;
VELK_HOST_API void velk_host_stream_damage(
    const VelkHostStream* stream, VelkHostDamage* out) VELK_HOST_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORV_HOST_VELK_HOST_H */
