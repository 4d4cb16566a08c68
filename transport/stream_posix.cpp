// Stream to a device endpoint over POSIX sockets (unix: and tcp: addresses).
// stream_win.cpp is the same over Winsock.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "transport/stream.h"

namespace talvo {

struct Stream {
    int fd = -1;
    TalvoReceiveCallback callback = nullptr;
    std::atomic<bool> closing{false};
    bool selfDelete = false; // closed from inside its own callback: the reader frees it
    std::mutex writeMu;
    std::thread reader;
};

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// A stream socket that stays out of the host's child processes: a child
// holding a copy would keep the device's one connection open after the host
// itself has gone, and the device would refuse the host's next connection.
int StreamSocket(int family, int protocol) {
#ifdef SOCK_CLOEXEC
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, protocol);
#else
    int fd = ::socket(family, SOCK_STREAM, protocol);
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#endif
}

int ConnectUnix(const std::string &path) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = StreamSocket(AF_UNIX, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int ConnectTcp(const std::string &hostPort) {
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size())
        return -1;
    std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0)
        return -1;
    int fd = -1;
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        fd = StreamSocket(ai->ai_family, ai->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            break;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(list);
    if (fd >= 0) {
        int one = 1; // frames are small and answers are awaited: no coalescing delay
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

void ReadLoop(Stream *s) {
    uint8_t buf[4096]; // the most the host takes in one callback
    for (;;) {
        ssize_t n = ::recv(s->fd, buf, sizeof buf, 0);
        if (n > 0) {
            s->callback(0, buf, static_cast<int32_t>(n), TALVO_TYPE_DATA, 0);
            if (s->selfDelete)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (!s->closing.load())
            s->callback(0, buf, 0, TALVO_TYPE_LINK_LOST, 0);
        break;
    }
    if (s->selfDelete)
        delete s;
}

} // namespace

Stream *StreamOpen(const char *address, TalvoReceiveCallback callback) {
    if (!address || !callback)
        return nullptr;
    std::string a(address);
    int fd = -1;
    if (a.rfind("unix:", 0) == 0)
        fd = ConnectUnix(a.substr(5));
    else if (a.rfind("tcp:", 0) == 0)
        fd = ConnectTcp(a.substr(4));
    if (fd < 0)
        return nullptr;
    // A device that takes no byte for as long as the host waits for an
    // answer is lost: the write fails (and the host resets the link) instead
    // of blocking the host's sender, and its close, for good.
    timeval limit{};
    limit.tv_sec = kSendTimeoutMs / 1000;
    limit.tv_usec = (kSendTimeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    Stream *s = new Stream;
    s->fd = fd;
    s->callback = callback;
    try {
        s->reader = std::thread(ReadLoop, s);
    } catch (const std::system_error &) { // no thread to be had: the open fails
        ::close(fd);
        delete s;
        return nullptr;
    }
    return s;
}

bool StreamWrite(Stream *s, const uint8_t *bytes, size_t n) {
    if (!s)
        return false;
    std::lock_guard<std::mutex> lk(s->writeMu);
    while (n > 0) {
        ssize_t w = ::send(s->fd, bytes, n, kSendFlags);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        bytes += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void StreamClose(Stream *s) {
    if (!s)
        return;
    s->closing.store(true);
    ::shutdown(s->fd, SHUT_RDWR);
    if (s->reader.get_id() == std::this_thread::get_id()) {
        ::close(s->fd);
        s->selfDelete = true;
        s->reader.detach();
        return;
    }
    s->reader.join();
    ::close(s->fd);
    delete s;
}

} // namespace talvo
