// The simulated device, driven through its interface and raw frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
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
void Put16(std::vector<uint8_t> &b, size_t o, uint16_t v) {
    b[o] = static_cast<uint8_t>(v);
    b[o + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
    Put16(b, o, static_cast<uint16_t>(v));
    Put16(b, o + 2, static_cast<uint16_t>(v >> 16));
}

struct Frame {
    std::vector<uint8_t> b;
    uint8_t version() const { return b[0]; }
    uint16_t cls() const { return U16(b, 2); }
    uint16_t cmd() const { return U16(b, 4); }
    uint16_t dst() const { return U16(b, 6); }
    uint16_t src() const { return U16(b, 8); }
    uint16_t kind() const { return U16(b, 10); }
    uint32_t seq() const { return U32(b, 12); }
    uint32_t extra() const { return U32(b, 16); }
    uint8_t status() const { return b[20]; }
    bool IsNote(uint16_t event) const { return kind() == 0 && cls() == 16 && cmd() == event; }
};

// A host request frame, built here independently of the device's code.
std::vector<uint8_t> Request(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}, uint32_t seq = 1,
                             uint16_t dst = 3, uint8_t version = 0x30, uint16_t kind = 1) {
    std::vector<uint8_t> f(std::max<size_t>(64, 20 + body.size()), 0);
    f[0] = version;
    f[1] = 0xFF;
    Put16(f, 2, cls);
    Put16(f, 4, cmd);
    Put16(f, 6, dst);
    Put16(f, 8, 1);
    Put16(f, 10, kind);
    Put32(f, 12, seq);
    Put32(f, 16, static_cast<uint32_t>(f.size() - 64));
    std::copy(body.begin(), body.end(), f.begin() + 20);
    return f;
}

// The host's side of the link: every chunk as delivered, and the frames cut
// from the data chunks.
struct Host {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<int32_t> types;
    std::vector<uint8_t> pending;
    std::vector<Frame> frames;

    void OnBytes(const uint8_t *data, int32_t count, int32_t type) {
        std::lock_guard<std::mutex> lk(mu);
        types.push_back(type);
        chunks.emplace_back(data, data + (type == 0 ? count : 0));
        if (type == 0) {
            pending.insert(pending.end(), data, data + count);
            while (pending.size() >= 64) {
                size_t len = 64 + U32(pending, 16);
                if (len > sim::kMaxFrameBytes) { // not a frame start: keep it for the chunk checks only
                    pending.clear();
                    break;
                }
                if (pending.size() < len)
                    break;
                frames.push_back({std::vector<uint8_t>(pending.begin(), pending.begin() + len)});
                pending.erase(pending.begin(), pending.begin() + len);
            }
        }
        cv.notify_all();
    }
    bool WaitFrames(size_t n) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, kWait, [&] { return frames.size() >= n; });
    }
    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> lk(mu);
        return frames;
    }
    void Reset() {
        std::lock_guard<std::mutex> lk(mu);
        chunks.clear();
        types.clear();
        pending.clear();
        frames.clear();
    }
};

std::vector<uint16_t> Events(const std::vector<Frame> &f) {
    std::vector<uint16_t> out;
    for (const Frame &x : f)
        if (x.kind() == 0)
            out.push_back(x.cmd());
    return out;
}

class SimTest : public ::testing::Test {
protected:
    void Start(const sim::DeviceConfig &cfg = {}) {
        dev = sim::CreateDevice(cfg);
        ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
        ASSERT_TRUE(sim::WaitIdle(dev, kWait));
        host.Reset();
    }
    void TearDown() override {
        if (dev)
            sim::DestroyDevice(dev);
    }
    bool Write(const std::vector<uint8_t> &bytes) { return sim::HostWrite(dev, bytes.data(), bytes.size()); }
    // Sends one request and returns everything it produced.
    std::vector<Frame> Ask(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}, uint16_t dst = 3,
                           uint8_t version = 0x30) {
        EXPECT_TRUE(sim::WaitIdle(dev, kWait)); // nothing earlier may land in this answer
        host.Reset();
        EXPECT_TRUE(Write(Request(cls, cmd, body, ++seq, dst, version)));
        EXPECT_TRUE(sim::WaitIdle(dev, kWait));
        return host.Frames();
    }
    // The response of a request that must succeed.
    Frame Response(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}) {
        auto f = Ask(cls, cmd, body);
        EXPECT_GE(f.size(), 2u);
        if (f.size() < 2)
            return {std::vector<uint8_t>(64, 0xFF)};
        EXPECT_EQ(f[0].kind(), 2);
        EXPECT_EQ(f[0].status(), 0);
        EXPECT_EQ(f[1].kind(), 3);
        EXPECT_EQ(f[1].status(), 0);
        return f[1];
    }
    std::vector<Frame> Notes(const std::vector<Frame> &f) {
        std::vector<Frame> out;
        for (const Frame &x : f)
            if (x.kind() == 0)
                out.push_back(x);
        return out;
    }
    void AddRule(const sim::FaultRule &r) { sim::AddFaultRule(dev, r); }

    sim::Device *dev = nullptr;
    Host host;
    uint32_t seq = 100;
};

// ---- answers -------------------------------------------------------------

TEST_F(SimTest, AnswerCarriesSequenceAddressesAndDeviceVersion) {
    sim::DeviceConfig cfg;
    cfg.protocolVersion = 0x21;
    Start(cfg);
    for (uint16_t dst : {2, 3}) {
        for (uint8_t version : {0x21, 0x10}) {
            auto f = Ask(5, 1, {}, dst, version);
            ASSERT_EQ(f.size(), 2u);
            for (size_t i = 0; i < 2; ++i) {
                EXPECT_EQ(f[i].kind(), i == 0 ? 2 : 3);
                EXPECT_EQ(f[i].seq(), seq);
                EXPECT_EQ(f[i].dst(), 1);
                EXPECT_EQ(f[i].src(), dst);
                EXPECT_EQ(f[i].version(), 0x21) << "answers carry the device's own version";
                EXPECT_EQ(f[i].cls(), 5);
                EXPECT_EQ(f[i].cmd(), 1);
                EXPECT_EQ(f[i].status(), 0);
                EXPECT_EQ(f[i].b.size(), 64 + f[i].extra());
            }
        }
    }
}

TEST_F(SimTest, UnknownCommandsAndBadParametersAreRefused) {
    Start();
    struct Row {
        uint16_t cls, cmd;
        std::vector<uint8_t> body;
    } rows[] = {{2, 12, {}},   {8, 1, {}},       {6, 7, {}},     {1, 4, {0}},    {1, 4, {8}},   {1, 8, {3}},
                {2, 17, {4}},  {2, 19, {0}},     {2, 19, {9}},   {2, 8, {1}},    {2, 7, {2}},   {6, 11, {9}},
                {3, 1, {11, 0, 1}}, {7, 1, {2, 0}}, {7, 2, {2, 0}}, {4, 4, {101}}, {5, 3, {0}},
                // numbers outside what the device numbers: call ids 1..6, contacts and recordings 1..100
                {2, 2, {7}},   {4, 2, {0}},      {4, 2, {101}},  {5, 2, {0}},    {5, 2, {101}}};
    sim::DeviceState before = sim::Snapshot(dev);
    for (const Row &r : rows) {
        auto f = Ask(r.cls, r.cmd, r.body);
        ASSERT_EQ(f.size(), 1u) << r.cls << "/" << r.cmd << ": a refusal has no response";
        EXPECT_EQ(f[0].kind(), 2);
        EXPECT_NE(f[0].status(), 0) << r.cls << "/" << r.cmd;
    }
    sim::DeviceState after = sim::Snapshot(dev);
    EXPECT_EQ(after.ringerVolume, before.ringerVolume);
    EXPECT_EQ(after.receiveVolume, before.receiveVolume);
    EXPECT_EQ(after.contactCount, before.contactCount);
}

// Numbers in range that name nothing the device holds now are taken and
// fail; the ones that do are answered, and ending a call ends that call only.
TEST_F(SimTest, RequestsForWhatTheDeviceDoesNotHoldFail) {
    Start(); // 5 contacts, 3 recordings
    const uint8_t first = sim::Ring(dev, "100");
    const uint8_t second = sim::Ring(dev, "200");
    ASSERT_TRUE(sim::FarEndHangUp(dev, first));
    struct Row {
        uint16_t cls, cmd;
        uint8_t number;
        bool ok;
    } rows[] = {{4, 2, 5, true}, {4, 2, 6, false},  {4, 2, 99, false}, {4, 2, 100, false}, {5, 2, 3, true},
                {5, 2, 4, false}, {5, 2, 100, false}, {2, 20, second, true}, {2, 2, first, false}};
    for (const Row &r : rows) {
        auto f = Ask(r.cls, r.cmd, {r.number});
        ASSERT_GE(f.size(), 2u) << r.cls << "/" << r.cmd << " " << int(r.number);
        EXPECT_EQ(f[0].status(), 0) << "taken";
        EXPECT_EQ(f[1].status() == 0, r.ok) << r.cls << "/" << r.cmd << " " << int(r.number);
    }
    EXPECT_TRUE(sim::Snapshot(dev).calls[1].live) << "ending call " << int(first) << " left call " << int(second);

    ASSERT_NE(sim::Ring(dev, "300"), 0);
    auto f = Ask(2, 2, {second});
    EXPECT_EQ(Events(f), std::vector<uint16_t>{0x020F});
    EXPECT_EQ(f.back().b[20], second);
    int live = 0;
    for (const sim::Call &c : sim::Snapshot(dev).calls)
        live += c.live && c.id != second;
    EXPECT_EQ(live, 1) << "the other call is still up";
}

// Frames come in chunks of any size, with garbage anywhere between them: the
// garbage is skipped and every frame behind it is answered.
TEST_F(SimTest, FramesAreCutFromAnyChunkingAndGarbage) {
    Start();
    for (uint32_t seed : {0u, 1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> stream;
        std::vector<uint32_t> sent;
        for (uint32_t i = 0; i < 8; ++i) {
            size_t junk = seed == 0 ? 0 : rng() % 100;
            for (size_t k = 0; k < junk; ++k)
                stream.push_back(static_cast<uint8_t>(rng()));
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
        EXPECT_EQ(sim::GetCounters(dev).discardedBytes > 0, seed != 0);
    }
}

TEST_F(SimTest, OversizedOrForeignHeadersAreNotFrameStarts) {
    Start();
    auto big = Request(1, 9, {}, 7);
    Put32(big, 16, 679); // longer than any frame
    auto fromDevice = Request(1, 9, {}, 8);
    Put16(fromDevice, 8, 2); // source 2: not a host frame
    auto good = Request(1, 9, {}, 9);
    std::vector<uint8_t> stream = big;
    stream.insert(stream.end(), fromDevice.begin(), fromDevice.end());
    stream.insert(stream.end(), good.begin(), good.end());
    ASSERT_TRUE(Write(stream));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    auto log = sim::GetLog(dev);
    ASSERT_EQ(log.frames.size(), 1u);
    EXPECT_EQ(log.frames[0].sequence, 9u);
}

TEST_F(SimTest, KeepAliveIsCountedAndNotAnswered) {
    Start();
    ASSERT_TRUE(Write(Request(0, 1, {}, 1, 2, 0x30, 0)));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    EXPECT_TRUE(host.Frames().empty());
    EXPECT_EQ(sim::GetCounters(dev).keepAlives, 1u);
}

TEST_F(SimTest, WriteWithoutLinkFails) {
    dev = sim::CreateDevice();
    auto f = Request(1, 9);
    EXPECT_FALSE(sim::HostWrite(dev, f.data(), f.size()));
    EXPECT_EQ(sim::GetCounters(dev).failedWrites, 1u);
    EXPECT_EQ(sim::GetCounters(dev).hostFrames, 0u);
}

// ---- protocol version ----------------------------------------------------

TEST_F(SimTest, OlderDeviceReportsItsVersionInsteadOfAnswering) {
    sim::DeviceConfig cfg;
    cfg.protocolVersion = 0x12;
    dev = sim::CreateDevice(cfg);
    ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
    ASSERT_TRUE(host.WaitFrames(1));
    Frame hello = host.Frames()[0];
    EXPECT_TRUE(hello.IsNote(sim::kEventVersionNotice)) << "connecting announces the version";
    EXPECT_EQ(hello.version(), 0x12);
    EXPECT_EQ(hello.b[20], 0x12);

    for (uint8_t v : {0x30, 0x21, 0x20}) {
        auto f = Ask(1, 9, {}, 2, v);
        ASSERT_EQ(f.size(), 1u) << "no acknowledgement and no response for version " << int(v);
        EXPECT_TRUE(f[0].IsNote(sim::kEventVersionNotice));
        EXPECT_EQ(f[0].version(), 0x12);
        EXPECT_EQ(f[0].dst(), 1);
        EXPECT_EQ(f[0].src(), 2);
    }
    for (uint8_t v : {0x12, 0x10}) {
        auto f = Ask(1, 9, {}, 2, v);
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(f[1].version(), 0x12);
    }
}

// ---- faults --------------------------------------------------------------

TEST_F(SimTest, RefuseAndFailLeaveTheStateAlone) {
    Start();
    sim::FaultRule refuse;
    refuse.actions = sim::kRefuse;
    refuse.refuseStatus = 7;
    AddRule(refuse);
    auto f = Ask(2, 17, {3});
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].kind(), 2);
    EXPECT_EQ(f[0].status(), 7);

    sim::FaultRule fail;
    fail.actions = sim::kFail;
    fail.failStatus = 5;
    AddRule(fail);
    f = Ask(2, 17, {3});
    ASSERT_EQ(f.size(), 2u) << "no volume notification for a failed set";
    EXPECT_EQ(f[0].status(), 0);
    EXPECT_EQ(f[1].kind(), 3);
    EXPECT_EQ(f[1].status(), 5);
    EXPECT_EQ(sim::Snapshot(dev).ringerVolume, 2);

    f = Ask(2, 17, {3}); // the rules were for one request each
    ASSERT_EQ(f.size(), 3u);
    EXPECT_TRUE(f[2].IsNote(0x0107));
    EXPECT_EQ(sim::Snapshot(dev).ringerVolume, 3);
}

TEST_F(SimTest, DroppedFramesAndForgedHeaders) {
    Start();
    struct Row {
        uint32_t actions;
        std::vector<uint16_t> kinds; // answer kinds in order
    } rows[] = {
        {sim::kDropAck, {3}},
        {sim::kDropResponse, {2}},
        {sim::kNoAnswer, {}},
        {sim::kDuplicate, {2, 3, 2, 3}},
    };
    for (const Row &r : rows) {
        sim::FaultRule rule;
        rule.actions = r.actions;
        AddRule(rule);
        std::vector<uint16_t> kinds;
        for (const Frame &f : Ask(5, 1))
            kinds.push_back(f.kind());
        EXPECT_EQ(kinds, r.kinds) << "actions " << r.actions;
    }

    // A lost response does not undo what the device did.
    sim::FaultRule lost;
    lost.actions = sim::kDropResponse;
    AddRule(lost);
    auto f = Ask(2, 19, {7});
    ASSERT_EQ(f.size(), 2u);
    EXPECT_TRUE(f[1].IsNote(0x0108));
    EXPECT_EQ(sim::Snapshot(dev).receiveVolume, 7);

    sim::FaultRule wrong;
    wrong.actions = sim::kWrongSequence | sim::kWrongVersion;
    wrong.sequenceOffset = 5;
    AddRule(wrong);
    f = Ask(5, 1, {}, 3, 0x21);
    ASSERT_EQ(f.size(), 2u);
    for (const Frame &x : f) {
        EXPECT_EQ(x.seq(), seq + 5);
        EXPECT_EQ(x.version(), 0x22) << "one above the request's version";
    }
}

TEST_F(SimTest, DelayedAnswerComesAfterLaterOnes) {
    Start();
    sim::FaultRule rule;
    rule.classId = 5;
    rule.actions = sim::kDelay;
    rule.delayMs = 300;
    AddRule(rule);
    ASSERT_TRUE(Write(Request(5, 1, {}, 1)));
    ASSERT_TRUE(Write(Request(1, 9, {}, 2)));
    ASSERT_TRUE(host.WaitFrames(2));
    auto early = host.Frames();
    EXPECT_EQ(early[0].seq(), 2u);
    EXPECT_EQ(early[1].seq(), 2u);
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    auto all = host.Frames();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[2].seq(), 1u);
    EXPECT_EQ(all[3].seq(), 1u);
}

TEST_F(SimTest, ChunkShapingFaults) {
    Start();
    const auto pick = [&](uint32_t actions, size_t chunkSize = 1) {
        sim::FaultRule rule;
        rule.actions = actions;
        rule.chunkSize = chunkSize;
        rule.garbageBytes = 10;
        AddRule(rule);
        host.Reset();
        EXPECT_TRUE(Write(Request(1, 9, {}, ++seq)));
        EXPECT_TRUE(sim::WaitIdle(dev, kWait));
        std::lock_guard<std::mutex> lk(host.mu);
        return host.chunks;
    };
    auto chunks = pick(0);
    ASSERT_EQ(chunks.size(), 2u) << "each frame its own chunk by default";

    chunks = pick(sim::kMerge);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].size(), 128u);

    chunks = pick(sim::kSplit, 5);
    size_t total = 0;
    for (const auto &c : chunks) {
        EXPECT_LE(c.size(), 5u);
        total += c.size();
    }
    EXPECT_EQ(total, 128u);
    EXPECT_EQ(host.Frames().size(), 2u) << "split frames still join up";

    chunks = pick(sim::kGarbageBefore | sim::kGarbageAfter);
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[0], std::vector<uint8_t>(10, 0xEE));
    EXPECT_EQ(chunks[3], std::vector<uint8_t>(10, 0xEE));
    EXPECT_EQ(chunks[1].size(), 64u);
}

TEST_F(SimTest, LinkReportInsteadOfAnswer) {
    Start();
    sim::FaultRule rule;
    rule.actions = sim::kReportLink;
    rule.linkType = 6;
    AddRule(rule);
    Ask(2, 17, {0});
    std::lock_guard<std::mutex> lk(host.mu);
    EXPECT_EQ(host.types, std::vector<int32_t>{6});
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(sim::Snapshot(dev).ringerVolume, 2) << "a request not answered is not carried out";
}

TEST_F(SimTest, FailedWriteAndFailedOpens) {
    Start();
    sim::FaultRule rule;
    rule.actions = sim::kFailWrite;
    AddRule(rule);
    auto f = Request(1, 9, {}, 1);
    EXPECT_FALSE(Write(f));
    EXPECT_EQ(sim::GetCounters(dev).hostFrames, 0u) << "the refused frame was not taken";
    EXPECT_TRUE(Write(f));
    EXPECT_TRUE(sim::WaitForFrames(dev, 1, kWait));

    sim::FaultPlan plan;
    plan.failOpens = 2;
    sim::SetFaultPlan(dev, plan);
    auto sink = [](const uint8_t *, int32_t, int32_t) {};
    EXPECT_FALSE(sim::ConnectSink(dev, sink));
    EXPECT_FALSE(sim::ConnectSink(dev, sink));
    EXPECT_TRUE(sim::ConnectSink(dev, sink));
}

TEST_F(SimTest, NotReadyStatusAnswer) {
    Start();
    sim::FaultRule rule;
    rule.actions = sim::kNotReady;
    rule.notReadyStatus = 13;
    AddRule(rule);
    EXPECT_EQ(Response(1, 9).b[21], 13);
    EXPECT_EQ(Response(1, 9).b[21], 2) << "one request only; the device's status is unchanged";
}

// What the device would refuse or fail is answered, with the answer's bytes
// as the rule gives them; nothing refused is carried out.
TEST_F(SimTest, AnswerAnywayAndPatchedAnswers) {
    Start();
    sim::FaultRule anyway;
    anyway.classId = 7;
    anyway.commandId = 2;
    anyway.actions = sim::kAnswerAnyway;
    anyway.patch = {0xAA, 0xBB};
    AddRule(anyway);
    Frame r = Response(7, 2, {2, 0});
    EXPECT_EQ(r.b.size(), 64u);
    EXPECT_EQ(r.b[21], 0xAA);
    EXPECT_EQ(r.b[22], 0xBB);
    EXPECT_EQ(r.b[23], 0);
    EXPECT_EQ(Ask(7, 2, {2, 0}).size(), 1u) << "one request only";

    anyway.classId = 2;
    anyway.commandId = 17;
    anyway.patch.clear();
    AddRule(anyway);
    auto f = Ask(2, 17, {9});
    ASSERT_EQ(f.size(), 2u) << "answered, and no volume report";
    EXPECT_EQ(f[1].status(), 0);
    EXPECT_EQ(sim::Snapshot(dev).ringerVolume, 2);

    struct Row {
        uint32_t actions;
        size_t at;
        std::vector<uint8_t> patch;
        uint8_t status;
        size_t length;
        std::vector<std::pair<size_t, uint8_t>> bytes; // frame offset, value
    } rows[] = {
        {0, 21, {4}, 0, 64, {{21, 4}, {22, 0xC0}, {25, 0x01}}}, // item 3's value under another echo
        {sim::kFail, 30, {7, 8}, 1, 64, {{21, 0}, {30, 7}, {31, 8}}},
        {0, 740, {1, 2, 3, 4}, 0, sim::kMaxFrameBytes, {{740, 1}, {741, 2}}},
        {0, 5, {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}, 0, 64, {{0, 0x30}, {20, 0}, {21, 9}}},
    };
    for (const Row &row : rows) {
        sim::FaultRule rule;
        rule.classId = 1;
        rule.commandId = 4;
        rule.actions = row.actions;
        rule.patchAt = row.at;
        rule.patch = row.patch;
        AddRule(rule);
        f = Ask(1, 4, {3});
        ASSERT_EQ(f.size(), 2u) << row.at;
        EXPECT_EQ(f[1].status(), row.status) << row.at;
        EXPECT_EQ(f[1].b.size(), row.length) << row.at;
        EXPECT_EQ(f[1].extra(), row.length - 64) << row.at;
        for (auto [at, v] : row.bytes)
            EXPECT_EQ(f[1].b[at], v) << "offset " << at << " of the rule at " << row.at;
    }
}

TEST_F(SimTest, RulesMatchByCommandDestinationAndWindow) {
    Start();
    sim::FaultRule rule;
    rule.classId = 2;
    rule.commandId = 17;
    rule.destination = 3;
    rule.skip = 1;
    rule.count = 2;
    rule.actions = sim::kRefuse;
    AddRule(rule);
    const auto status = [&](uint16_t cls, uint16_t cmd, uint16_t dst) {
        auto f = Ask(cls, cmd, {1}, dst);
        return f.empty() ? -1 : f[0].status();
    };
    EXPECT_EQ(status(2, 19, 3), 0); // another command
    EXPECT_EQ(status(2, 17, 2), 0); // another destination
    EXPECT_EQ(status(2, 17, 3), 0); // skipped
    EXPECT_NE(status(2, 17, 3), 0);
    EXPECT_NE(status(2, 17, 3), 0);
    EXPECT_EQ(status(2, 17, 3), 0); // window over

    sim::FaultRule always;
    always.count = 0;
    always.actions = sim::kRefuse;
    sim::FaultPlan plan;
    plan.rules = {always};
    sim::SetFaultPlan(dev, plan);
    ASSERT_TRUE(Write(Request(0, 1, {}, 1, 2, 0x30, 0))); // keep-alives do not use up rules
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(status(1, 9, 2), 0);
    sim::ClearFaults(dev);
    EXPECT_EQ(status(1, 9, 2), 0);
}

TEST_F(SimTest, StartupItemsOutsideTheStoreAnswerNothing) {
    Start();
    for (uint16_t id : {11, 12, 13, 14, 15, 20, 21, 22, 23, 54, 72, 73, 74, 99, 0, 130}) {
        Frame r = Response(3, 2, {static_cast<uint8_t>(id), 0});
        EXPECT_EQ(r.b.size(), 64u);
        EXPECT_TRUE(std::all_of(r.b.begin() + 21, r.b.end(), [](uint8_t b) { return b == 0; })) << id;
    }
    auto f = Ask(3, 1, {131, 0});
    ASSERT_EQ(f.size(), 2u) << "an action item is carried out without a report";
}

TEST_F(SimTest, NoCallbackAfterDisconnectReturns) {
    Start();
    std::atomic<int> oldCalls{0};
    ASSERT_TRUE(sim::ConnectSink(dev, [&](const uint8_t *, int32_t, int32_t) { ++oldCalls; }));
    for (int i = 0; i < 200; ++i)
        sim::SendRawBytes(dev, reinterpret_cast<const uint8_t *>("x"), 1);
    sim::Disconnect(dev);
    int seen = oldCalls.load();
    EXPECT_FALSE(sim::IsConnected(dev));
    ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
    ASSERT_TRUE(Write(Request(1, 9)));
    ASSERT_TRUE(host.WaitFrames(3)); // version notice, ack, response
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    EXPECT_EQ(oldCalls.load(), seen);
}

TEST_F(SimTest, CallbackMayDisconnectOrDestroyItsDevice) {
    Start();
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    sim::Device *d = dev;
    ASSERT_TRUE(sim::ConnectSink(dev, [&, d](const uint8_t *, int32_t, int32_t type) {
        if (type == 6) {
            sim::Disconnect(d);
            sim::DestroyDevice(d);
            std::lock_guard<std::mutex> lk(mu);
            done = true;
            cv.notify_all();
        }
    }));
    dev = nullptr;
    sim::ReportLink(d, 6);
    std::unique_lock<std::mutex> lk(mu);
    EXPECT_TRUE(cv.wait_for(lk, kWait, [&] { return done; }));
}

TEST_F(SimTest, ConsoleOperationsNotify) {
    Start();
    sim::PressKey(dev, '1', 1);
    sim::SetRingerVolume(dev, 1);
    sim::SetReceiveVolume(dev, 3);
    sim::SetPlaybackVolume(dev, 5);
    uint8_t value[4] = {1, 2, 3, 4};
    EXPECT_TRUE(sim::ChangeItem(dev, 66, value, 4));
    EXPECT_FALSE(sim::ChangeItem(dev, 66, value, 3));
    EXPECT_FALSE(sim::ChangeItem(dev, 11, value, 4));
    uint8_t block[128] = {9};
    sim::SendRawData(dev, block);
    EXPECT_TRUE(sim::SendNotification(dev, 0x0123, nullptr, 0));
    sim::DropLink(dev);
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    auto f = host.Frames();
    EXPECT_EQ(Events(f), (std::vector<uint16_t>{0x0104, 0x0106, 0x0107, 0x0108, 0x0109, 0x0301, 0x0002, 0x0123}));
    EXPECT_EQ(f[5].b[22], 1);
    EXPECT_EQ(f[5].b[25], 4);
    {
        std::lock_guard<std::mutex> lk(host.mu);
        EXPECT_EQ(host.types.back(), 7);
    }
    EXPECT_EQ(Response(3, 3).b[21], 66);
}

#ifdef SIM_TESTS_WITH_CONSOLE
// ---- the spphone-sim console -------------------------------------------------

class ConsoleTest : public SimTest {
protected:
    void SetUp() override {
        Start();
        console.dev = dev;
    }
    simconsole::Reply Run(const std::string &line) { return simconsole::RunLine(console, line); }
    // What the device did with one request.
    std::string Outcome(uint16_t cls, uint16_t cmd) {
        auto f = Ask(cls, cmd);
        if (f.empty() || f[0].kind() != 2)
            return "not acknowledged";
        if (f[0].status())
            return "refused";
        return f.size() > 1 && f[1].status() ? "failed" : "answered";
    }
    simconsole::Console console;
};

TEST_F(ConsoleTest, WheelsAndCallIdsOutsideTheDevicesRangeAreRejected) {
    ASSERT_TRUE(sim::Ring(dev, "5551234"));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    host.Reset();
    const struct {
        const char *line, *says;
    } rows[] = {{"volume ringer 4", "ringer volume (0..3)"},     {"volume ringer 9", "ringer volume (0..3)"},
                {"volume receive 0", "receive volume (1..8)"},   {"volume receive 9", "receive volume (1..8)"},
                {"volume playback 0", "playback volume (1..8)"}, {"volume playback 9", "playback volume (1..8)"},
                {"hangup 7", "call id"},                         {"callstate 7 12", "call id"}};
    for (const auto &row : rows) {
        const simconsole::Reply r = Run(row.line);
        EXPECT_FALSE(r.ok) << row.line;
        EXPECT_NE(r.text.find(row.says), std::string::npos) << row.line << " -> " << r.text;
    }
    EXPECT_FALSE(sim::SetPlaybackVolume(dev, 0));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    EXPECT_TRUE(Events(host.Frames()).empty()) << "no volume reported";
    const sim::DeviceState st = sim::Snapshot(dev);
    EXPECT_EQ(st.ringerVolume, 2);
    EXPECT_EQ(st.receiveVolume, 4);
    EXPECT_EQ(st.playbackVolume, 4);
    EXPECT_TRUE(st.calls[0].live);
    EXPECT_TRUE(Run("volume ringer 0").ok);
    EXPECT_TRUE(Run("volume playback 8").ok);
}

// A new rule goes behind what the earlier ones have left, and the list shows
// exactly that.
TEST_F(ConsoleTest, NewFaultLinesKeepWhatEarlierRulesHaveUsed) {
    ASSERT_TRUE(Run("fault refuse class=1 cmd=9").ok);
    ASSERT_TRUE(Run("fault fail class=1 cmd=10 count=3").ok);
    ASSERT_TRUE(Run("fault opens 2").ok);
    EXPECT_EQ(Outcome(1, 9), "refused");
    EXPECT_EQ(Outcome(1, 10), "failed");
    auto sink = [](const uint8_t *, int32_t, int32_t) {};
    EXPECT_FALSE(sim::ConnectSink(dev, sink));

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

    ASSERT_TRUE(Run("fault answer-anyway class=7 cmd=2 count=0 at=21 patch=hex:0102").ok);
    EXPECT_NE(Run("fault list").text.find("answer-anyway class=7 cmd=2 dest=any skip=0 count=0 at=21 "
                                          "patch=hex:0102 left=every"),
              std::string::npos);
    for (const char *line : {"fault answer-anyway at=20", "fault answer-anyway patch=", "fault fail at=742"})
        EXPECT_FALSE(Run(line).ok) << line;
    EXPECT_TRUE(Run("fault clear").ok);
    EXPECT_EQ(Run("fault list").text, "ok 0 rules, 0 failing opens");
}
#endif

} // namespace
