// Recorder against the simulated device: range edges, the caller's group
// layouts, the byte order of ResumePlayback and a whole record-and-play run.
#include <array>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

template <typename T> T At(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

int ReadInfo(uint8_t n, uint32_t *value = nullptr) {
    std::array<uint8_t, 8> a{};
    std::array<uint8_t, 12> b{};
    uint32_t v = 0;
    return GetRecordInfo(n, a.data(), value ? value : &v, b.data());
}

class Recorder : public SimLibraryTest {};

TEST_F(Recorder, RecordingNumbersOutsideOneToHundredAreRefusedUnsent) {
    const std::pair<Command, int (*)(uint8_t)> exports[] = {
        {cmd::RecordInfo, [](uint8_t n) { return ReadInfo(n); }},
        {cmd::DeleteRecord, DeleteRecord},
        {cmd::StartPlayback, StartPlayback},
    };
    for (const auto &[command, call] : exports) {
        SCOPED_TRACE(command.commandId);
        for (uint8_t n : {0, 101, 255})
            EXPECT_EQ(call(n), 0) << int(n);
        EXPECT_EQ(Sent(command), 0u);
        for (uint8_t n : {100, 1}) {
            call(n);
            EXPECT_EQ(LastSent(command).bytes[20], n);
        }
        EXPECT_EQ(Sent(command), 2u);
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
    EXPECT_EQ(At<uint32_t>(&a[0]), 0x11223344u);
    EXPECT_EQ(At<uint16_t>(&a[4]), 0x5566);
    EXPECT_EQ(a[6], 0x77);
    EXPECT_EQ(a[7], 0xCC);
    EXPECT_EQ(value, 0x8899AABBu);
    // Group B: u32 at 0, u32 at 4, u16 at 8, u8 at 10; byte 11 untouched.
    EXPECT_EQ(At<uint32_t>(&b[0]), 0xC1C2C3C4u);
    EXPECT_EQ(At<uint32_t>(&b[4]), 0xD1D2D3D4u);
    EXPECT_EQ(At<uint16_t>(&b[8]), 0xE1E2);
    EXPECT_EQ(b[10], 0xF1);
    EXPECT_EQ(b[11], 0xCC);
}

TEST_F(Recorder, ResumePlaybackSendsItsValueLittleEndian) {
    ASSERT_EQ(StartPlayback(1), 1);
    ASSERT_EQ(PausePlayback(), 1);
    ASSERT_EQ(ResumePlayback(0x00012345u), 1);
    const sim::HostFrame f = LastSent(cmd::ResumePlayback);
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
    uint32_t status = 99, value = 0;
    ASSERT_EQ(StartRecording(), 1);
    ASSERT_EQ(GetRecordOpStatus(&status), 1);
    EXPECT_EQ(status, sim::kRecRecording);
    ASSERT_EQ(StopRecording(), 1);
    ASSERT_EQ(GetRecordCount(&count), 1);
    EXPECT_EQ(count, 4);
    ASSERT_EQ(ReadInfo(4, &value), 1);
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
    const size_t asked = Sent(cmd::RecordInfo);
    EXPECT_EQ(ReadInfo(4), 0);
    EXPECT_EQ(Sent(cmd::RecordInfo), asked + 1);
}

} // namespace
} // namespace morel_test
