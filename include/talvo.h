/*
 * Transport interface of morelapi. A transport library carries whole frames
 * to the device and hands the device's bytes back through a callback.
 *
 * Windows: TALVO.dll, taken by ordinal (1 open, 2 write, 3 close).
 * POSIX: libtalvo.so, taken by the symbol names below.
 *
 * Contract the library relies on:
 * - TransportOpen returns 0 when opened and writes the handle; nonzero = not opened.
 * - TransportWrite returns 0 when the whole frame was written; nonzero = failure.
 * - The callback gets (reserved, data, count, type, reserved). Type 0 carries
 *   data, in chunks of 1 to 4096 bytes; a longer chunk (or a negative count,
 *   or a null data pointer) is dropped whole. Types 6 and 7 report a
 *   link-state change (count ignored).
 * - The callback may be called from any number of threads, also at the same
 *   time: the library takes one chunk in at a time, each whole, so chunks
 *   from two threads never interleave within a chunk (their order is the
 *   order in which the calls get in). The callback may block while the
 *   library's 4096-byte receive buffer is full, until the library's receiver
 *   has taken a frame out or the library stops; do not call it while holding
 *   a lock that TransportWrite or TransportClose needs.
 * - TransportOpen, TransportWrite and TransportClose are called from the
 *   library's link and sender threads and from TerminateUsbApiLib. The
 *   library's stop waits for any of them in progress: a transport that keeps
 *   them short (a deadline on connects and writes) keeps the stop short.
 * - After TransportClose returns, the callback of that connection is never
 *   called again.
 */
#ifndef TALVO_H
#define TALVO_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TALVO_CALL __stdcall
#else
#define TALVO_CALL
#endif

#if defined(_WIN32)
#if defined(TALVO_BUILDING)
#define TALVO_EXPORT __declspec(dllexport)
#else
#define TALVO_EXPORT __declspec(dllimport)
#endif
#elif defined(TALVO_BUILDING)
#define TALVO_EXPORT __attribute__((visibility("default")))
#else
#define TALVO_EXPORT
#endif

#define TALVO_TYPE_DATA 0
#define TALVO_TYPE_LINK_CHANGED 6
#define TALVO_TYPE_LINK_LOST 7

#ifdef __cplusplus
extern "C" {
#endif

typedef void(TALVO_CALL *TalvoReceiveCallback)(uintptr_t reserved1, const uint8_t *data, int32_t count, int32_t type,
                                               uintptr_t reserved5);

typedef int32_t(TALVO_CALL *TalvoOpenFn)(TalvoReceiveCallback callback, uint32_t *handle);
typedef int32_t(TALVO_CALL *TalvoWriteFn)(uint32_t handle, const uint8_t *frame, uint32_t length);
typedef int32_t(TALVO_CALL *TalvoCloseFn)(uint32_t handle);

TALVO_EXPORT int32_t TALVO_CALL TransportOpen(TalvoReceiveCallback callback, uint32_t *handle);  /* ordinal 1 */
TALVO_EXPORT int32_t TALVO_CALL TransportWrite(uint32_t handle, const uint8_t *frame, uint32_t length); /* ordinal 2 */
TALVO_EXPORT int32_t TALVO_CALL TransportClose(uint32_t handle); /* ordinal 3 */

#ifdef __cplusplus
}
#endif

#endif /* TALVO_H */
