// Notification intake, the event thread and registration.
#include <future>

#include "api/tables.h"
#include "events/notify.h"
#include "tests/support/bare_context.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using Notifications = SimLibraryTest;

TEST_F(Notifications, SignalsReachTheirSlotWithTheRemappedCodeAndRegisteredBuffer) {
    uint8_t buffer[4] = {};
    ASSERT_EQ(RegisterEvent(1, EventRecorder::Callback, 77, buffer), 1u);
    sim::SendNotification(dev, 0x0801, nullptr, 0);
    sim::SendNotification(dev, 0x0141, nullptr, 0);
    sim::SendNotification(dev, 0x0603, nullptr, 0);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0603, 1));
    auto events = EventRecorder::Get().Events();
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (auto &e : events)
        if (e.code != MORELAPI_EVENT_LINK)
            got.push_back({e.code, e.slot});
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{{0x0141, 77}, {0x0161, 77}, {0x0603, 6}}));
    EXPECT_EQ(EventRecorder::Get().EventsWithCode(0x0141)[0].data, buffer);
    EXPECT_EQ(EventRecorder::Get().EventsWithCode(0x0603)[0].data, nullptr);
}

// Value events without a registered buffer arrive in order, exactly once,
// each with a valid pointer to its value.
TEST_F(Notifications, ValueEventWithoutBufferStillGetsAValidPointerAndUnregisterStopsCalls) {
    constexpr size_t kCount = 200;
    for (size_t i = 0; i < kCount; ++i) {
        uint8_t v = static_cast<uint8_t>(i);
        sim::SendNotification(dev, MORELAPI_EVENT_RINGER_VOLUME, &v, 1);
    }
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RINGER_VOLUME, kCount));
    auto events = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_RINGER_VOLUME);
    ASSERT_EQ(events.size(), kCount);
    for (size_t i = 0; i < kCount; ++i) {
        ASSERT_NE(events[i].data, nullptr);
        ASSERT_EQ(events[i].value, std::vector<uint8_t>{static_cast<uint8_t>(i)});
    }

    uint8_t buffer[2] = {0xEE, 0xEE};
    ASSERT_EQ(RegisterEvent(1, EventRecorder::Callback, 9, buffer), 1u);
    uint8_t v = 1;
    sim::SendNotification(dev, MORELAPI_EVENT_RINGER_VOLUME, &v, 1);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RINGER_VOLUME, kCount + 1));
    EXPECT_EQ(EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_RINGER_VOLUME)[kCount].data, buffer);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 0xEE) << "one byte written, no more";

    ASSERT_EQ(UnregisterEvent(1), 1u);
    {
        morel::ContextRef ctx;
        ASSERT_TRUE(ctx);
        std::lock_guard<std::mutex> g(ctx->slotLock);
        EXPECT_EQ(ctx->eventSlots[1].callback, nullptr);
        EXPECT_EQ(ctx->eventSlots[1].userWord, 9u);
        EXPECT_EQ(ctx->eventSlots[1].dataBuffer, buffer);
    }
    v = 2;
    sim::SendNotification(dev, MORELAPI_EVENT_RINGER_VOLUME, &v, 1);
    // A later event on another slot proves the volume event was handled.
    sim::SendNotification(dev, 0x0501, nullptr, 0);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0501, 1));
    EXPECT_EQ(EventRecorder::Get().Count(MORELAPI_EVENT_RINGER_VOLUME), kCount + 1);
    uint8_t volume = 0;
    ASSERT_EQ(GetRingerVol(&volume), 1);
    EXPECT_EQ(volume, 2) << "the cache follows the device without a listener";
}

TEST_F(Notifications, RegistrationRules) {
    EXPECT_EQ(RegisterEvent(7, EventRecorder::Callback, 7, nullptr), 1u);
    EXPECT_EQ(RegisterEvent(8, EventRecorder::Callback, 8, nullptr), 0u);
    EXPECT_EQ(RegisterEvent(0xFFFF, EventRecorder::Callback, 8, nullptr), 0u);
    EXPECT_EQ(UnregisterEvent(8), 0u);
    EXPECT_EQ(UnregisterEvent(5), 1u);
    EXPECT_EQ(UnregisterEvent(5), 1u);
}

TEST_F(Notifications, NotificationsAreDroppedWhileTheLinkIsDown) {
    sim::SetFailOpens(dev, 1000000);
    EventRecorder::Get().Clear();
    sim::DropLink(dev);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_LINK, 1));
    // Bytes that still reach the library while it reconnects are not delivered.
    ScriptedTransport::Inject(NotificationFrame(0x0501));
    sim::SetFaultPlan(dev, sim::FaultPlan{});
    ASSERT_TRUE(WaitLinkUp());
    sim::SendNotification(dev, 0x0502, nullptr, 0);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0502, 1));
    EXPECT_EQ(EventRecorder::Get().Count(0x0501), 0u);
}

// Replacing a registration waits for the callback of the old one to return,
// so the old buffer is never written after RegisterEvent returns.
TEST_F(Notifications, RegisterWaitsForARunningCallbackOfThatSlot) {
    std::promise<void> entered, release;
    auto releasedFuture = release.get_future().share();
    std::atomic<bool> callbackDone{false};
    EventRecorder::Get().SetHook([&](const Recorded &r) {
        if (r.code == 0x0401) {
            entered.set_value();
            releasedFuture.wait();
            callbackDone = true;
        }
    });
    sim::SendNotification(dev, 0x0401, nullptr, 0);
    entered.get_future().wait();
    auto reg = std::async(std::launch::async, [] { return RegisterEvent(4, EventRecorder::Callback, 4, nullptr); });
    EXPECT_EQ(reg.wait_for(200ms), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(reg.get(), 1u);
    EXPECT_TRUE(callbackDone.load());
}

// The lookup by index finds, for every id, its own entry or nothing.
TEST(NotificationLookup, FindsEachIdsOwnEntryAndNothingElse) {
    const auto find = morel::LibraryProtocol.findNotification;
    size_t found = 0;
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
        if (const morel::NotificationEntry *e = find(id)) {
            ASSERT_EQ(e->eventId, id);
            ++found;
        }
    }
    EXPECT_EQ(found, 81u);
    for (uint32_t id : {0x10104u, 0xFFFFFFFFu})
        EXPECT_EQ(find(id), nullptr);
}

} // namespace
} // namespace morel_test
