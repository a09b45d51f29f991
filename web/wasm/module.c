/*
 * The WebAssembly module's own translation unit: everything it runs comes
 * from the plug-in's objects. Compiling the public header here checks its
 * static assertions as C11 for wasm32 as well, where pointers are 4 bytes
 * and the registration record keeps the 64-bit layout (see the header).
 */
#include <orv/vlkdec.h>
