// spphone-sim's host sink: answers go out in order, and a host that leaves
// them unread is dropped once the bound is reached.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "sim/sim.h"
#include "tools/spphone-sim/endpoint.h"

namespace {

// A status request (class 1 command 9) as the host writes it.
std::vector<uint8_t> StatusRequest(uint32_t seq) {
    std::vector<uint8_t> f(64, 0);
    const uint8_t head[] = {0x30, 0xFF, 1, 0, 9, 0, 3, 0, 1, 0, 1, 0};
    std::memcpy(f.data(), head, sizeof head);
    std::memcpy(&f[12], &seq, 4); // little-endian host
    return f;
}

// Reads until n bytes came or the stream ended; what came.
std::vector<uint8_t> ReadUpTo(int fd, size_t n) {
    std::vector<uint8_t> got;
    uint8_t buf[4096];
    while (got.size() < n) {
        ssize_t k = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (k <= 0)
            break;
        got.insert(got.end(), buf, buf + k);
    }
    return got;
}

struct HostSink : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        timeval limit{10, 0}; // a read that takes this long hangs
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ASSERT_TRUE(sim::ConnectSink(dev, simserver::HostSink(dev, fds[0])));
    }
    void TearDown() override {
        ::shutdown(fds[0], SHUT_RDWR);
        sim::DestroyDevice(dev);
        ::close(fds[0]);
        ::close(fds[1]);
    }
    sim::Device *dev = sim::CreateDevice();
    int fds[2] = {-1, -1};
};

TEST_F(HostSink, AnswersGoOutInOrderAndALinkReportClosesAfterThem) {
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        auto req = StatusRequest(seq);
        ASSERT_TRUE(sim::HostWrite(dev, req.data(), req.size()));
    }
    sim::DropLink(dev);
    std::vector<uint8_t> got = ReadUpTo(fds[1], 64 * 8);
    ASSERT_EQ(got.size(), 64u * 7) << "version notice, then an acknowledgement and a response per request, then the end";
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        EXPECT_EQ(got[64 * (2 * seq - 1) + 12], seq);
        EXPECT_EQ(got[64 * (2 * seq) + 12], seq);
    }
}

TEST_F(HostSink, AHostThatReadsNothingIsDroppedAtTheBound) {
    // Each request is answered with 128 bytes: the bound is passed long before
    // this many, even with the socket's own buffers.
    const uint32_t most = 4 * simserver::kHostUnreadLimit / 128;
    uint32_t seq = 0;
    while (sim::IsConnected(dev) && ++seq < most) {
        auto req = StatusRequest(seq);
        if (!sim::HostWrite(dev, req.data(), req.size()))
            break;
        if (seq % 1024 == 0)
            sim::WaitIdle(dev, std::chrono::seconds(10)); // the device keeps up, as with a real host's pace
    }
    ASSERT_TRUE(sim::WaitUntil(dev, [](const sim::Log &l) { return l.idle; }, std::chrono::seconds(10)));
    EXPECT_FALSE(sim::IsConnected(dev)) << "still connected after " << seq << " requests";
    const std::vector<uint8_t> got = ReadUpTo(fds[1], 8 * simserver::kHostUnreadLimit);
    EXPECT_LT(got.size(), 2 * simserver::kHostUnreadLimit) << "the connection ends after what the socket held";
}

} // namespace
