// Audio settings: the setters' accepted values and frames, the mode getters,
// and the cached volumes (ringer, receive, playback) that only the device's
// notifications change.
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

namespace cmd = morel::cmd;

class Audio : public SimLibraryTest {};

TEST_F(Audio, SettersSendAcceptedValuesAndRefuseOthers) {
    const struct {
        int (*set)(uint8_t);
        morel::Command command;
        std::vector<uint8_t> accepted, refused;
    } rows[] = {
        {SetMute, cmd::SetMute, {0, 1}, {2, 255}},
        {SetSlowTalk, cmd::SetSlowTalk, {0, 2, 3}, {1, 4}},
        {SetSoundEnhancer, cmd::SetSoundEnhancer, {0, 1, 2}, {3, 255}},
        {SetRingerVol, cmd::SetRingerVolume, {0, 3}, {4}},
        {SetReceiverVol, cmd::SetReceiveVolume, {1, 8}, {0, 9}},
        {SetPlaybackVol, cmd::SetPlaybackVolume, {1, 8}, {0, 9, 255}},
    };
    for (const auto &row : rows) {
        for (uint8_t v : row.accepted) {
            SCOPED_TRACE(testing::Message() << row.command.commandId << "(" << int(v) << ")");
            sim::ClearLog(dev);
            EXPECT_EQ(row.set(v), 1);
            ASSERT_EQ(Log().frames.size(), 1u);
            const sim::HostFrame f = LastSent(row.command);
            EXPECT_EQ(f.length, 64u);
            EXPECT_EQ(f.bytes[20], v);
        }
        for (uint8_t v : row.refused) {
            sim::ClearLog(dev);
            EXPECT_EQ(row.set(v), 0) << row.command.commandId << "(" << int(v) << ")";
            EXPECT_TRUE(Log().frames.empty());
        }
    }
}

TEST_F(Audio, ModeGettersAskTheDevice) {
    sim::Update(dev, [](sim::DeviceState &st) {
        st.slowTalk = 3;
        st.soundEnhancer = 2;
    });
    sim::ClearLog(dev);
    uint8_t slow = 0, enhancer = 0;
    ASSERT_EQ(GetSlowTalk(&slow), 1);
    ASSERT_EQ(GetSoundEnhancer(&enhancer), 1);
    EXPECT_EQ(slow, 3);
    EXPECT_EQ(enhancer, 2);
    EXPECT_EQ(Sent(cmd::GetSlowTalk), 1u);
    EXPECT_EQ(Sent(cmd::GetSoundEnhancer), 1u);
    // A setter leaves the cached mode alone until it is read back.
    ASSERT_EQ(SetSlowTalk(0), 1);
    ASSERT_EQ(GetSlowTalk(&slow), 1);
    EXPECT_EQ(slow, 0);
}

TEST_F(Audio, SetVolumeShowsTheOldValueUntilTheNotificationIsHandled) {
    const struct {
        int (*set)(uint8_t);
        int (*get)(uint8_t *);
        uint8_t newValue;
        uint32_t event;
    } rows[] = {
        {SetRingerVol, GetRingerVol, 3, MORELAPI_EVENT_RINGER_VOLUME},
        {SetReceiverVol, GetReceiveVol, 7, MORELAPI_EVENT_RECEIVE_VOLUME},
        {SetPlaybackVol, GetPlaybackVol, 6, MORELAPI_EVENT_PLAYBACK_VOLUME},
    };
    uint8_t slotByte = 0;
    ASSERT_EQ(RegisterEvent(MORELAPI_SLOT_DEVICE, EventRecorder::Callback, MORELAPI_SLOT_DEVICE, &slotByte), 1u);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.event);
        uint8_t old = 0xEE, now = 0xEE;
        ASSERT_EQ(row.get(&old), 1);
        ASSERT_NE(old, row.newValue);
        // The device's volume notification waits in the queue meanwhile.
        ASSERT_NO_FATAL_FAILURE(HoldEventThread());
        const size_t before = EventRecorder::Get().Count(row.event);
        EXPECT_EQ(row.set(row.newValue), 1);
        EXPECT_EQ(row.get(&now), 1);
        EXPECT_EQ(now, old) << "the setter changed the cache itself";
        ReleaseEventThread();
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(row.event, before + 1));
        EXPECT_EQ(row.get(&now), 1);
        EXPECT_EQ(now, row.newValue);
        EXPECT_EQ(EventRecorder::Get().EventsWithCode(row.event).back().data, &slotByte);
        EXPECT_EQ(slotByte, row.newValue);
    }
}

} // namespace
} // namespace morel_test
