// Network camera, operating mode, RTCP blocks and version, raw data blocks,
// against the simulated device; and the cache getters of the data services
// while another request waits for the device.
#include <array>
#include <atomic>
#include <thread>

#include "link/frame.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

// Application requests of (class, command) in a device log.
size_t CountIn(const sim::Log &log, int cls, int cmd) {
    size_t n = 0;
    for (const sim::HostFrame &f : log.frames)
        n += f.classId == cls && f.commandId == cmd && f.destination == 3;
    return n;
}

class DataServices : public SimLibraryTest {
  protected:
    void FailNext(int cls, int cmd, uint32_t actions) {
        sim::FaultRule rule;
        rule.classId = cls;
        rule.commandId = cmd;
        rule.actions = actions;
        sim::AddFaultRule(dev, rule);
    }
    size_t CountOf(int cls, int cmd) { return FramesOf(cls, cmd, 3).size(); }
    // Requests the device has received (keep-alives are not requests).
    size_t Requests() {
        size_t n = 0;
        for (const sim::HostFrame &f : Log().frames)
            n += f.kind == kKindRequest;
        return n;
    }
};

TEST_F(DataServices, CameraRecordGoesOutAsSeventeenByteTextsAndComesBack) {
    // Texts with bytes after their terminator, sent exactly as given.
    std::array<uint8_t, 17> t1, t2;
    for (size_t i = 0; i < 17; ++i) {
        t1[i] = static_cast<uint8_t>(0xA0 + i);
        t2[i] = static_cast<uint8_t>(0xB0 + i);
    }
    t1[3] = 0;
    t2[0] = 0;
    ASSERT_EQ(SetNwCameraInfo(0x01020304u, 0x0506, 0x07, t1.data(), t2.data(), 0x08090A0Bu, 0x0C0D), 1);
    const sim::HostFrame f = FramesOf(3, 4, 3).back();
    ASSERT_EQ(f.length, 67u);
    EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), 3u);
    EXPECT_EQ(Get32(f.bytes.data() + 20), 0x01020304u);
    EXPECT_EQ(Get16(f.bytes.data() + 24), 0x0506);
    EXPECT_EQ(f.bytes[26], 0x07);
    EXPECT_TRUE(std::equal(t1.begin(), t1.end(), f.bytes.begin() + 27));
    EXPECT_TRUE(std::equal(t2.begin(), t2.end(), f.bytes.begin() + 44));
    EXPECT_EQ(Get32(f.bytes.data() + 61), 0x08090A0Bu);
    EXPECT_EQ(Get16(f.bytes.data() + 65), 0x0C0D);

    uint32_t v1 = 0, v4 = 0;
    uint16_t v2 = 0, v5 = 0;
    uint8_t v3 = 0;
    std::array<uint8_t, 18> r1, r2;
    r1.fill(0xCC);
    r2.fill(0xCC);
    ASSERT_EQ(GetNwCameraInfo(&v1, &v2, &v3, r1.data(), r2.data(), &v4, &v5), 1);
    EXPECT_EQ(v1, 0x01020304u);
    EXPECT_EQ(v2, 0x0506);
    EXPECT_EQ(v3, 0x07);
    EXPECT_TRUE(std::equal(t1.begin(), t1.end(), r1.begin()));
    EXPECT_TRUE(std::equal(t2.begin(), t2.end(), r2.begin()));
    EXPECT_EQ(r1[17], 0xCC);
    EXPECT_EQ(r2[17], 0xCC);
    EXPECT_EQ(v4, 0x08090A0Bu);
    EXPECT_EQ(v5, 0x0C0D);

    // A failed read leaves all seven out-parameters alone.
    FailNext(3, 5, sim::kFail);
    uint32_t u1 = 1, u4 = 4;
    uint16_t u2 = 2, u5 = 5;
    uint8_t u3 = 3;
    r1.fill(0xCC);
    r2.fill(0xCC);
    EXPECT_EQ(GetNwCameraInfo(&u1, &u2, &u3, r1.data(), r2.data(), &u4, &u5), 0);
    EXPECT_EQ(u1 + u2 + u3 + u4 + u5, 15u);
    EXPECT_EQ(r1[0], 0xCC);
    EXPECT_EQ(r2[0], 0xCC);
}

class OperatingMode : public DataServices, public ::testing::WithParamInterface<std::pair<uint8_t, int>> {
  protected:
    void Configure(sim::DeviceConfig &) override { startInSetUp = false; }
};

TEST_P(OperatingMode, IsTheDevicesByteAsASignedValue) {
    const uint8_t device = GetParam().first;
    const int expected = GetParam().second;
    EXPECT_EQ(GetOpeMode(), -1) << "no library yet";
    sim::Update(dev, [&](sim::DeviceState &st) { st.operatingMode = device; });
    StartLibrary();
    EXPECT_EQ(GetOpeMode(), expected);
}

INSTANTIATE_TEST_SUITE_P(Bytes, OperatingMode,
                         ::testing::Values(std::make_pair(uint8_t{3}, 3), std::make_pair(uint8_t{0x7F}, 127),
                                           std::make_pair(uint8_t{0xFF}, -1), std::make_pair(uint8_t{0x80}, -128)));

TEST_F(DataServices, RtcpSendBlockOneOnly) {
    std::array<uint8_t, 84> block;
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(0xFF - i);
    for (uint16_t id : {0, 2, 3, 0xFFFF}) {
        const size_t before = CountOf(7, 1);
        EXPECT_EQ(SetRtcpSend(id, block.data()), 0) << id;
        EXPECT_EQ(CountOf(7, 1), before) << id;
    }
    ASSERT_EQ(SetRtcpSend(1, block.data()), 1);
    const sim::HostFrame f = FramesOf(7, 1, 3).back();
    ASSERT_EQ(f.length, 106u);
    EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), 42u);
    EXPECT_EQ(Get16(f.bytes.data() + 20), 1);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), f.bytes.begin() + 22));
    EXPECT_EQ(sim::Snapshot(dev).rtcpSend, block);
}

TEST_F(DataServices, RtcpReceiveChecksTheBlockIdAfterTheExchange) {
    std::array<uint8_t, 90> buffer;
    buffer.fill(0xCC);
    ASSERT_EQ(GetRtcpReceive(1, buffer.data()), 1);
    const auto device = sim::Snapshot(dev).rtcpReceive;
    EXPECT_TRUE(std::equal(device.begin(), device.end(), buffer.begin()));
    EXPECT_EQ(buffer[88], 0xCC);
    EXPECT_EQ(Get16(FramesOf(7, 2, 3).back().bytes.data() + 20), 1);

    // Block 2: the request still goes out (without an id) and is waited
    // for. Even a device that answers it with a whole block does not make
    // it succeed: the answer is 0 and the buffer stays as it was.
    sim::FaultRule anyway;
    anyway.classId = 7;
    anyway.commandId = 2;
    anyway.actions = sim::kAnswerAnyway;
    anyway.patch.assign(88, 0x77);
    sim::AddFaultRule(dev, anyway);
    buffer.fill(0xCC);
    const size_t before = CountOf(7, 2);
    EXPECT_EQ(GetRtcpReceive(2, buffer.data()), 0);
    ASSERT_EQ(CountOf(7, 2), before + 1);
    EXPECT_TRUE(sim::GetFaultsLeft(dev).rules.empty()) << "the device answered";
    EXPECT_EQ(Get16(FramesOf(7, 2, 3).back().bytes.data() + 20), 0);
    EXPECT_EQ(buffer[0], 0xCC);
    EXPECT_EQ(buffer[87], 0xCC);
    EXPECT_EQ(IsCommandActive(), 0);
}

TEST_F(DataServices, RtcpVersionIsTheDevicesAnswer) {
    // The device runs versions 1..3 and keeps its own for anything else.
    EXPECT_EQ(SetRtcpVer(3, 0xA1B2C3D4u, 0x5E), 3);
    const sim::HostFrame f = FramesOf(7, 3, 3).back();
    EXPECT_EQ(Get16(f.bytes.data() + 20), 3);
    EXPECT_EQ(Get32(f.bytes.data() + 22), 0xA1B2C3D4u);
    EXPECT_EQ(f.bytes[26], 0x5E);
    EXPECT_EQ(SetRtcpVer(9, 0, 0x11), 3) << "the answer, not the argument";

    uint8_t verByte = 0;
    EXPECT_EQ(GetRtcpVer(0xFFFFFFFFu, 0xFFFFFFFFu, &verByte), 3);
    EXPECT_EQ(verByte, 0x11);
    EXPECT_EQ(FramesOf(7, 4, 3).back().length, 64u);

    FailNext(7, 4, sim::kFail);
    verByte = 0xCC;
    EXPECT_EQ(GetRtcpVer(0, 0, &verByte), 0);
    EXPECT_EQ(verByte, 0xCC);
    FailNext(7, 3, sim::kRefuse);
    EXPECT_EQ(SetRtcpVer(2, 0, 0), 0);
}

TEST_F(DataServices, RawBlocksGoOutWholeAndComeBackAsNotifications) {
    std::array<uint8_t, 128> block;
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 3 + 1);
    ASSERT_EQ(SendFixed128RawData(block.data()), 1);
    const sim::HostFrame f = FramesOf(0, 2, 3).back();
    ASSERT_EQ(f.length, 148u);
    EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), 84u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), f.bytes.begin() + 20));

    // The device echoes the block as notification 0x0002 on slot 0.
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, 1));
    EXPECT_EQ(EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_RAW_DATA).back().slot, MORELAPI_SLOT_RAW_DATA);
    std::array<uint8_t, 128> got{};
    for (int again = 0; again < 2; ++again) {
        ASSERT_EQ(ReceiveFixed128RawData(got.data()), 1);
        EXPECT_EQ(got, block);
    }
    const size_t requests = Requests();
    ASSERT_EQ(ReceiveFixed128RawData(got.data()), 1);
    EXPECT_EQ(Requests(), requests) << "never asks the device";

    // A notification too short to carry a whole block keeps the last one,
    // and the application still hears of it.
    const std::vector<uint8_t> part(60, 0xEE);
    ASSERT_TRUE(sim::SendNotification(dev, 0x0002, part.data(), part.size()));
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, 2));
    ASSERT_EQ(ReceiveFixed128RawData(got.data()), 1);
    EXPECT_EQ(got, block);
}

TEST_F(DataServices, ARawBlockIsNeverReadHalfOldHalfNew) {
    constexpr int kBlocks = 150;
    // Start from a uniform block: the block of an earlier run stays until
    // the next one arrives.
    std::array<uint8_t, 128> first;
    first.fill(0xF0);
    sim::SendRawData(dev, first.data());
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, 1));
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        std::array<uint8_t, 128> got;
        while (!done.load()) {
            ASSERT_EQ(ReceiveFixed128RawData(got.data()), 1);
            for (uint8_t b : got)
                if (b != got[0])
                    ++torn;
        }
    });
    for (int k = 1; k <= kBlocks; ++k) {
        std::array<uint8_t, 128> block;
        block.fill(static_cast<uint8_t>(k));
        sim::SendRawData(dev, block.data());
    }
    const bool all = EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, kBlocks + 1, 20000ms);
    done = true;
    reader.join();
    ASSERT_TRUE(all);
    EXPECT_EQ(torn.load(), 0);
    std::array<uint8_t, 128> last;
    ASSERT_EQ(ReceiveFixed128RawData(last.data()), 1);
    EXPECT_EQ(last[0], kBlocks);
}

// While one request waits for the device, the cache getters answer, item 2
// is served from the store, and device requests refuse at once, unsent.
TEST_F(DataServices, CacheGettersAnswerWhileARequestWaits) {
    std::array<uint8_t, 128> block;
    block.fill(0x5C);
    sim::SendRawData(dev, block.data());
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, 1));

    sim::FaultRule silent;
    silent.classId = 1;
    silent.commandId = 9;
    silent.destination = 3;
    silent.actions = sim::kNoAnswer;
    sim::AddFaultRule(dev, silent);
    std::thread waiting([] {
        uint8_t status;
        GetSPphoneStatus(&status);
    });
    ASSERT_TRUE(sim::WaitUntil(dev, [](const sim::Log &log) { return CountIn(log, 1, 9) == 1; }, 3000ms));
    const size_t requests = Requests();

    const sim::DeviceState st = sim::Snapshot(dev);
    EXPECT_EQ(GetOpeMode(), static_cast<int8_t>(st.operatingMode));
    std::array<uint8_t, 128> got{};
    EXPECT_EQ(ReceiveFixed128RawData(got.data()), 1);
    EXPECT_EQ(got, block);
    uint8_t volume = 0;
    EXPECT_EQ(GetPlaybackVol(&volume), 1);
    EXPECT_EQ(volume, st.playbackVolume);
    got.fill(0xCC);
    EXPECT_EQ(GetSystemData(2, got.data()), 1);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 5, sim::FindItem(st, 2)->value.begin()));

    uint8_t count = 0xCC;
    EXPECT_EQ(GetContactCount(&count), 0);
    EXPECT_EQ(count, 0xCC) << "a refused guard writes nothing";
    EXPECT_EQ(GetCallInfo(1, &count, got.data(), nullptr), 0);
    EXPECT_EQ(SetSystemData(3, got.data()), 0);
    EXPECT_EQ(StartRecording(), 0);
    EXPECT_EQ(GetRtcpReceive(1, got.data()), 0);
    EXPECT_EQ(SendFixed128RawData(got.data()), 0);
    EXPECT_EQ(Requests(), requests) << "nothing was sent";

    sim::DropLink(dev); // releases the waiting request at once
    waiting.join();
}

// Null pointers that must not be passed are refused before anything is sent.
TEST_F(DataServices, NullPointersAreRefusedUnsent) {
    const size_t requests = Requests();
    uint8_t byte;
    uint16_t half;
    uint32_t word;
    std::array<uint8_t, 164> buf{};
    EXPECT_EQ(GetSystemData(2, nullptr), 0);
    EXPECT_EQ(SetSystemData(1, nullptr), 0);
    EXPECT_EQ(GetChangedSystemData(nullptr, buf.data()), 0);
    EXPECT_EQ(GetCallInfo(1, nullptr, buf.data(), &word), 0);
    EXPECT_EQ(GetContactCount(nullptr), 0);
    EXPECT_EQ(GetContact(1, buf.data(), nullptr, buf.data()), 0);
    EXPECT_EQ(SetContact(buf.data(), nullptr, buf.data()), 0);
    EXPECT_EQ(GetRecordInfo(1, nullptr, &word, buf.data()), 0);
    EXPECT_EQ(GetCurrentPlaybackPos(nullptr), 0);
    EXPECT_EQ(SetNwCameraInfo(1, 2, 3, nullptr, buf.data(), 4, 5), 0);
    EXPECT_EQ(GetNwCameraInfo(&word, &half, &byte, buf.data(), nullptr, &word, &half), 0);
    EXPECT_EQ(SetRtcpSend(1, nullptr), 0);
    EXPECT_EQ(GetRtcpReceive(1, nullptr), 0);
    EXPECT_EQ(GetRtcpVer(0, 0, nullptr), 0);
    EXPECT_EQ(SendFixed128RawData(nullptr), 0);
    EXPECT_EQ(ReceiveFixed128RawData(nullptr), 0);
    EXPECT_EQ(Requests(), requests);
}

} // namespace
} // namespace morel_test
