/*
 * Velk audio decoder plug-in: the C interface between a host sound system
 * and the plug-in module.
 *
 * The module exports one function, TAVO_Main. Called with a non-zero
 * register flag it announces two interfaces to the host's broker:
 *
 *   "ORV codec"   PROVIDER_property, ORV_startup, ORV_error, ORV_shutdown and
 *                 the provider properties (ORV_PROVIDER_TOKEN_*);
 *   "ORV stream"  ORV_stream_open, ORV_stream_process, ORV_stream_property,
 *                 ORV_stream_seek, ORV_stream_close and the stream property
 *                 tokens (ORV_TOKEN_*).
 *
 * The host finds each function by its name in the RegistrationEntry records
 * and calls it through the matching function-pointer type below. The plug-in
 * itself compiles against this header, so the two cannot drift apart.
 *
 * Units at this boundary: PCM amounts are bytes of interleaved signed 16-bit
 * little-endian samples; sample positions count sample frames (one sample of
 * every channel); times are milliseconds; file positions are unsigned 32-bit
 * byte offsets from the start of the file.
 *
 * Valid C99 and C++17.
 */
#ifndef ORV_VLKDEC_H
#define ORV_VLKDEC_H

#include <stddef.h>
#include <stdint.h>

/*
 * Calling convention of every function at this boundary: the platform's C
 * convention. 64-bit Windows and 64-bit Linux (x86-64, ARM) each have only
 * one, so ORV_CALL matters only to a 32-bit Windows host.
 */
#if defined(_WIN32) && !defined(_WIN64)
#define ORV_CALL __cdecl
#else
#define ORV_CALL
#endif

/*
 * ORV_EXPORT marks TAVO_Main. Building the module (ORV_BUILDING_PLUGIN) it
 * exports the function: dllexport on Windows, default visibility with ELF.
 * A host normally loads the module at run time (LoadLibrary/GetProcAddress
 * or dlopen/dlsym, by the name "TAVO_Main") and needs neither; a Windows
 * host that links an import library of the DLL defines ORV_IMPORT_PLUGIN.
 */
#if defined(ORV_BUILDING_PLUGIN) && defined(_WIN32)
#define ORV_EXPORT __declspec(dllexport)
#elif defined(ORV_BUILDING_PLUGIN)
#define ORV_EXPORT __attribute__((visibility("default")))
#elif defined(ORV_IMPORT_PLUGIN) && defined(_WIN32)
#define ORV_EXPORT __declspec(dllimport)
#else
#define ORV_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Registration records                                                     */
/* ------------------------------------------------------------------------ */

/* RegistrationEntry.kind */
#define ORV_ENTRY_FUNCTION 0u
#define ORV_ENTRY_PROPERTY 1u

/* RegistrationEntry.type for property entries. The broker receives them
 * unchanged; what it makes of them is the host's business. */
#define ORV_TYPE_TEXT_POINTER \
  0x80000007u                        /* value is a pointer to static text */
#define ORV_TYPE_INT32 0x80000003u   /* value is a 32-bit integer */
#define ORV_TYPE_UINT32 0x80000002u  /* value is a 32-bit unsigned int */
#define ORV_TYPE_FLOAT32 0x80000005u /* value is a 32-bit float */
#define ORV_TYPE_SETTING 0x80000001u /* settable, writes a result */
#define ORV_TYPE_SETTING_PLAIN 0x00000002u /* settable, no bit 31 */

/*
 * One function or property of an interface, 32 bytes on 64-bit targets and
 * on wasm32.
 * The array handed to the register function lives only for that call: the
 * broker copies what it keeps. `name` points to static text of the module.
 */
typedef struct RegistrationEntry {
  uint32_t kind;    /* ORV_ENTRY_FUNCTION or ORV_ENTRY_PROPERTY */
  uint32_t unused0; /* reserved; this module writes 0, a host ignores it */
  const char* name; /* NUL-terminated, valid while the module is loaded */
  uint64_t value;   /* function: its address; property: its token */
  uint32_t type;    /* 0 for functions, an ORV_TYPE_* word for properties */
  uint32_t unused1; /* reserved; this module writes 0, a host ignores it */
} RegistrationEntry;

/* ------------------------------------------------------------------------ */
/* Tokens                                                                   */
/* ------------------------------------------------------------------------ */

/* Provider properties (PROVIDER_property). Tokens are unsigned 64-bit; the
 * two "negative" ones are the 32-bit patterns of -100 and -101, zero-extended.
 * A sign-extended -100 is a different token and is not answered. */
#define ORV_PROVIDER_TOKEN_INPUT_FILE_TYPES UINT64_C(0)
#define ORV_PROVIDER_TOKEN_EDITOR_INPUT_FILE_TYPES UINT64_C(1)
#define ORV_PROVIDER_TOKEN_OUTPUT_FILE_TYPES UINT64_C(2)
#define ORV_PROVIDER_TOKEN_PROFILE_INDEX UINT64_C(0x1001)
#define ORV_PROVIDER_TOKEN_SPU_FLAGS UINT64_C(0x40000000)
#define ORV_PROVIDER_TOKEN_VERSION UINT64_C(0xFFFFFF9B) /* -101 pattern */
#define ORV_PROVIDER_TOKEN_NAME UINT64_C(0xFFFFFF9C)    /* -100 pattern */

/* Stream properties (ORV_stream_property). Queries 3..13 write one 32-bit
 * word to `value` and need `new_value` and `result` null. */
#define ORV_TOKEN_INPUT_BIT_RATE UINT64_C(3)     /* bits per second */
#define ORV_TOKEN_INPUT_SAMPLE_RATE UINT64_C(4)  /* Hz */
#define ORV_TOKEN_INPUT_SAMPLE_WIDTH UINT64_C(5) /* always 16 */
#define ORV_TOKEN_INPUT_CHANNELS UINT64_C(6)
#define ORV_TOKEN_OUTPUT_BIT_RATE UINT64_C(7) /* rate x channels x 16 */
#define ORV_TOKEN_OUTPUT_SAMPLE_RATE UINT64_C(8)
#define ORV_TOKEN_OUTPUT_SAMPLE_WIDTH UINT64_C(9)
#define ORV_TOKEN_OUTPUT_CHANNELS UINT64_C(10)
#define ORV_TOKEN_OUTPUT_RESERVOIR UINT64_C(11) /* bytes buffered */
#define ORV_TOKEN_POSITION UINT64_C(12)         /* file position, bytes */
#define ORV_TOKEN_PERCENT_DONE UINT64_C(13)     /* 32-bit float 0..100 */
/* Settings: they take input words from `new_value` and, where noted, write
 * answers to `result`. */
/* "Stream seek position": the host has moved its input to a byte position;
 * the stream realigns at the next seek-table boundary. While compressed
 * input is still buffered the move waits until it is decoded, and such a
 * waiting move must lie below 2 GiB (otherwise 0 is returned). */
#define ORV_TOKEN_STREAM_SEEK_POSITION UINT64_C(14) /* in: byte position */
#define ORV_TOKEN_EXACT_SEEK UINT64_C(15)           /* in: ms; out: position */
#define ORV_TOKEN_EXACT_GET_POSITION UINT64_C(16)   /* in: position; out: ms */
#define ORV_TOKEN_SEEK_TABLE_LOOKUP UINT64_C(17)   /* in: ms; out: pos, frame */
#define ORV_TOKEN_SET_LOOPING_SAMPLES UINT64_C(18) /* in: start, end frames */
#define ORV_TOKEN_CLEAR_LOOP_META UINT64_C(19)     /* in: flag word */

/* ------------------------------------------------------------------------ */
/* Host services                                                            */
/* ------------------------------------------------------------------------ */

/* Broker functions handed to TAVO_Main. `handle` is the host's own value,
 * passed back unchanged. Their results are ignored by the plug-in. The
 * unregister function is called once with `handle` and three zeros. */
typedef int32_t(ORV_CALL* ORV_RegisterInterface)(
    uintptr_t handle, const char* interface_name, int32_t entry_count,
    const RegistrationEntry* entries);
typedef int32_t(ORV_CALL* ORV_UnregisterInterfaces)(
    uintptr_t handle, const char* interface_name, int32_t entry_count,
    const RegistrationEntry* entries);

/* Allocates `bytes` (a multiple of 64) for one stream; must return memory
 * aligned to at least 16 bytes, or null. Called once per stream, at open.
 * `source_file` and `line` name the call site, for the host's accounting. */
typedef void*(ORV_CALL* ORV_AllocateCallback)(uint64_t bytes,
                                              uint64_t host_stream,
                                              const char* source_file,
                                              uint32_t line);
/* Frees a block from the allocate callback; called exactly once per block. */
typedef void(ORV_CALL* ORV_FreeCallback)(void* block, uint64_t host_stream,
                                         const char* source_file,
                                         uint32_t line);
/* Delivers up to `bytes` bytes of the file into `destination` and returns
 * how many came. `offset` is 0 for the first read of a stream (the header
 * at the start of the file) and -1 for every other read: continue where the
 * previous read ended. At open, the header read and each seek-table read
 * must deliver exactly the count asked; any other result (short, negative
 * or above `bytes`) fails the open. While decoding, a short count is not an
 * error: the plug-in asks again for what it still needs, and takes 0 as the
 * end of the input; a negative result is taken as nothing delivered, and a
 * result above `bytes` as exactly `bytes`. */
typedef int32_t(ORV_CALL* ORV_ReadCallback)(uint64_t host_stream,
                                            void* destination, uint32_t bytes,
                                            int32_t offset);

/* ------------------------------------------------------------------------ */
/* The interfaces' functions                                                */
/* ------------------------------------------------------------------------ */

/* An open decode stream; opaque to the host. */
typedef struct ORV_Stream ORV_Stream;

/* "ORV codec": answers a provider property; 1 when answered, 0 otherwise
 * (nothing written). Settings (non-null new_value or result) are refused. */
typedef int32_t(ORV_CALL* PROVIDER_property_fn)(uint64_t token, void* value,
                                                const void* new_value,
                                                void* result);
/* Empties the last-error text; returns 0. */
typedef int32_t(ORV_CALL* ORV_startup_fn)(void);
/* The last-error text ("Out of memory" after a refused stream allocation),
 * or null while it is empty. Reading does not clear it. */
typedef const char*(ORV_CALL* ORV_error_fn)(void);
/* Does nothing; returns 0. */
typedef int32_t(ORV_CALL* ORV_shutdown_fn)(void);

/* "ORV stream": opens a stream on a Velk audio file reached through
 * `read_callback`. Makes one allocation; returns null when the file is not
 * a Velk audio file the plug-in can play or its header read does not
 * deliver exactly 24 bytes (nothing allocated, error text untouched), when
 * a seek-table read delivers other than the count asked (the block is
 * freed),
 * or when the allocation is refused (error text "Out of memory"). */
typedef ORV_Stream*(ORV_CALL* ORV_stream_open_fn)(
    ORV_AllocateCallback allocate_callback, ORV_FreeCallback free_callback,
    uint64_t host_stream, ORV_ReadCallback read_callback);

/* Writes up to `bytes` bytes of interleaved signed 16-bit PCM to
 * `destination` and returns how many it wrote. Any count is allowed; a
 * sample split between two calls is completed by the next. Fewer bytes than
 * asked means the input ended, block sync was lost (the next call finds it
 * again) or the loop end was reached.
 *
 * Seeks and loop starts drop leading frames in whole steps of 16 bytes of a
 * block's output per channel pair: 4 frames for stereo, 8 for mono. Files
 * of more than two channels are trimmed in frame order after interleaving,
 * exactly to the frame, so every channel loses the same leading frames and
 * keeps the same number of frames. */
typedef uint32_t(ORV_CALL* ORV_stream_process_fn)(ORV_Stream* stream,
                                                  void* destination,
                                                  uint32_t bytes);

/* Answers a stream query (tokens 3..13: `value` non-null, `new_value` and
 * `result` null) or takes a setting (tokens 14..19). Returns 1 when handled,
 * 0 otherwise with nothing changed. */
typedef int32_t(ORV_CALL* ORV_stream_property_fn)(ORV_Stream* stream,
                                                  uint64_t token, void* value,
                                                  const void* new_value,
                                                  void* result);

/* -1: drop buffered data and realign at the next seek-table boundary from
 * the current position; -2: arm the loop start; any other value: the host
 * has moved its input to this byte position. Returns 0. */
typedef int32_t(ORV_CALL* ORV_stream_seek_fn)(ORV_Stream* stream,
                                              int32_t position);

/* Frees the stream's block through the free callback; returns 0. */
typedef int32_t(ORV_CALL* ORV_stream_close_fn)(ORV_Stream* stream);

/* The module's one export. Registers the two interfaces when
 * `register_flag` is non-zero, unregisters them otherwise; returns 1. */
typedef int32_t(ORV_CALL* TAVO_Main_fn)(
    uintptr_t handle, int32_t register_flag, void* reserved,
    ORV_RegisterInterface register_interface,
    ORV_UnregisterInterfaces unregister_interfaces);

ORV_EXPORT int32_t ORV_CALL
TAVO_Main(uintptr_t handle, int32_t register_flag, void* reserved,
          ORV_RegisterInterface register_interface,
          ORV_UnregisterInterfaces unregister_interfaces);

#ifdef __cplusplus
} /* extern "C" */
#endif

/*
 * What both sides rely on, checked wherever this header is compiled: exact
 * integer widths, 32-bit floats (the "Percent done" answer), pointers that
 * fit the 64-bit `value` word, and on 64-bit targets the 32-byte record
 * with its fields at 0, 8, 16 and 24 (the same on Windows, whose `long` is
 * 32 bits, and on Linux; no field here is a `long`). WebAssembly (wasm32)
 * keeps that layout with 4-byte pointers: its 64-bit integers are 8-byte
 * aligned, so 4 bytes of padding follow `name`. Other 32-bit targets lay
 * the record out differently and cannot load a 64-bit module anyway.
 */
#if defined(__wasm32__)
#define ORV_RECORD_LAYOUT_FIXED 1
#else
#define ORV_RECORD_LAYOUT_FIXED (sizeof(void*) == 8)
#endif
#if defined(__cplusplus)
#define ORV_STATIC_ASSERT(condition, text) static_assert(condition, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ORV_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif

#ifdef ORV_STATIC_ASSERT
ORV_STATIC_ASSERT(sizeof(uint32_t) == 4 && sizeof(int32_t) == 4 &&
                      sizeof(uint64_t) == 8,
                  "exact-width integers");
ORV_STATIC_ASSERT(sizeof(float) == 4, "32-bit float");
ORV_STATIC_ASSERT(sizeof(uintptr_t) >= sizeof(void*) &&
                      sizeof(void*) <= sizeof(uint64_t) &&
                      sizeof(TAVO_Main_fn) <= sizeof(uint64_t),
                  "addresses fit the 64-bit value word");
ORV_STATIC_ASSERT(offsetof(RegistrationEntry, kind) == 0,
                  "RegistrationEntry.kind at 0");
ORV_STATIC_ASSERT(offsetof(RegistrationEntry, unused0) == 4,
                  "RegistrationEntry.unused0 at 4");
ORV_STATIC_ASSERT(offsetof(RegistrationEntry, name) == 8,
                  "RegistrationEntry.name at 8");
ORV_STATIC_ASSERT(!ORV_RECORD_LAYOUT_FIXED || sizeof(RegistrationEntry) == 32,
                  "RegistrationEntry must be 32 bytes");
ORV_STATIC_ASSERT(!ORV_RECORD_LAYOUT_FIXED ||
                      offsetof(RegistrationEntry, value) == 16,
                  "RegistrationEntry.value at 16");
ORV_STATIC_ASSERT(!ORV_RECORD_LAYOUT_FIXED ||
                      offsetof(RegistrationEntry, type) == 24,
                  "RegistrationEntry.type at 24");
ORV_STATIC_ASSERT(!ORV_RECORD_LAYOUT_FIXED ||
                      offsetof(RegistrationEntry, unused1) == 28,
                  "RegistrationEntry.unused1 at 28");
#undef ORV_STATIC_ASSERT
#endif
#undef ORV_RECORD_LAYOUT_FIXED

#endif /* ORV_VLKDEC_H */
