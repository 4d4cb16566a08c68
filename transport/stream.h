// A byte stream to a device endpoint (the spphone-sim program): the frames go
// out as they are, the device's bytes come back through the receive callback
// as they arrive. The platform's socket calls live in one file per platform.
//
// Time bounds, whatever the endpoint does (stopped, wedged, flooding):
//  - StreamConnect returns within kOpenTimeoutMs, or at once when another
//    thread closes the stream meanwhile;
//  - StreamWrite returns within kSendTimeoutMs, or at once when the stream is
//    closed meanwhile;
//  - StreamClose returns once the reader thread has left the callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "talvo.h"

namespace talvo {

struct Stream;
using StreamPtr = std::shared_ptr<Stream>;

// How long an open may take: the connection accepted and the device's first
// bytes received. A running endpoint on this machine accepts and speaks
// within milliseconds; only a stopped or wedged one takes longer, and the
// host's stop waits for an open in progress, so the limit is kept short.
constexpr uint32_t kOpenTimeoutMs = 2000;
// How long a write may wait for the device to take bytes: as long as the host
// waits for an answer, after which it counts the device as lost anyway.
constexpr uint32_t kSendTimeoutMs = 3000;

// What a device endpoint sends, as one line before it closes the connection,
// when it does not serve this host (it serves another already, or its fault
// plan refuses the open). The rest of the line says why.
constexpr char kRefusalPrefix[] = "refused: ";
// Longest refusal line taken, newline included.
constexpr size_t kRefusalLineMax = 200;

// A device address taken apart: "unix:PATH" or "tcp:HOST:PORT".
struct Address {
    bool isUnix = false;
    std::string path; // unix
    std::string host; // tcp
    std::string port; // tcp: decimal 1..65535
};

// False, with *cause, when text is not a well-formed address.
inline bool ParseAddress(const std::string &text, Address *a, std::string *cause) {
    if (text.rfind("unix:", 0) == 0) {
        a->isUnix = true;
        a->path = text.substr(5);
        if (a->path.empty() || a->path.size() > 107) {
            *cause = "the socket path must have 1 to 107 bytes";
            return false;
        }
        return true;
    }
    const size_t colon = text.rfind(':');
    if (text.rfind("tcp:", 0) != 0 || colon < 4) {
        *cause = "not sim, unix:PATH or tcp:HOST:PORT";
        return false;
    }
    a->isUnix = false;
    a->host = text.substr(4, colon - 4);
    a->port = text.substr(colon + 1);
    unsigned long port = 0;
    bool digits = !a->port.empty() && a->port.size() <= 5;
    for (char c : a->port) {
        digits = digits && c >= '0' && c <= '9';
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (a->host.empty() || !digits || port == 0 || port > 65535) {
        *cause = "give tcp:HOST:PORT with a numeric host and a port of 1..65535";
        return false;
    }
    return true;
}

// What the first bytes of a connection show: a device speaking, an endpoint
// that does not serve this host, or too few bytes to tell yet.
enum class Greeting { Device, Refused, Partial };

// Adds the n bytes received first on a new connection (n 0: the endpoint
// closed it) and says what they show; *cause when this host is not served.
inline Greeting TakeGreeting(std::vector<uint8_t> &first, const void *bytes, size_t n, std::string *cause) {
    if (n == 0) {
        *cause = first.empty() ? "the endpoint closed the connection at once (does it serve another host?)"
                               : "the endpoint refused this host";
        return Greeting::Refused;
    }
    const auto *b = static_cast<const uint8_t *>(bytes);
    first.insert(first.end(), b, b + n);
    const size_t prefix = sizeof kRefusalPrefix - 1;
    const size_t have = first.size();
    if (std::memcmp(first.data(), kRefusalPrefix, have < prefix ? have : prefix) != 0)
        return Greeting::Device;
    const auto *begin = reinterpret_cast<const char *>(first.data());
    const auto *nl = static_cast<const char *>(std::memchr(begin, '\n', have));
    if (!nl && have < kRefusalLineMax)
        return Greeting::Partial;
    *cause = "the endpoint refused this host: " + (have > prefix ? std::string(begin + prefix, nl ? nl : begin + have) : "");
    return Greeting::Refused;
}

// Why an open gave up waiting for the endpoint to do what (closed: the host
// closed it meanwhile).
inline std::string GaveUp(bool closed, const char *what) {
    if (closed)
        return "closed while connecting";
    return std::string("the endpoint ") + what + " within " + std::to_string(kOpenTimeoutMs) + " ms (is it stopped?)";
}

// Writers of one stream take turns; each waits for its turn no later than
// its own deadline.
struct WriteTurn {
    std::mutex m;
    std::condition_variable cv;
    bool busy = false;
};
inline bool TakeTurn(WriteTurn &t, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lk(t.m);
    if (!t.cv.wait_until(lk, deadline, [&t] { return !t.busy; }))
        return false;
    t.busy = true;
    return true;
}
inline void GiveTurn(WriteTurn &t) {
    {
        std::lock_guard<std::mutex> lk(t.m);
        t.busy = false;
    }
    t.cv.notify_one();
}

// A stream not connected yet; nullptr when the system gives no resources.
StreamPtr StreamCreate(TalvoReceiveCallback callback);

// Connects to "unix:PATH" or "tcp:HOST:PORT", waits for the device's first
// bytes and starts the reader thread, which calls the callback with type 0
// for each piece of bytes received and once with type 7 when the peer closes
// the stream or it fails. False, with *cause saying why in a few words, when
// the address is malformed, nothing listens there, the endpoint refuses this
// host or does not answer within kOpenTimeoutMs, or the stream was closed.
bool StreamConnect(const StreamPtr &s, const char *address, std::string *cause);

// Writes all n bytes; false when the stream failed or was closed, or the
// device did not take them within kSendTimeoutMs.
bool StreamWrite(Stream *s, const uint8_t *bytes, size_t n);

// Any thread, any time (the first call counts): fails a StreamConnect in progress at
// once, makes writes fail, and joins the reader, so no callback is made after
// it returns (called from inside the callback: none after that callback
// returns). The stream is freed with its last StreamPtr.
void StreamClose(Stream *s);

} // namespace talvo
