// Network camera, operating mode, RTCP blocks and version, raw data blocks,
// against the simulated device; and the null pointers every export refuses.
#include <array>
#include <atomic>
#include <numeric>
#include <thread>
#include <tuple>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

class Camera : public SimLibraryTest {};

TEST_F(Camera, RecordGoesOutAsSeventeenByteTextsAndComesBack) {
    // Texts with bytes after their terminator, sent exactly as given.
    std::array<uint8_t, 17> t1, t2;
    std::iota(t1.begin(), t1.end(), uint8_t{0xA0});
    std::iota(t2.begin(), t2.end(), uint8_t{0xB0});
    t1[3] = 0;
    t2[0] = 0;
    ASSERT_EQ(SetNwCameraInfo(0x01020304u, 0x0506, 0x07, t1.data(), t2.data(), 0x08090A0Bu, 0x0C0D), 1);
    const sim::HostFrame f = LastSent(cmd::SetCamera);
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
    EXPECT_EQ(std::make_tuple(v1, v2, v3, v4, v5),
              std::make_tuple(0x01020304u, uint16_t{0x0506}, uint8_t{0x07}, 0x08090A0Bu, uint16_t{0x0C0D}));
    EXPECT_TRUE(std::equal(t1.begin(), t1.end(), r1.begin()));
    EXPECT_TRUE(std::equal(t2.begin(), t2.end(), r2.begin()));
    EXPECT_EQ(r1[17], 0xCC);
    EXPECT_EQ(r2[17], 0xCC);
}

class OperatingMode : public SimLibraryTest, public ::testing::WithParamInterface<std::pair<uint8_t, int>> {
  protected:
    void Configure(sim::DeviceConfig &) override { startInSetUp = false; }
};

TEST_P(OperatingMode, IsTheDevicesByteAsASignedValue) {
    EXPECT_EQ(GetOpeMode(), -1) << "no library yet";
    sim::Update(dev, [&](sim::DeviceState &st) { st.operatingMode = GetParam().first; });
    StartLibrary();
    EXPECT_EQ(GetOpeMode(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Bytes, OperatingMode,
                         ::testing::Values(std::make_pair(uint8_t{3}, 3), std::make_pair(uint8_t{0x7F}, 127),
                                           std::make_pair(uint8_t{0xFF}, -1), std::make_pair(uint8_t{0x80}, -128)));

class Rtcp : public SimLibraryTest {};

TEST_F(Rtcp, SendTakesBlockOneOnly) {
    std::array<uint8_t, 84> block;
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(0xFF - i);
    for (uint16_t id : {0, 2, 3, 0xFFFF})
        EXPECT_EQ(SetRtcpSend(id, block.data()), 0) << id;
    EXPECT_EQ(Sent(cmd::RtcpSend), 0u);
    ASSERT_EQ(SetRtcpSend(1, block.data()), 1);
    const sim::HostFrame f = LastSent(cmd::RtcpSend);
    ASSERT_EQ(f.length, 106u);
    EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), 42u);
    EXPECT_EQ(Get16(f.bytes.data() + 20), 1);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), f.bytes.begin() + 22));
    EXPECT_EQ(sim::Snapshot(dev).rtcpSend, block);
}

TEST_F(Rtcp, ReceiveChecksTheBlockIdAfterTheExchange) {
    std::array<uint8_t, 90> buffer;
    buffer.fill(0xCC);
    ASSERT_EQ(GetRtcpReceive(1, buffer.data()), 1);
    const auto device = sim::Snapshot(dev).rtcpReceive;
    EXPECT_TRUE(std::equal(device.begin(), device.end(), buffer.begin()));
    EXPECT_EQ(buffer[88], 0xCC);
    EXPECT_EQ(Get16(LastSent(cmd::RtcpReceive).bytes.data() + 20), 1);

    // Block 2: the request still goes out (without an id) and is waited
    // for. Even a device that answers it with a whole block does not make
    // it succeed: the answer is 0 and the buffer stays as it was.
    sim::FaultRule anyway = RuleFor(cmd::RtcpReceive, sim::kAnswerAnyway);
    anyway.patch.assign(88, 0x77);
    sim::AddFaultRule(dev, anyway);
    buffer.fill(0xCC);
    EXPECT_EQ(GetRtcpReceive(2, buffer.data()), 0);
    EXPECT_EQ(Sent(cmd::RtcpReceive), 2u);
    EXPECT_TRUE(sim::GetFaultsLeft(dev).rules.empty()) << "the device answered";
    EXPECT_EQ(Get16(LastSent(cmd::RtcpReceive).bytes.data() + 20), 0);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xCC), 90);
    EXPECT_EQ(IsCommandActive(), 0);
}

TEST_F(Rtcp, VersionIsTheDevicesAnswer) {
    // The device runs versions 1..3 and keeps its own for anything else.
    EXPECT_EQ(SetRtcpVer(3, 0xA1B2C3D4u, 0x5E), 3);
    const sim::HostFrame f = LastSent(cmd::SetRtcpVersion);
    EXPECT_EQ(Get16(f.bytes.data() + 20), 3);
    EXPECT_EQ(Get32(f.bytes.data() + 22), 0xA1B2C3D4u);
    EXPECT_EQ(f.bytes[26], 0x5E);
    EXPECT_EQ(SetRtcpVer(9, 0, 0x11), 3) << "the answer, not the argument";
    uint8_t verByte = 0;
    EXPECT_EQ(GetRtcpVer(0xFFFFFFFFu, 0xFFFFFFFFu, &verByte), 3);
    EXPECT_EQ(verByte, 0x11);
    EXPECT_EQ(LastSent(cmd::GetRtcpVersion).length, 64u);
}

class RawData : public SimLibraryTest {};

TEST_F(RawData, BlocksGoOutWholeAndComeBackAsNotifications) {
    std::array<uint8_t, 128> block;
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 3 + 1);
    // The device echoes the block as notification 0x0002 on slot 0.
    ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_RAW_DATA,
                                             [&] { ASSERT_EQ(SendFixed128RawData(block.data()), 1); }));
    const sim::HostFrame f = LastSent(cmd::RawData);
    ASSERT_EQ(f.length, 148u);
    EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), 84u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), f.bytes.begin() + 20));
    EXPECT_EQ(EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_RAW_DATA).back().slot, MORELAPI_SLOT_RAW_DATA);
    std::array<uint8_t, 128> got{};

    // A notification too short to carry a whole block keeps the last one,
    // and the application still hears of it.
    const std::vector<uint8_t> part(60, 0xEE);
    ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_RAW_DATA, [&] {
        ASSERT_TRUE(sim::SendNotification(dev, MORELAPI_EVENT_RAW_DATA, part.data(), part.size()));
    }));
    ASSERT_EQ(ReceiveFixed128RawData(got.data()), 1);
    EXPECT_EQ(got, block);
}

TEST_F(RawData, ABlockIsNeverReadHalfOldHalfNew) {
    constexpr int kBlocks = 150;
    // Start from a uniform block: the block of an earlier run stays until
    // the next one arrives.
    std::array<uint8_t, 128> block;
    block.fill(0xF0);
    sim::SendRawData(dev, block.data());
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, 1));
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        std::array<uint8_t, 128> got;
        while (!done.load()) {
            ASSERT_EQ(ReceiveFixed128RawData(got.data()), 1);
            torn += static_cast<int>(std::count_if(got.begin(), got.end(), [&](uint8_t b) { return b != got[0]; }));
        }
    });
    for (int k = 1; k <= kBlocks; ++k) {
        block.fill(static_cast<uint8_t>(k));
        sim::SendRawData(dev, block.data());
    }
    const bool all = EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, kBlocks + 1, 20000ms);
    done = true;
    reader.join();
    ASSERT_TRUE(all);
    EXPECT_EQ(torn.load(), 0);
    ASSERT_EQ(ReceiveFixed128RawData(block.data()), 1);
    EXPECT_EQ(block[0], kBlocks);
}

class NullPointers : public SimLibraryTest {};

// Null pointers that must not be passed, and selectors out of range, are
// refused before anything is sent; a status query with null pointers asks
// the device and writes nothing.
TEST_F(NullPointers, AreRefusedUnsent) {
    const size_t requests = RequestsSent();
    uint8_t byte = 0x5A;
    uint16_t half = 0x7777;
    uint32_t word;
    std::array<uint8_t, 164> buf{};
    EXPECT_EQ(GetSPphoneStatus(nullptr), 1);
    EXPECT_EQ(GetSPphoneStatus2(nullptr, &byte), 1);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(GetDestination(nullptr, nullptr), 1);
    EXPECT_EQ(RequestsSent(), requests + 3);
    EXPECT_EQ(GetIPnetworkInfo(0, buf.data()), 0);
    EXPECT_EQ(GetIPnetworkInfo(8, buf.data()), 0);
    EXPECT_EQ(GetIPnetworkInfo(1, nullptr), 0);
    EXPECT_EQ(GetVersionSpeakerphone(3, &half), 0);
    EXPECT_EQ(half, 0x7777);
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
    EXPECT_EQ(GetSlowTalk(nullptr), 0);
    EXPECT_EQ(GetSoundEnhancer(nullptr), 0);
    EXPECT_EQ(GetRingerVol(nullptr), 0);
    EXPECT_EQ(GetReceiveVol(nullptr), 0);
    EXPECT_EQ(RequestsSent(), requests + 3);
}

} // namespace
} // namespace morel_test
