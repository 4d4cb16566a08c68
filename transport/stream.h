// A byte stream to a device endpoint (the spphone-sim program): the frames go
// out as they are, the device's bytes come back through the receive callback
// as they arrive. The platform's socket calls live in one file per platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "talvo.h"

namespace talvo {

struct Stream;

// Connects to "unix:PATH" or "tcp:HOST:PORT" and starts a reader thread that
// calls callback with type 0 for each piece of bytes received, and once with
// type 7 when the peer closes the stream or it fails. nullptr when the
// address is malformed or nothing listens there.
Stream *StreamOpen(const char *address, TalvoReceiveCallback callback);
// How long a write may wait for the device to take bytes.
constexpr uint32_t kSendTimeoutMs = 3000;

// Writes all n bytes; false when the stream failed or the device took no
// byte for kSendTimeoutMs.
bool StreamWrite(Stream *s, const uint8_t *bytes, size_t n);
// Closes the stream and joins its reader: no callback after it returns.
void StreamClose(Stream *s);

} // namespace talvo
