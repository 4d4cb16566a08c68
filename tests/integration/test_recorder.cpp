// Recorder against the simulated device: range edges, the caller's group
// layouts, the byte order of ResumePlayback and a whole record-and-play run.
#include <array>

#include "link/frame.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

class Recorder : public SimLibraryTest {
  protected:
    size_t CountOf(int cls, int cmd) { return FramesOf(cls, cmd, 3).size(); }
};

TEST_F(Recorder, RecordingNumbersOutsideOneToHundredAreRefusedUnsent) {
    struct Export {
        const char *name;
        int cls, cmd;
        std::function<int(uint8_t)> call;
    };
    const Export exports[] = {
        {"GetRecordInfo", 5, 2,
         [](uint8_t n) {
             std::array<uint8_t, 8> a{};
             std::array<uint8_t, 12> b{};
             uint32_t v = 0;
             return GetRecordInfo(n, a.data(), &v, b.data());
         }},
        {"DeleteRecord", 5, 3, [](uint8_t n) { return DeleteRecord(n); }},
        {"StartPlayback", 6, 3, [](uint8_t n) { return StartPlayback(n); }},
    };
    for (const Export &e : exports) {
        SCOPED_TRACE(e.name);
        for (uint8_t n : {0, 101, 255}) {
            const size_t before = CountOf(e.cls, e.cmd);
            EXPECT_EQ(e.call(n), 0) << int(n);
            EXPECT_EQ(CountOf(e.cls, e.cmd), before) << int(n);
        }
        for (uint8_t n : {100, 1}) {
            const size_t before = CountOf(e.cls, e.cmd);
            e.call(n);
            ASSERT_EQ(CountOf(e.cls, e.cmd), before + 1) << int(n);
            EXPECT_EQ(FramesOf(e.cls, e.cmd, 3).back().bytes[20], n);
        }
        if (e.cmd == 3 && e.cls == 6) {
            ASSERT_EQ(StopPlayback(), 1);
        }
    }
    for (uint8_t v : {0, 9, 255}) {
        const size_t before = CountOf(6, 11);
        EXPECT_EQ(SetPlaybackVol(v), 0) << int(v);
        EXPECT_EQ(CountOf(6, 11), before);
    }
}

TEST_F(Recorder, GetRecordInfoFillsTheCallersGroups) {
    sim::Update(dev, [](sim::DeviceState &st) {
        st.records[1] = {0x11223344u, 0x5566, 0x77, 0x8899AABBu, 0xC1C2C3C4u, 0xD1D2D3D4u, 0xE1E2, 0xF1};
    });
    std::array<uint8_t, 8> a;
    std::array<uint8_t, 12> b;
    a.fill(0xCC);
    b.fill(0xCC);
    uint32_t value = 0;
    ASSERT_EQ(GetRecordInfo(2, a.data(), &value, b.data()), 1);
    // Group A: u32 at 0, u16 at 4, u8 at 6; byte 7 is padding, untouched.
    uint32_t a1;
    uint16_t a2;
    std::memcpy(&a1, &a[0], 4);
    std::memcpy(&a2, &a[4], 2);
    EXPECT_EQ(a1, 0x11223344u);
    EXPECT_EQ(a2, 0x5566);
    EXPECT_EQ(a[6], 0x77);
    EXPECT_EQ(a[7], 0xCC);
    EXPECT_EQ(value, 0x8899AABBu);
    // Group B: u32 at 0, u32 at 4, u16 at 8, u8 at 10; byte 11 untouched.
    uint32_t b1, b2;
    uint16_t b3;
    std::memcpy(&b1, &b[0], 4);
    std::memcpy(&b2, &b[4], 4);
    std::memcpy(&b3, &b[8], 2);
    EXPECT_EQ(b1, 0xC1C2C3C4u);
    EXPECT_EQ(b2, 0xD1D2D3D4u);
    EXPECT_EQ(b3, 0xE1E2);
    EXPECT_EQ(b[10], 0xF1);
    EXPECT_EQ(b[11], 0xCC);

    // A failed read writes nothing.
    sim::FaultRule fail;
    fail.classId = 5;
    fail.commandId = 2;
    fail.actions = sim::kFail;
    sim::AddFaultRule(dev, fail);
    a.fill(0xCC);
    b.fill(0xCC);
    value = 7;
    EXPECT_EQ(GetRecordInfo(1, a.data(), &value, b.data()), 0);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(a[0], 0xCC);
    EXPECT_EQ(b[0], 0xCC);
}

TEST_F(Recorder, ResumePlaybackSendsItsValueLittleEndian) {
    ASSERT_EQ(StartPlayback(1), 1);
    ASSERT_EQ(PausePlayback(), 1);
    ASSERT_EQ(ResumePlayback(0x00012345u), 1);
    const sim::HostFrame f = FramesOf(6, 6, 3).back();
    EXPECT_EQ(f.length, 64u);
    EXPECT_EQ((std::vector<uint8_t>(f.bytes.begin() + 20, f.bytes.begin() + 24)),
              (std::vector<uint8_t>{0x45, 0x23, 0x01, 0x00}));
    uint32_t position = 0;
    ASSERT_EQ(GetCurrentPlaybackPos(&position), 1);
    EXPECT_EQ(position, sim::Snapshot(dev).playbackPosition);
    EXPECT_GT(position, 0x00012345u) << "playback went on from the resumed position";
}

TEST_F(Recorder, RecordPlayAndDeleteEndToEnd) {
    uint8_t count = 0;
    uint32_t status = 99;
    ASSERT_EQ(StartRecording(), 1);
    ASSERT_EQ(GetRecordOpStatus(&status), 1);
    EXPECT_EQ(status, sim::kRecRecording);
    ASSERT_EQ(StopRecording(), 1);
    ASSERT_EQ(GetRecordCount(&count), 1);
    EXPECT_EQ(count, 4);
    std::array<uint8_t, 8> a{};
    std::array<uint8_t, 12> b{};
    uint32_t value = 0;
    ASSERT_EQ(GetRecordInfo(4, a.data(), &value, b.data()), 1);
    EXPECT_EQ(value, sim::Snapshot(dev).records[3].value);

    ASSERT_EQ(StartPlayback(4), 1);
    uint32_t first = 0, second = 0;
    ASSERT_EQ(GetCurrentPlaybackPos(&first), 1);
    ASSERT_EQ(GetCurrentPlaybackPos(&second), 1);
    EXPECT_GT(second, first);
    ASSERT_EQ(StopPlayback(), 1);

    ASSERT_EQ(DeleteRecord(1), 1);
    ASSERT_EQ(GetRecordCount(&count), 1);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(DeleteAllRecords(), 1);
    ASSERT_EQ(GetRecordCount(&count), 1);
    EXPECT_EQ(count, 0);
    // A deleted number is asked again; the device no longer has it.
    const size_t asked = FramesOf(5, 2, 3).size();
    EXPECT_EQ(GetRecordInfo(4, a.data(), &value, b.data()), 0);
    EXPECT_EQ(FramesOf(5, 2, 3).size(), asked + 1);

    // A failed read leaves the caller's value alone.
    sim::FaultRule fail;
    fail.classId = 6;
    fail.commandId = 8;
    fail.actions = sim::kFail;
    sim::AddFaultRule(dev, fail);
    uint32_t untouched = 0xDEADBEEF;
    EXPECT_EQ(GetCurrentPlaybackPos(&untouched), 0);
    EXPECT_EQ(untouched, 0xDEADBEEFu);
}

TEST_F(Recorder, PlaybackVolumeFollowsTheDevicesNotifications) {
    uint8_t volume = 0;
    ASSERT_EQ(GetPlaybackVol(&volume), 1);
    EXPECT_EQ(volume, sim::Snapshot(dev).playbackVolume) << "read at start-up";
    const size_t gets = CountOf(6, 10);

    // A volume turned at the device arrives without any request.
    sim::SetPlaybackVolume(dev, 6);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_PLAYBACK_VOLUME, 1));
    ASSERT_EQ(GetPlaybackVol(&volume), 1);
    EXPECT_EQ(volume, 6);

    // A volume set from here arrives the same way.
    for (uint8_t v : {1, 8}) {
        const size_t seen = EventRecorder::Get().Count(MORELAPI_EVENT_PLAYBACK_VOLUME);
        ASSERT_EQ(SetPlaybackVol(v), 1);
        EXPECT_EQ(FramesOf(6, 11, 3).back().bytes[20], v);
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_PLAYBACK_VOLUME, seen + 1));
        ASSERT_EQ(GetPlaybackVol(&volume), 1);
        EXPECT_EQ(volume, v);
    }
    EXPECT_EQ(CountOf(6, 10), gets) << "the cached volume is never asked for";
}

} // namespace
} // namespace morel_test
