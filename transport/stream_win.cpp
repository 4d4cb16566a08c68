// Stream to a device endpoint over Winsock (tcp: addresses; unix: is not
// offered on this platform). stream_posix.cpp is the same over POSIX sockets.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>
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
    SOCKET fd = INVALID_SOCKET;
    WSAEVENT net = WSA_INVALID_EVENT; // the socket's events while opening
    HANDLE wake = nullptr;            // set by StreamClose: ends an open in progress
    std::mutex mu;                    // closing, fd and reader, between the opener and a closer
    std::atomic<bool> closing{false};
    WriteTurn writeTurn;
    std::vector<uint8_t> first; // bytes the open took, delivered first by the reader
    std::thread reader;
};

namespace {

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::string Error(const char *what, int code) { return std::string(what) + " failed (error " + std::to_string(code) + ")"; }

DWORD MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) + 1 : 0;
}

enum class Wait { Ready, TimedOut, Closed };

// Waits until the socket reports one of its selected events (what they were
// goes to *ev), the deadline passes or StreamClose is called.
Wait WaitFor(Stream *s, Clock::time_point deadline, WSANETWORKEVENTS *ev) {
    for (;;) {
        if (s->closing.load())
            return Wait::Closed;
        const DWORD ms = MsLeft(deadline);
        if (ms == 0)
            return Wait::TimedOut;
        HANDLE handles[2] = {s->net, s->wake};
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms);
        if (r == WAIT_OBJECT_0 + 1 || r == WAIT_FAILED)
            return Wait::Closed;
        if (r == WAIT_OBJECT_0) {
            if (WSAEnumNetworkEvents(s->fd, s->net, ev) != 0)
                return Wait::Closed;
            if (ev->lNetworkEvents != 0)
                return Wait::Ready;
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
    if (getaddrinfo(host.c_str(), a.port.c_str(), &hints, &list) != 0) {
        *cause = "'" + a.host + "' is not a numeric address";
        return false;
    }
    *cause = "no address to connect to";
    bool connected = false;
    for (addrinfo *ai = list; ai && !connected; ai = ai->ai_next) {
        SOCKET fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd == INVALID_SOCKET) {
            *cause = Error("socket", WSAGetLastError());
            continue;
        }
        // Kept out of the host's child processes: a child holding a copy
        // would keep the device's one connection open after the host is gone.
        SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
        {
            std::lock_guard<std::mutex> lk(s->mu);
            s->fd = fd;
        }
        // Selected before connecting (this also makes the socket
        // non-blocking), so the completion cannot be missed.
        WSAEventSelect(fd, s->net, FD_CONNECT | FD_READ | FD_CLOSE);
        if (connect(fd, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) {
            connected = true;
            break;
        }
        int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            WSANETWORKEVENTS ev{};
            Wait w;
            while ((w = WaitFor(s, deadline, &ev)) == Wait::Ready && !(ev.lNetworkEvents & FD_CONNECT)) {
            }
            if (w == Wait::Ready && ev.iErrorCode[FD_CONNECT_BIT] == 0) {
                connected = true;
                break;
            }
            if (w != Wait::Ready) {
                *cause = GaveUp(w == Wait::Closed, "did not accept");
                break;
            }
            err = ev.iErrorCode[FD_CONNECT_BIT];
        }
        *cause = err == WSAECONNREFUSED ? "nothing listens there (connection refused)" : Error("connect", err);
        std::lock_guard<std::mutex> lk(s->mu);
        closesocket(fd);
        s->fd = INVALID_SOCKET;
    }
    freeaddrinfo(list);
    if (connected) {
        BOOL one = TRUE; // frames are small and answers are awaited: no coalescing delay
        setsockopt(s->fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    }
    return connected;
}

// Takes the device's first bytes: a device speaks as soon as it takes a host,
// and an endpoint that does not serve this host says so in one line (or just
// closes) instead.
bool TakeFirstBytes(Stream *s, Clock::time_point deadline, std::string *cause) {
    for (;;) {
        char buf[kRefusalLineMax];
        int n = recv(s->fd, buf, static_cast<int>(sizeof buf - s->first.size()), 0);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            WSANETWORKEVENTS ev{};
            const Wait w = WaitFor(s, deadline, &ev);
            if (w != Wait::Ready) {
                *cause = GaveUp(w == Wait::Closed, "sent nothing");
                return false;
            }
            continue; // FD_READ or FD_CLOSE: recv tells which
        }
        if (n == SOCKET_ERROR) {
            *cause = Error("recv", WSAGetLastError());
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
    char buf[4096]; // the most the host takes in one callback
    while (!s->closing.load()) {
        int n = recv(s->fd, buf, sizeof buf, 0);
        if (n > 0) {
            s->callback(0, reinterpret_cast<const uint8_t *>(buf), n, TALVO_TYPE_DATA, 0);
            continue;
        }
        if (!s->closing.load())
            s->callback(0, reinterpret_cast<const uint8_t *>(buf), 0, TALVO_TYPE_LINK_LOST, 0);
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
    if (s->fd != INVALID_SOCKET)
        closesocket(s->fd);
    if (s->net != WSA_INVALID_EVENT)
        WSACloseEvent(s->net);
    if (s->wake)
        CloseHandle(s->wake);
    delete s;
}

} // namespace

StreamPtr StreamCreate(TalvoReceiveCallback callback) {
    if (!callback || !StartWinsock())
        return nullptr;
    Stream *s = new Stream;
    s->callback = callback;
    s->net = WSACreateEvent();
    s->wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StreamPtr p(s, FreeStream);
    if (s->net == WSA_INVALID_EVENT || !s->wake)
        return nullptr;
    return p;
}

bool StreamConnect(const StreamPtr &s, const char *address, std::string *cause) {
    Address a;
    if (!s || !address || !ParseAddress(address, &a, cause))
        return false;
    if (a.isUnix) {
        *cause = "unix: addresses are not offered on this platform";
        return false;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kOpenTimeoutMs);
    if (!ConnectTcp(s.get(), a, deadline, cause) || !TakeFirstBytes(s.get(), deadline, cause))
        return false;
    // The reader blocks in recv; writes block up to their time-out.
    WSAEventSelect(s->fd, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(s->fd, FIONBIO, &blocking);
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
        // A blocking send waits at most what is left of the write's time.
        const DWORD limit = MsLeft(deadline);
        if (limit == 0 || s->closing.load())
            return false;
        setsockopt(s->fd, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);
        int chunk = n > 65536 ? 65536 : static_cast<int>(n);
        int w = send(s->fd, reinterpret_cast<const char *>(bytes), chunk, 0);
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
        SetEvent(s->wake);
        if (s->fd != INVALID_SOCKET)
            shutdown(s->fd, SD_BOTH);
        if (s->reader.joinable() && s->reader.get_id() != std::this_thread::get_id())
            reader = std::move(s->reader);
    }
    if (reader.joinable())
        reader.join();
}

} // namespace talvo
