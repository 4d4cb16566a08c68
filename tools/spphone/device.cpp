#include "tools/spphone/device.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tools/common/parse.h"

namespace spphone {

namespace {

// How long the probe waits for the connection, then for the device to turn
// it away. A device that is there accepts in microseconds; one that serves
// another host closes the newcomer as soon as it has accepted it.
constexpr int kConnectMs = 1000;
constexpr int kRefusalMs = 300;

std::string Quoted(const std::string &s) { return "'" + s + "'"; }

std::string SystemError(int err) { return std::strerror(err); }

// A stream socket connected to addr within kConnectMs: the descriptor, or -1
// with errno set.
int ConnectWithin(const sockaddr *addr, socklen_t len, int family) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, addr, len) == 0)
        return fd;
    if (errno != EINPROGRESS && errno != EAGAIN) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, kConnectMs);
    int err = ETIMEDOUT;
    if (n > 0) {
        socklen_t elen = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0)
            err = errno;
    }
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// After a connection: true when the device closes it within kRefusalMs.
// A device that turns a host away may first write one line "refused: WHY";
// *why gets WHY then.
bool ClosedAtOnce(int fd, std::string *why) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRefusalMs);
    std::string first;
    char buf[256];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got > 0 && first.size() < sizeof buf)
            first.append(buf, static_cast<size_t>(got));
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            const std::string prefix = "refused: ";
            if (first.rfind(prefix, 0) == 0)
                *why = first.substr(prefix.size(), first.find('\n') - prefix.size());
            return true;
        }
    }
}

} // namespace

std::optional<DeviceAddress> ParseDeviceAddress(const char *value, std::string *why) {
    DeviceAddress a;
    if (value == nullptr || *value == 0 || std::strcmp(value, "sim") == 0) {
        a.text = "sim";
        return a;
    }
    a.text = value;
    const std::string v(value);
    if (v.rfind("unix:", 0) == 0) {
        a.kind = DeviceAddress::Unix;
        a.path = v.substr(5);
        if (a.path.empty()) {
            *why = "unix: needs the socket's path (unix:PATH)";
            return std::nullopt;
        }
        if (a.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
            *why = "the socket path is longer than the " + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) +
                   " bytes a Unix socket address holds";
            return std::nullopt;
        }
        return a;
    }
    if (v.rfind("tcp:", 0) == 0) {
        a.kind = DeviceAddress::Tcp;
        const std::string rest = v.substr(4);
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0) {
            *why = "tcp: needs a host and a port (tcp:127.0.0.1:PORT)";
            return std::nullopt;
        }
        a.host = rest.substr(0, colon);
        // The transport looks up no names: the host is an address.
        in6_addr any{};
        if (::inet_pton(AF_INET, a.host.c_str(), &any) != 1 && ::inet_pton(AF_INET6, a.host.c_str(), &any) != 1) {
            *why = "host " + Quoted(a.host) + ": give a numeric address such as 127.0.0.1";
            return std::nullopt;
        }
        const std::string port = rest.substr(colon + 1);
        bool digits = !port.empty();
        for (char c : port)
            digits = digits && c >= '0' && c <= '9';
        std::string perr;
        auto p = digits ? tools::ParseUnsigned(port, 65535, &perr) : std::nullopt;
        if (!p || *p == 0) {
            *why = "port " + Quoted(port) + ": give 1..65535";
            return std::nullopt;
        }
        a.port = static_cast<uint16_t>(*p);
        return a;
    }
    *why = Quoted(v) + " is no device address: give sim, unix:PATH or tcp:127.0.0.1:PORT";
    return std::nullopt;
}

std::string TransportProblem() {
    // The library loads the transport by name at its start; if it is loaded
    // now, the library has it.
    if (void *h = ::dlopen("libtalvo.so", RTLD_NOW | RTLD_NOLOAD)) {
        const bool complete = ::dlsym(h, "TransportOpen") && ::dlsym(h, "TransportWrite") &&
                              ::dlsym(h, "TransportClose");
        ::dlclose(h);
        return complete ? "" : "libtalvo.so lacks TransportOpen, TransportWrite or TransportClose";
    }
    void *h = ::dlopen("libtalvo.so", RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char *err = ::dlerror();
        return std::string("the transport library libtalvo.so cannot be loaded (") + (err ? err : "not found") +
               "); put its directory on LD_LIBRARY_PATH";
    }
    ::dlclose(h);
    return "the library did not load libtalvo.so from its search path; put its directory on LD_LIBRARY_PATH";
}

std::string ProbeEndpoint(const DeviceAddress &address, bool *busy) {
    *busy = false;
    int fd = -1;
    if (address.kind == DeviceAddress::InProcess)
        return "";
    if (address.kind == DeviceAddress::Unix) {
        struct stat st {};
        if (::stat(address.path.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return "no socket at " + address.path + ", is spphone-sim running?";
            return "cannot reach " + address.path + ": " + SystemError(errno);
        }
        if (!S_ISSOCK(st.st_mode))
            return address.path + " is not a socket";
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::memcpy(sa.sun_path, address.path.data(), address.path.size());
        fd = ConnectWithin(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, AF_UNIX);
        if (fd < 0) {
            if (errno == ECONNREFUSED)
                return "nobody listens on " + address.text + ", a socket left by a stopped spphone-sim";
            if (errno == ETIMEDOUT || errno == EAGAIN)
                return address.text + " takes no connection, a stopped or hung spphone-sim";
            return "cannot connect to " + address.text + ": " + SystemError(errno);
        }
    } else {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
        addrinfo *list = nullptr;
        const std::string port = std::to_string(address.port);
        if (int rc = ::getaddrinfo(address.host.c_str(), port.c_str(), &hints, &list); rc != 0)
            return "cannot use host " + Quoted(address.host) + ": " + ::gai_strerror(rc);
        int err = ECONNREFUSED;
        for (addrinfo *ai = list; ai && fd < 0; ai = ai->ai_next) {
            fd = ConnectWithin(ai->ai_addr, ai->ai_addrlen, ai->ai_family);
            if (fd < 0)
                err = errno;
        }
        ::freeaddrinfo(list);
        if (fd < 0) {
            if (err == ECONNREFUSED)
                return "nobody listens on " + address.text;
            if (err == ETIMEDOUT)
                return address.text + " does not answer, a stopped or hung spphone-sim";
            return "cannot connect to " + address.text + ": " + SystemError(err);
        }
    }
    std::string why;
    *busy = ClosedAtOnce(fd, &why);
    ::close(fd);
    if (!*busy)
        return "";
    if (!why.empty())
        return "the device at " + address.text + " refused this host: " + why;
    return "the device at " + address.text + " serves another host: another spphone (a watch, a shell) is connected to it";
}

} // namespace spphone
