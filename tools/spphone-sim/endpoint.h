// The listening socket of spphone-sim: a Unix socket that only its user can
// reach, or a TCP port on the loopback address.
#pragma once

#include <string>

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

// True when dir is owned by this user and closed to group and others.
bool IsPrivateDirectory(const std::string &dir, std::string *error);

} // namespace simserver
