// Stream to a device endpoint over Winsock (tcp: addresses; unix: is not
// offered on this platform).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "transport/stream.h"

namespace talvo {

struct Stream {
    SOCKET fd = INVALID_SOCKET;
    TalvoReceiveCallback callback = nullptr;
    std::atomic<bool> closing{false};
    bool selfDelete = false; // closed from inside its own callback: the reader frees it
    std::mutex writeMu;
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

SOCKET ConnectTcp(const std::string &hostPort) {
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size())
        return INVALID_SOCKET;
    std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0)
        return INVALID_SOCKET;
    SOCKET fd = INVALID_SOCKET;
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd == INVALID_SOCKET)
            continue;
        // Kept out of the host's child processes: a child holding a copy
        // would keep the device's one connection open after the host is gone.
        SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
        if (connect(fd, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0)
            break;
        closesocket(fd);
        fd = INVALID_SOCKET;
    }
    freeaddrinfo(list);
    if (fd != INVALID_SOCKET) {
        BOOL one = TRUE; // frames are small and answers are awaited: no coalescing delay
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    }
    return fd;
}

void ReadLoop(Stream *s) {
    char buf[4096]; // the most the host takes in one callback
    for (;;) {
        int n = recv(s->fd, buf, sizeof buf, 0);
        if (n > 0) {
            s->callback(0, reinterpret_cast<const uint8_t *>(buf), n, TALVO_TYPE_DATA, 0);
            if (s->selfDelete)
                break;
            continue;
        }
        if (!s->closing.load())
            s->callback(0, reinterpret_cast<const uint8_t *>(buf), 0, TALVO_TYPE_LINK_LOST, 0);
        break;
    }
    if (s->selfDelete)
        delete s;
}

} // namespace

Stream *StreamOpen(const char *address, TalvoReceiveCallback callback) {
    if (!address || !callback || !StartWinsock())
        return nullptr;
    std::string a(address);
    if (a.rfind("tcp:", 0) != 0)
        return nullptr;
    SOCKET fd = ConnectTcp(a.substr(4));
    if (fd == INVALID_SOCKET)
        return nullptr;
    // A device that takes no byte for as long as the host waits for an
    // answer is lost: the write fails (and the host resets the link) instead
    // of blocking the host's sender, and its close, for good.
    const DWORD limit = kSendTimeoutMs;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);
    Stream *s = new Stream;
    s->fd = fd;
    s->callback = callback;
    try {
        s->reader = std::thread(ReadLoop, s);
    } catch (const std::system_error &) { // no thread to be had: the open fails
        closesocket(fd);
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
        int chunk = n > 65536 ? 65536 : static_cast<int>(n);
        int w = send(s->fd, reinterpret_cast<const char *>(bytes), chunk, 0);
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
    shutdown(s->fd, SD_BOTH);
    if (s->reader.get_id() == std::this_thread::get_id()) {
        closesocket(s->fd);
        s->selfDelete = true;
        s->reader.detach();
        return;
    }
    s->reader.join();
    closesocket(s->fd);
    delete s;
}

} // namespace talvo
