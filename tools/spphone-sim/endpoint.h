// The listening socket of spphone-sim: a Unix socket that only its user can
// reach, or a TCP port on the loopback address.
#pragma once

#include <cstddef>
#include <string>

#include "sim/sim.h"

namespace simserver {

struct Endpoint {
    int fd = -1;
    std::string talvoDevice; // what TALVO_DEVICE must say to reach it
    std::string socketPath;  // Unix socket to remove at exit ("" for TCP)
    std::string privateDir;  // directory we made for it, removed at exit ("" if none)
};

// A Unix socket at path, or (path empty) in a fresh private directory under
// $XDG_RUNTIME_DIR (else $TMPDIR, else /tmp). A given path must lie in a
// directory of this user that no one else can enter; a stale socket left by a
// killed instance is replaced, a live one or any other file is not.
bool ListenUnix(const std::string &path, Endpoint *ep, std::string *error);

// "PORT" or "HOST:PORT" (port 0: any free port). Only a loopback host unless
// anyHost; with anyHost and no host, every address.
bool ListenTcp(const std::string &address, bool anyHost, Endpoint *ep, std::string *error);

// Closes the socket and removes what ListenUnix made.
void CloseEndpoint(Endpoint *ep);

// Most bytes of the device's answers and reports that a host may leave
// unread. A host reads what the device sends as it comes (the library's
// receiver does nothing else), so a healthy one stays far below this: the
// device's whole state, read at start-up with 100 contacts, is about 130 KiB.
// A host that sends requests and reads nothing reaches it within a fraction
// of a second and is dropped; the memory held for one host stays below three
// times this bound.
constexpr size_t kHostUnreadLimit = size_t{1} << 20;

// The device's sink for one host connection on fd (which stays the caller's
// to close after sim::Disconnect). The bytes go out in order on a writer
// thread of the sink's own, so the device's delivery thread never blocks on a
// host that does not read; a link report (type 6 or 7) closes the connection
// after the bytes before it. Once more than kHostUnreadLimit bytes wait, the
// host is dropped: its connection is shut down (the caller reads its end)
// and the device disconnected (the device takes no more of its bytes). All
// of it is freed with the sink, when the device disconnects.
sim::Sink HostSink(sim::Device *dev, int fd);

// Tells a host that is not served why, in one line that the host's transport
// recognises, and closes fd.
void RefuseHost(int fd, const std::string &why);

// True when dir is owned by this user and closed to group and others.
bool IsPrivateDirectory(const std::string &dir, std::string *error);

} // namespace simserver
