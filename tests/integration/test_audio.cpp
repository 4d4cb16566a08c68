// Audio settings: the setters' accepted values and frames, the mode getters,
// and the cached volumes that only the device's notifications change.
#include <atomic>
#include <thread>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

class AudioTest : public SimLibraryTest {};

TEST_F(AudioTest, SettersSendAcceptedValuesAndRefuseOthers) {
    struct Row {
        const char *name;
        int (*set)(uint8_t);
        uint16_t command;
        std::vector<uint8_t> accepted, refused;
    };
    const Row rows[] = {
        {"SetMute", SetMute, 7, {0, 1}, {2, 255}},
        {"SetSlowTalk", SetSlowTalk, 8, {0, 2, 3}, {1, 4}},
        {"SetSoundEnhancer", SetSoundEnhancer, 9, {0, 1, 2}, {3, 255}},
        {"SetRingerVol", SetRingerVol, 17, {0, 3}, {4}},
        {"SetReceiverVol", SetReceiverVol, 19, {1, 8}, {0, 9}},
    };
    for (const Row &row : rows) {
        for (uint8_t v : row.accepted) {
            SCOPED_TRACE(testing::Message() << row.name << "(" << int(v) << ")");
            sim::ClearLog(dev);
            EXPECT_EQ(row.set(v), 1);
            auto frames = FramesOf(2, -1);
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0].commandId, row.command);
            EXPECT_EQ(frames[0].destination, 3);
            EXPECT_EQ(frames[0].length, 64u);
            EXPECT_EQ(frames[0].bytes[20], v);
        }
        for (uint8_t v : row.refused) {
            SCOPED_TRACE(testing::Message() << row.name << "(" << int(v) << ")");
            sim::ClearLog(dev);
            EXPECT_EQ(row.set(v), 0);
            EXPECT_TRUE(FramesOf(2, -1).empty());
        }
    }
}

TEST_F(AudioTest, ModeGettersAskTheDevice) {
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
    EXPECT_EQ(FramesOf(2, 10).size(), 1u);
    EXPECT_EQ(FramesOf(2, 11).size(), 1u);
    // A setter leaves the cached mode alone until it is read back.
    ASSERT_EQ(SetSlowTalk(0), 1);
    ASSERT_EQ(GetSlowTalk(&slow), 1);
    EXPECT_EQ(slow, 0);
    sim::ClearLog(dev);
    EXPECT_EQ(GetSlowTalk(nullptr), 0);
    EXPECT_EQ(GetSoundEnhancer(nullptr), 0);
    EXPECT_TRUE(FramesOf(2, -1).empty());
}

TEST_F(AudioTest, SetVolumeShowsTheOldValueUntilTheNotificationIsHandled) {
    struct Row {
        const char *name;
        int (*set)(uint8_t);
        int (*get)(uint8_t *);
        uint8_t newValue;
        uint32_t event;
    };
    const Row rows[] = {
        {"ringer", SetRingerVol, GetRingerVol, 3, MORELAPI_EVENT_RINGER_VOLUME},
        {"receive", SetReceiverVol, GetReceiveVol, 7, MORELAPI_EVENT_RECEIVE_VOLUME},
    };
    // A one-byte buffer on slot 1 receives each value.
    uint8_t slotByte = 0;
    ASSERT_EQ(RegisterEvent(MORELAPI_SLOT_DEVICE, EventRecorder::Callback, MORELAPI_SLOT_DEVICE, &slotByte), 1u);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        uint8_t old = 0xEE;
        ASSERT_EQ(row.get(&old), 1);
        ASSERT_NE(old, row.newValue);
        // Keep the event thread inside a callback, so the device's volume
        // notification waits in the queue.
        std::mutex m;
        std::condition_variable cv;
        bool entered = false, release = false;
        EventRecorder::Get().SetHook([&](const Recorded &r) {
            if (r.code != 0x0111)
                return;
            std::unique_lock<std::mutex> g(m);
            entered = true;
            cv.notify_all();
            cv.wait(g, [&] { return release; });
        });
        ASSERT_TRUE(sim::SendNotification(dev, 0x0111, nullptr, 0));
        {
            std::unique_lock<std::mutex> g(m);
            ASSERT_TRUE(cv.wait_for(g, 5s, [&] { return entered; }));
        }
        size_t before = EventRecorder::Get().Count(row.event);
        EXPECT_EQ(row.set(row.newValue), 1);
        uint8_t now = 0xEE;
        EXPECT_EQ(row.get(&now), 1);
        EXPECT_EQ(now, old) << "the setter changed the cache itself";
        {
            std::lock_guard<std::mutex> g(m);
            release = true;
        }
        cv.notify_all();
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(row.event, before + 1));
        EventRecorder::Get().SetHook(nullptr);
        EXPECT_EQ(row.get(&now), 1);
        EXPECT_EQ(now, row.newValue);
        Recorded last = EventRecorder::Get().EventsWithCode(row.event).back();
        EXPECT_EQ(last.data, &slotByte);
        EXPECT_EQ(slotByte, row.newValue);
    }
}

TEST_F(AudioTest, CachedGettersAnswerWhileAnotherCallWaits) {
    sim::FaultRule delay;
    delay.classId = 2;
    delay.commandId = 11;
    delay.destination = 3;
    delay.actions = sim::kDelay;
    delay.delayMs = 800;
    sim::AddFaultRule(dev, delay);
    sim::ClearLog(dev);
    std::atomic<int> result{-1};
    std::thread busy([&] {
        uint8_t mode;
        result = GetSoundEnhancer(&mode);
    });
    ASSERT_TRUE(sim::WaitUntil(
        dev,
        [](const sim::Log &log) {
            for (auto &f : log.frames)
                if (f.classId == 2 && f.commandId == 11)
                    return true;
            return false;
        },
        5000ms));
    auto st = sim::Snapshot(dev);
    uint8_t ringer = 0xEE, receive = 0xEE, mode = 0xEE;
    EXPECT_EQ(GetRingerVol(&ringer), 1);
    EXPECT_EQ(GetReceiveVol(&receive), 1);
    EXPECT_EQ(ringer, st.ringerVolume);
    EXPECT_EQ(receive, st.receiveVolume);
    // Requests to the device are refused at once while the turn is taken.
    EXPECT_EQ(GetSlowTalk(&mode), 0);
    EXPECT_EQ(mode, 0xEE);
    EXPECT_EQ(SetMute(1), 0);
    EXPECT_EQ(AnswerCall(), 0);
    busy.join();
    EXPECT_EQ(result.load(), 1);
    auto frames = FramesOf(2, -1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].commandId, 11);
    EXPECT_EQ(GetRingerVol(nullptr), 0);
    EXPECT_EQ(GetReceiveVol(nullptr), 0);
}

} // namespace
} // namespace morel_test
