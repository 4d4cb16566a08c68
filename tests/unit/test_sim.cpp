// The simulated device's protocol engine and fault plan, driven with raw
// frames built here independently of the device's code.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/sim.h"
#ifdef SIM_TESTS_WITH_CONSOLE
#include "tools/spphone-sim/console.h"
#endif

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 5s;

uint16_t U16(const std::vector<uint8_t> &b, size_t o) { return static_cast<uint16_t>(b[o] | (b[o + 1] << 8)); }
uint32_t U32(const std::vector<uint8_t> &b, size_t o) {
    return static_cast<uint32_t>(U16(b, o)) | (static_cast<uint32_t>(U16(b, o + 2)) << 16);
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[o + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Frame {
    std::vector<uint8_t> b;
    uint16_t kind() const { return U16(b, 10); }
    uint32_t seq() const { return U32(b, 12); }
    uint32_t extra() const { return U32(b, 16); }
    uint8_t status() const { return b[20]; }
};

std::vector<uint8_t> Request(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}, uint32_t seq = 1,
                             uint16_t dst = 3, uint8_t version = 0x30, uint16_t kind = 1) {
    std::vector<uint8_t> f(std::max<size_t>(64, 20 + body.size()), 0);
    const uint16_t head[] = {cls, cmd, dst, 1, kind};
    f[0] = version;
    f[1] = 0xFF;
    for (size_t i = 0; i < std::size(head); ++i) {
        f[2 + 2 * i] = static_cast<uint8_t>(head[i]);
        f[3 + 2 * i] = static_cast<uint8_t>(head[i] >> 8);
    }
    Put32(f, 12, seq);
    Put32(f, 16, static_cast<uint32_t>(f.size() - 64));
    std::copy(body.begin(), body.end(), f.begin() + 20);
    return f;
}

// The host's side of the link: the frames cut from the data the device sends.
struct Host {
    std::mutex mu;
    std::vector<uint8_t> pending;
    std::vector<Frame> frames;

    void OnBytes(const uint8_t *data, int32_t count, int32_t type) {
        std::lock_guard<std::mutex> lk(mu);
        if (type == 0) {
            pending.insert(pending.end(), data, data + count);
            while (pending.size() >= 64 && pending.size() >= 64 + U32(pending, 16)) {
                const size_t len = 64 + U32(pending, 16);
                frames.push_back({std::vector<uint8_t>(pending.begin(), pending.begin() + len)});
                pending.erase(pending.begin(), pending.begin() + len);
            }
        }
    }
    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> lk(mu);
        return frames;
    }
    void Reset() {
        std::lock_guard<std::mutex> lk(mu);
        pending.clear();
        frames.clear();
    }
};

class SimDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        dev = sim::CreateDevice();
        ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
        ASSERT_TRUE(sim::WaitIdle(dev, kWait));
        host.Reset();
    }
    void TearDown() override { sim::DestroyDevice(dev); }
    bool Write(const std::vector<uint8_t> &bytes) { return sim::HostWrite(dev, bytes.data(), bytes.size()); }
    // Sends one request and returns everything it produced.
    std::vector<Frame> Ask(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}, uint16_t dst = 3) {
        EXPECT_TRUE(sim::WaitIdle(dev, kWait)); // nothing earlier may land in this answer
        host.Reset();
        EXPECT_TRUE(Write(Request(cls, cmd, body, ++seq, dst)));
        EXPECT_TRUE(sim::WaitIdle(dev, kWait));
        return host.Frames();
    }

    sim::Device *dev = nullptr;
    Host host;
    uint32_t seq = 100;
};

class Framing : public SimDevice {};
class Refusals : public SimDevice {};
class FaultRules : public SimDevice {};
class Connections : public SimDevice {};

// Frames come in chunks of any size, with garbage anywhere between them: the
// garbage is skipped and every frame behind it is answered. A header too long
// for any frame or not from the host starts no frame.
TEST_F(Framing, FramesAreCutFromAnyChunkingAndGarbage) {
    auto oversized = Request(1, 9, {}, 7), fromDevice = Request(1, 9, {}, 8);
    Put32(oversized, 16, 679);
    fromDevice[8] = 2;
    for (uint32_t seed : {0u, 1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> stream;
        std::vector<uint32_t> sent;
        for (uint32_t i = 0; i < 8; ++i) {
            size_t junk = seed == 0 ? 0 : rng() % 100;
            for (size_t k = 0; k < junk; ++k)
                stream.push_back(static_cast<uint8_t>(rng()));
            if (seed != 0 && i == seed) { // a header that must not start a frame
                const auto &bad = i % 2 ? oversized : fromDevice;
                stream.insert(stream.end(), bad.begin(), bad.end());
            }
            // Short and long frames (a 184-byte contact set) alike.
            auto f = i % 2 ? Request(1, 9, {}, seed * 100 + i)
                           : Request(4, 3, std::vector<uint8_t>(164, 200), seed * 100 + i);
            stream.insert(stream.end(), f.begin(), f.end());
            sent.push_back(seed * 100 + i);
        }
        host.Reset();
        sim::ClearLog(dev);
        for (size_t at = 0; at < stream.size();) {
            size_t n = std::min<size_t>(seed == 0 ? 1 : 1 + rng() % 300, stream.size() - at);
            ASSERT_TRUE(sim::HostWrite(dev, stream.data() + at, n));
            at += n;
        }
        ASSERT_TRUE(sim::WaitIdle(dev, kWait));
        std::vector<uint32_t> answered;
        for (const Frame &f : host.Frames())
            if (f.kind() == 3)
                answered.push_back(f.seq());
        EXPECT_EQ(answered, sent) << "seed " << seed;
        EXPECT_EQ(sim::GetLog(dev).frames.size(), sent.size()) << "seed " << seed;
        EXPECT_EQ(sim::GetCounters(dev).discardedBytes > 0, seed != 0);
    }
}

// Unknown commands and parameters outside the device's ranges are refused by
// the acknowledgement, get no response and change nothing.
TEST_F(Refusals, UnknownCommandsAndOutOfRangeParametersChangeNothing) {
    struct Row {
        uint16_t cls, cmd;
        std::vector<uint8_t> body;
    } rows[] = {{2, 12, {}},   {8, 1, {}},   {6, 7, {}},   {1, 4, {0}},        {1, 8, {3}},    {2, 17, {4}},
                {2, 19, {0}},  {2, 19, {9}}, {2, 8, {1}},  {2, 7, {2}},        {6, 11, {9}},   {3, 1, {11, 0, 1}},
                {7, 1, {2, 0}}, {4, 4, {101}}, {2, 2, {7}}, {4, 2, {0}},       {4, 2, {101}},  {5, 2, {101}}};
    const sim::DeviceState before = sim::Snapshot(dev);
    for (const Row &r : rows) {
        auto f = Ask(r.cls, r.cmd, r.body);
        ASSERT_EQ(f.size(), 1u) << r.cls << "/" << r.cmd;
        EXPECT_EQ(f[0].kind(), 2);
        EXPECT_NE(f[0].status(), 0) << r.cls << "/" << r.cmd;
    }
    const sim::DeviceState after = sim::Snapshot(dev);
    EXPECT_EQ(after.ringerVolume, before.ringerVolume);
    EXPECT_EQ(after.receiveVolume, before.receiveVolume);
    EXPECT_EQ(after.contactCount, before.contactCount);
}

// Patched bytes land where the rule says, the response grows to hold them up
// to the largest frame, and nothing goes before the status byte.
TEST_F(FaultRules, PatchesOverwriteTheResponse) {
    struct Row {
        uint32_t actions;
        size_t at;
        std::vector<uint8_t> patch;
        uint8_t status;
        size_t length;
        std::vector<std::pair<size_t, uint8_t>> bytes; // frame offset, value
    } rows[] = {
        {sim::kFail, 30, {7, 8}, 1, 64, {{21, 0}, {30, 7}, {31, 8}}},
        {0, 740, {1, 2, 3, 4}, 0, sim::kMaxFrameBytes, {{740, 1}, {741, 2}}},
        {0, 5, std::vector<uint8_t>(17, 9), 0, 64, {{0, 0x30}, {20, 0}, {21, 9}}},
        {sim::kAnswerAnyway, 21, {0xAA, 0xBB}, 0, 64, {{21, 0xAA}, {22, 0xBB}, {23, 0}}}, // for item 0, which is none
    };
    for (const Row &row : rows) {
        sim::FaultRule rule;
        rule.classId = 1;
        rule.commandId = 4;
        rule.actions = row.actions;
        rule.patchAt = row.at;
        rule.patch = row.patch;
        sim::AddFaultRule(dev, rule);
        auto f = Ask(1, 4, {static_cast<uint8_t>(row.actions == sim::kAnswerAnyway ? 0 : 3)});
        ASSERT_EQ(f.size(), 2u) << row.at;
        EXPECT_EQ(f[1].status(), row.status) << row.at;
        EXPECT_EQ(f[1].b.size(), row.length) << row.at;
        EXPECT_EQ(f[1].extra(), row.length - 64) << row.at;
        for (auto [at, v] : row.bytes)
            EXPECT_EQ(f[1].b[at], v) << "offset " << at << " of the rule at " << row.at;
    }
}

TEST_F(Connections, NoCallbackAfterDisconnectReturns) {
    std::atomic<int> oldCalls{0};
    ASSERT_TRUE(sim::ConnectSink(dev, [&](const uint8_t *, int32_t, int32_t) { ++oldCalls; }));
    for (int i = 0; i < 200; ++i)
        sim::SendRawBytes(dev, reinterpret_cast<const uint8_t *>("x"), 1);
    sim::Disconnect(dev);
    const int seen = oldCalls.load();
    EXPECT_FALSE(sim::IsConnected(dev));
    ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
    ASSERT_TRUE(Write(Request(1, 9)));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    EXPECT_EQ(host.Frames().size(), 3u) << "version notice, acknowledgement, response";
    EXPECT_EQ(oldCalls.load(), seen);
}

#ifdef SIM_TESTS_WITH_CONSOLE
class ConsoleFaults : public SimDevice {
  protected:
    simconsole::Reply Run(const std::string &line) {
        console.dev = dev;
        return simconsole::RunLine(console, line);
    }
    // What the device did with one request.
    std::string Outcome(uint16_t cls, uint16_t cmd, uint16_t dst = 3) {
        auto f = Ask(cls, cmd, {}, dst);
        if (f.empty() || f[0].kind() != 2)
            return "not acknowledged";
        if (f[0].status())
            return "refused";
        return f.size() > 1 && f[1].status() ? "failed" : "answered";
    }
    simconsole::Console console;
};

// A new rule goes behind what the earlier ones have left, and the list shows
// exactly that.
TEST_F(ConsoleFaults, NewLinesKeepWhatEarlierRulesHaveUsed) {
    for (const char *line : {"fault refuse class=1 cmd=9", "fault fail class=1 cmd=10 count=3", "fault opens 2"})
        ASSERT_TRUE(Run(line).ok) << line;
    EXPECT_EQ(Outcome(1, 9), "refused");
    EXPECT_EQ(Outcome(1, 10), "failed");
    EXPECT_FALSE(sim::ConnectSink(dev, [](const uint8_t *, int32_t, int32_t) {})) << "the first failing open";

    ASSERT_TRUE(Run("fault drop-ack class=5 skip=1").ok);
    EXPECT_EQ(Run("fault list").text, "ok 2 rules, 1 failing opens\n"
                                      "  fail class=1 cmd=10 dest=any skip=0 count=3 left=2\n"
                                      "  drop-ack class=5 cmd=any dest=any skip=1 count=1 left=1 after=1");
    EXPECT_EQ(Outcome(1, 9), "answered") << "a used rule is not armed again by a new line";
    ASSERT_TRUE(Run("fault opens 1").ok);
    EXPECT_EQ(Outcome(1, 9), "answered") << "nor by a new count of failing opens";
    EXPECT_EQ(Outcome(1, 10), "failed");
    EXPECT_EQ(Outcome(1, 10), "failed");
    EXPECT_EQ(Outcome(1, 10), "answered");
    EXPECT_EQ(Run("fault list").text, "ok 1 rules, 1 failing opens\n"
                                      "  drop-ack class=5 cmd=any dest=any skip=1 count=1 left=1 after=1");
    EXPECT_TRUE(Run("fault clear").ok);
    EXPECT_EQ(Run("fault list").text, "ok 0 rules, 0 failing opens");

    // A rule spares other destinations and lets its skip= matches pass first.
    ASSERT_TRUE(Run("fault refuse class=1 cmd=9 dest=3 skip=1").ok);
    EXPECT_EQ(Outcome(1, 9, 2), "answered");
    EXPECT_EQ(Outcome(1, 9), "answered");
    EXPECT_EQ(Outcome(1, 9), "refused");
}
#endif

} // namespace
