// libtalvo with each of its devices, loaded as the host loads it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "talvo.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 5s;

// The receive callback is a plain function: what it gets goes here.
struct Received {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<uint8_t> bytes;
    std::vector<int32_t> types;

    void Reset() {
        std::lock_guard<std::mutex> lk(mu);
        bytes.clear();
        types.clear();
    }
    size_t CountLocked(int32_t type) const { return static_cast<size_t>(std::count(types.begin(), types.end(), type)); }
    size_t Count(int32_t type) {
        std::lock_guard<std::mutex> lk(mu);
        return CountLocked(type);
    }
    bool Wait(const std::function<bool()> &done) { // done() runs under mu
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, kWait, done);
    }
} g_rx;

void TALVO_CALL OnReceive(uintptr_t, const uint8_t *data, int32_t count, int32_t type, uintptr_t) {
    std::lock_guard<std::mutex> lk(g_rx.mu);
    g_rx.types.push_back(type);
    if (type == TALVO_TYPE_DATA)
        g_rx.bytes.insert(g_rx.bytes.end(), data, data + count);
    g_rx.cv.notify_all();
}

// A status request (class 1 command 9) as the host writes it.
std::vector<uint8_t> StatusRequest(uint32_t seq) {
    std::vector<uint8_t> f(64, 0);
    const uint8_t head[] = {0x30, 0xFF, 1, 0, 9, 0, 3, 0, 1, 0, 1, 0};
    std::memcpy(f.data(), head, sizeof head);
    std::memcpy(&f[12], &seq, 4); // little-endian host
    return f;
}

struct TalvoLib {
    void *lib = dlopen(TALVO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    TalvoOpenFn open = reinterpret_cast<TalvoOpenFn>(lib ? dlsym(lib, "TransportOpen") : nullptr);
    TalvoWriteFn write = reinterpret_cast<TalvoWriteFn>(lib ? dlsym(lib, "TransportWrite") : nullptr);
    TalvoCloseFn close = reinterpret_cast<TalvoCloseFn>(lib ? dlsym(lib, "TransportClose") : nullptr);
};
TalvoLib &Lib() { static TalvoLib t; return t; }

std::string SocketPath(const char *what) {
    return "/tmp/talvo-test-" + std::string(what) + "-" + std::to_string(::getpid()) + ".sock";
}

// An endpoint listening with a backlog of one on a free loopback TCP port or
// at a Unix socket named after `name` (address: what TALVO_DEVICE says to
// reach it). It hands each host to act in turn (nothing, by default: a wedged
// device that keeps the first connection); accepted gives the first one.
struct Endpoint {
    int listenFd = -1;
    std::string address;
    std::promise<int> accepted;
    std::thread thread;

    Endpoint(bool tcp, const char *name, std::function<void(int)> act = {}) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        const std::string path = SocketPath(name);
        std::strncpy(un.sun_path, path.c_str(), sizeof un.sun_path - 1);
        sockaddr *addr = tcp ? reinterpret_cast<sockaddr *>(&in) : reinterpret_cast<sockaddr *>(&un);
        socklen_t len = tcp ? sizeof in : sizeof un;
        listenFd = ::socket(addr->sa_family, SOCK_STREAM, 0);
        if (!tcp)
            ::unlink(path.c_str());
        if (::bind(listenFd, addr, len) != 0 || ::getsockname(listenFd, addr, &len) != 0 || ::listen(listenFd, 1) != 0)
            ADD_FAILURE() << "cannot listen at " << (tcp ? "a loopback port" : path);
        address = tcp ? "tcp:127.0.0.1:" + std::to_string(ntohs(in.sin_port)) : "unix:" + path;
        thread = std::thread([this, act] {
            int c = ::accept(listenFd, nullptr, nullptr);
            if (c >= 0 && act)
                act(c);
            accepted.set_value(c);
            while (c >= 0 && act && (c = ::accept(listenFd, nullptr, nullptr)) >= 0)
                act(c);
        });
    }
    ~Endpoint() {
        ::shutdown(listenFd, SHUT_RDWR);
        thread.join();
        ::close(listenFd);
        if (address.rfind("unix:", 0) == 0)
            ::unlink(address.c_str() + 5);
    }
};

// A device served as the spphone-sim program serves it: raw frame bytes both
// ways until the host leaves or Kick drops it. Outlives its endpoint.
struct ServedDevice {
    sim::Device *dev = sim::CreateDevice();
    std::atomic<int> client{-1};

    std::function<void(int)> Act() {
        return [this](int c) {
            client = c;
            sim::ConnectSink(dev, [c](const uint8_t *d, int32_t n, int32_t type) {
                if (type == TALVO_TYPE_DATA)
                    ::send(c, d, static_cast<size_t>(n), MSG_NOSIGNAL);
                else
                    ::shutdown(c, SHUT_RDWR);
            });
            uint8_t buf[1024];
            ssize_t n;
            while ((n = ::recv(c, buf, sizeof buf, 0)) > 0)
                sim::HostWrite(dev, buf, static_cast<size_t>(n));
            sim::Disconnect(dev);
            client = -1;
            ::close(c);
        };
    }
    void Kick() {
        if (int c = client.load(); c >= 0)
            ::shutdown(c, SHUT_RDWR);
    }
    ~ServedDevice() { sim::DestroyDevice(dev); }
};

class Talvo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Lib().open && Lib().write && Lib().close) << dlerror();
        g_rx.Reset();
    }
    void TearDown() override {
        ::unsetenv("TALVO_DEVICE");
        ::unsetenv("TALVO_VERBOSE");
    }
    // Opens, answers one request, and returns the open handle.
    uint32_t RoundTrip() {
        g_rx.Reset();
        uint32_t handle = 0;
        EXPECT_EQ(Lib().open(OnReceive, &handle), 0);
        auto req = StatusRequest(77);
        EXPECT_EQ(Lib().write(handle, req.data(), 64), 0);
        if (!g_rx.Wait([] { return g_rx.bytes.size() >= 3 * 64; })) { // version notice, acknowledgement, response
            ADD_FAILURE() << "no answer";
            return handle;
        }
        std::lock_guard<std::mutex> lk(g_rx.mu);
        EXPECT_EQ(g_rx.bytes[128 + 10], 3) << "a response";
        EXPECT_EQ(g_rx.bytes[128 + 12], 77);
        return handle;
    }
};

TEST_F(Talvo, ExportsOnlyTheThreeOperations) {
    EXPECT_EQ(dlsym(Lib().lib, "_ZN3sim12CreateDeviceERKNS_12DeviceConfigE"), nullptr);
    EXPECT_EQ(dlsym(Lib().lib, "_ZN3sim9HostWriteEPNS_6DeviceEPKhm"), nullptr);
    EXPECT_EQ(dlsym(Lib().lib, "SimTransportOpen"), nullptr);
}

// An empty TALVO_DEVICE, as an unset one, means the in-process device.
TEST_F(Talvo, RefusesBadArgumentsAndClosedHandles) {
    ::setenv("TALVO_DEVICE", "", 1);
    uint32_t handle = 0;
    EXPECT_NE(Lib().open(nullptr, &handle), 0);
    EXPECT_NE(Lib().open(OnReceive, nullptr), 0);
    handle = RoundTrip();
    const auto req = StatusRequest(1);
    for (auto [h, data] : {std::pair{0u, req.data()}, {handle + 1, req.data()}, {handle, nullptr}})
        EXPECT_NE(Lib().write(h, data, 64), 0);
    EXPECT_EQ(Lib().close(handle), 0);
    EXPECT_NE(Lib().write(handle, req.data(), 64), 0);
}

// The descriptors of this process connected to the socket listenFd listens on.
std::vector<int> DescriptorsConnectedTo(int listenFd) {
    sockaddr_storage want{};
    socklen_t wantLen = sizeof want;
    ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&want), &wantLen);
    std::vector<int> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0 && len == wantLen &&
            std::memcmp(&peer, &want, len) == 0)
            fds.push_back(fd);
    }
    return fds;
}

// A stream to a device program (Unix socket or loopback TCP): not inherited
// by child processes; the loss is reported once, a close is no loss, and the
// next open reconnects.
TEST_F(Talvo, StreamIsNotInheritedReportsLossOnceAndReconnects) {
    for (bool tcp : {false, true}) {
        ServedDevice served;
        Endpoint server(tcp, "stream", served.Act());
        ::setenv("TALVO_DEVICE", server.address.c_str(), 1);
        uint32_t handle = RoundTrip();
        std::vector<int> fds = DescriptorsConnectedTo(server.listenFd);
        ASSERT_EQ(fds.size(), 1u) << server.address;
        EXPECT_NE(::fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0) << "inherited by child processes: " << server.address;

        served.Kick();
        ASSERT_TRUE(g_rx.Wait([] { return g_rx.CountLocked(TALVO_TYPE_LINK_LOST) > 0; })) << server.address;
        auto req = StatusRequest(2);
        if (!tcp) { // a TCP socket may still take a write after the peer's close
            EXPECT_NE(Lib().write(handle, req.data(), 64), 0) << "the stream is gone";
        }
        EXPECT_EQ(Lib().close(handle), 0);
        EXPECT_EQ(g_rx.Count(TALVO_TYPE_LINK_LOST), 1u);

        handle = RoundTrip();
        EXPECT_EQ(Lib().close(handle), 0);
        EXPECT_EQ(g_rx.Count(TALVO_TYPE_LINK_LOST), 0u) << "closing is not a loss";
    }
}

// Opens on another thread; the result once it returns (-1 if it hangs).
int32_t OpenWithin(uint32_t *handle) {
    auto open = std::async(std::launch::async, [handle] { return Lib().open(OnReceive, handle); });
    return open.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? open.get() : -1;
}

// A device that keeps the connection but reads nothing: once its buffers are
// full a write fails after the send time-out instead of blocking for good,
// and the close that follows returns.
TEST_F(Talvo, WriteToADeviceThatReadsNothingFailsInsteadOfBlocking) {
    Endpoint deaf(false, "deaf", [](int c) { ::send(c, "\x30", 1, MSG_NOSIGNAL); });
    ::setenv("TALVO_DEVICE", deaf.address.c_str(), 1);
    uint32_t handle = 0;
    ASSERT_EQ(Lib().open(OnReceive, &handle), 0);
    auto writes = std::async(std::launch::async, [&] {
        const std::vector<uint8_t> frame(742, 0x5A);
        for (int i = 0; i < 100000; ++i)
            if (int32_t rc = Lib().write(handle, frame.data(), static_cast<uint32_t>(frame.size())); rc != 0)
                return rc;
        return 0;
    });
    const bool ended = writes.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_EQ(Lib().close(handle), 0); // also releases a write that blocked
    ASSERT_TRUE(ended) << "a write blocked for good";
    EXPECT_EQ(writes.get(), 3);
    ::close(deaf.accepted.get_future().get());
}

// An endpoint that does not serve this host fails the open by itself: one
// that refuses it or closes at once fails it at once, one that accepts and
// never speaks (stopped or wedged) after a wait. With TALVO_VERBOSE=1 the
// cause is told once however often the host retries.
TEST_F(Talvo, OpenOfAnEndpointThatDoesNotServeGivesUpAndTellsWhyOnce) {
    ::setenv("TALVO_VERBOSE", "1", 1);
    const struct {
        bool tcp;
        std::function<void(int)> act; // none: keeps the connection and says nothing
        const char *cause;
        int attempts;
    } endpoints[] = {
        {false, {}, "sent nothing", 1},
        {true, {}, "sent nothing", 1},
        {true,
         [](int c) {
             const char line[] = "refused: another host is connected\n";
             ::send(c, line, sizeof line - 1, MSG_NOSIGNAL);
             ::close(c);
         },
         "refused this host: another host is connected", 3},
        {true, [](int c) { ::close(c); }, "closed the connection at once", 3},
    };
    for (const auto &e : endpoints) {
        Endpoint endpoint(e.tcp, "refusing", e.act);
        ::setenv("TALVO_DEVICE", endpoint.address.c_str(), 1);
        testing::internal::CaptureStderr();
        for (int attempt = 0; attempt < e.attempts; ++attempt) {
            uint32_t handle = 0;
            EXPECT_EQ(OpenWithin(&handle), 3) << e.cause;
        }
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_NE(told.find(e.cause), std::string::npos) << told;
        EXPECT_EQ(told.find("talvo: "), told.rfind("talvo: ")) << "told more than once: " << told;
        if (!e.act)
            ::close(endpoint.accepted.get_future().get());
    }
}

TEST_F(Talvo, OpenFailsAtOnceWhenMalformedOrNothingListens) {
    for (const std::string &address :
         {"unix:" + SocketPath("missing"), "unix:" + std::string(200, 'x'), std::string("unix:"), std::string("bogus"),
          std::string("tcp:127.0.0.1"), std::string("tcp:127.0.0.1:notaport"), std::string("tcp:127.0.0.1:99999"),
          std::string("tcp:127.0.0.1:0"), std::string("tcp::5000"), std::string("tcp:not.a.number:5000")}) {
        ::setenv("TALVO_DEVICE", address.c_str(), 1);
        uint32_t handle = 0;
        EXPECT_EQ(OpenWithin(&handle), 3) << address;
    }
}

} // namespace
