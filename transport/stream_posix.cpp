// Stream to a device endpoint over POSIX sockets (unix: and tcp: addresses).
// stream_win.cpp is the same over Winsock.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "transport/stream.h"

namespace talvo {

using Clock = std::chrono::steady_clock;

struct Stream {
    TalvoReceiveCallback callback = nullptr;
    int fd = -1;
    int wake[2] = {-1, -1}; // written by StreamClose: ends a connect in progress
    std::mutex mu;          // closing and reader, between the opener and a closer
    std::atomic<bool> closing{false};
    WriteTurn writeTurn;
    std::vector<uint8_t> first; // bytes the open took, delivered first by the reader
    std::thread reader;
};

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

std::string Errno(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

// A non-blocking stream socket that stays out of the host's child processes:
// a child holding a copy would keep the device's one connection open after
// the host itself has gone, and the device would refuse the host's next
// connection.
int StreamSocket(int family, int protocol) {
#if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
#else
    int fd = ::socket(family, SOCK_STREAM, protocol);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return fd;
#endif
}

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) + 1 : 0;
}

// The connected socket becomes the stream's; StreamClose reads it.
void Adopt(Stream *s, int fd) {
    std::lock_guard<std::mutex> lk(s->mu);
    s->fd = fd;
    if (s->closing.load())
        ::shutdown(fd, SHUT_RDWR);
}

enum class Wait { Ready, TimedOut, Closed };

// Waits until fd has events, the deadline passes or StreamClose is called.
Wait WaitFor(Stream *s, int fd, short events, Clock::time_point deadline) {
    for (;;) {
        if (s->closing.load())
            return Wait::Closed;
        const int ms = MsLeft(deadline);
        if (ms == 0)
            return Wait::TimedOut;
        pollfd fds[2] = {{fd, events, 0}, {s->wake[0], POLLIN, 0}};
        int n = ::poll(fds, 2, ms);
        if (n < 0 && errno != EINTR)
            return Wait::Closed;
        if (fds[1].revents)
            return Wait::Closed;
        if (n > 0 && fds[0].revents)
            return Wait::Ready;
    }
}

// A listener whose backlog is full refuses a non-blocking Unix connect with
// EAGAIN and offers nothing to wait on: try again every so often.
constexpr auto kBusyRetry = std::chrono::milliseconds(100);

bool ConnectUnix(Stream *s, const std::string &path, Clock::time_point deadline, std::string *cause) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        *cause = "socket path too long";
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    for (;;) {
        int fd = StreamSocket(AF_UNIX, 0);
        if (fd < 0) {
            *cause = Errno("socket");
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            Adopt(s, fd);
            return true;
        }
        const int err = errno;
        ::close(fd);
        if (err != EAGAIN) {
            errno = err;
            *cause = err == ENOENT || err == ECONNREFUSED ? "nothing listens there (" + std::string(std::strerror(err)) + ")"
                                                          : Errno("connect");
            return false;
        }
        const Clock::time_point retry = std::min(deadline, Clock::now() + kBusyRetry);
        const Wait w = WaitFor(s, s->wake[0], 0, retry); // the wake pipe alone: a timed, closable pause
        if (w == Wait::Closed) {
            *cause = "closed while connecting";
            return false;
        }
        if (Clock::now() >= deadline) {
            *cause = "the endpoint accepts no connection (its backlog is full: is it stopped?)";
            return false;
        }
    }
}

bool ConnectTcp(Stream *s, const Address &a, Clock::time_point deadline, std::string *cause) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST; // no name service to wait for
    addrinfo *list = nullptr;
    const std::string host = a.host == "localhost" ? "127.0.0.1" : a.host;
    if (int rc = ::getaddrinfo(host.c_str(), a.port.c_str(), &hints, &list); rc != 0) {
        *cause = "'" + a.host + "' is not a numeric address (" + ::gai_strerror(rc) + ")";
        return false;
    }
    *cause = "no address to connect to";
    for (addrinfo *ai = list; ai && s->fd < 0; ai = ai->ai_next) {
        int fd = StreamSocket(ai->ai_family, ai->ai_protocol);
        if (fd < 0) {
            *cause = Errno("socket");
            continue;
        }
        int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            const Wait w = WaitFor(s, fd, POLLOUT, deadline);
            int err = 0;
            socklen_t len = sizeof err;
            if (w == Wait::Ready && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
                rc = 0;
            else if (w == Wait::Ready)
                errno = err;
            else
                *cause = GaveUp(w == Wait::Closed, "did not accept");
            if (w != Wait::Ready) {
                ::close(fd);
                break;
            }
        }
        if (rc == 0) {
            Adopt(s, fd);
            int one = 1; // frames are small and answers are awaited: no coalescing delay
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        } else {
            *cause = errno == ECONNREFUSED ? "nothing listens there (connection refused)" : Errno("connect");
            ::close(fd);
        }
    }
    ::freeaddrinfo(list);
    return s->fd >= 0;
}

// Takes the device's first bytes: a device speaks as soon as it takes a host,
// and an endpoint that does not serve this host says so in one line (or just
// closes) instead.
bool TakeFirstBytes(Stream *s, Clock::time_point deadline, std::string *cause) {
    for (;;) {
        const Wait w = WaitFor(s, s->fd, POLLIN, deadline);
        if (w != Wait::Ready) {
            *cause = GaveUp(w == Wait::Closed, "sent nothing");
            return false;
        }
        uint8_t buf[kRefusalLineMax];
        ssize_t n = ::recv(s->fd, buf, sizeof buf - s->first.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            *cause = Errno("recv");
            return false;
        }
        const Greeting g = TakeGreeting(s->first, buf, static_cast<size_t>(n), cause);
        if (g != Greeting::Partial)
            return g == Greeting::Device;
    }
}

void ReadLoop(StreamPtr s) {
    if (!s->first.empty() && !s->closing.load())
        s->callback(0, s->first.data(), static_cast<int32_t>(s->first.size()), TALVO_TYPE_DATA, 0);
    s->first = {};
    uint8_t buf[4096]; // the most the host takes in one callback
    while (!s->closing.load()) {
        ssize_t n = ::recv(s->fd, buf, sizeof buf, 0);
        if (n > 0) {
            s->callback(0, buf, static_cast<int32_t>(n), TALVO_TYPE_DATA, 0);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (!s->closing.load())
            s->callback(0, buf, 0, TALVO_TYPE_LINK_LOST, 0);
        break;
    }
}

void FreeStream(Stream *s) {
    if (s->reader.joinable()) {
        // The last reference goes on the reader itself when it was closed
        // from inside its own callback.
        if (s->reader.get_id() == std::this_thread::get_id())
            s->reader.detach();
        else
            s->reader.join();
    }
    for (int fd : {s->fd, s->wake[0], s->wake[1]})
        if (fd >= 0)
            ::close(fd);
    delete s;
}

} // namespace

StreamPtr StreamCreate(TalvoReceiveCallback callback) {
    if (!callback)
        return nullptr;
    Stream *s = new Stream;
    s->callback = callback;
    if (::pipe(s->wake) != 0) {
        delete s;
        return nullptr;
    }
    for (int fd : s->wake) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return StreamPtr(s, FreeStream);
}

bool StreamConnect(const StreamPtr &s, const char *address, std::string *cause) {
    Address a;
    if (!s || !address || !ParseAddress(address, &a, cause))
        return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kOpenTimeoutMs);
    if (!(a.isUnix ? ConnectUnix(s.get(), a.path, deadline, cause) : ConnectTcp(s.get(), a, deadline, cause)))
        return false;
    if (!TakeFirstBytes(s.get(), deadline, cause))
        return false;
    // The reader blocks in recv; writes wait with poll.
    ::fcntl(s->fd, F_SETFL, ::fcntl(s->fd, F_GETFL) & ~O_NONBLOCK);
    std::lock_guard<std::mutex> lk(s->mu);
    if (s->closing.load()) {
        *cause = "closed while connecting";
        return false;
    }
    try {
        s->reader = std::thread(ReadLoop, s);
    } catch (const std::system_error &) {
        *cause = "no thread to read the stream";
        return false;
    }
    return true;
}

// Writes all n bytes, in this writer's turn, by the deadline.
static bool WriteAll(Stream *s, const uint8_t *bytes, size_t n, Clock::time_point deadline) {
    while (n > 0) {
        if (s->closing.load())
            return false;
        ssize_t w = ::send(s->fd, bytes, n, kSendFlags | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitFor(s, s->fd, POLLOUT, deadline) != Wait::Ready)
                return false;
            continue;
        }
        if (w <= 0)
            return false;
        bytes += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool StreamWrite(Stream *s, const uint8_t *bytes, size_t n) {
    if (!s)
        return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
    if (!TakeTurn(s->writeTurn, deadline))
        return false;
    const bool ok = WriteAll(s, bytes, n, deadline);
    GiveTurn(s->writeTurn);
    return ok;
}

void StreamClose(Stream *s) {
    if (!s)
        return;
    std::thread reader;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        if (s->closing.exchange(true))
            return;
        const char b = 1;
        ssize_t ignored = ::write(s->wake[1], &b, 1);
        (void)ignored;
        if (s->fd >= 0)
            ::shutdown(s->fd, SHUT_RDWR);
        if (s->reader.joinable() && s->reader.get_id() != std::this_thread::get_id())
            reader = std::move(s->reader);
    }
    if (reader.joinable())
        reader.join();
}

} // namespace talvo
