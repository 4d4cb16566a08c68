// Callbacks on the two delivering threads (event and link) acting at once:
// registrations, buffers, stops, bursts; and the receive side under several
// transport threads and a callback that does not return.
#include <algorithm>
#include <cstdlib>
#include <future>

#include "events/notify.h"
#include "link/ring.h"
#include "tests/support/bare_context.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

// Runs fn on another thread; a call that does not return within the bound
// fails the test at once (the process would otherwise hang in its join).
template <typename Fn> void ReturnsWithin(const char *what, Fn fn, std::chrono::seconds bound = 10s) {
    auto done = std::async(std::launch::async, fn);
    if (done.wait_for(bound) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lld s\n", what, static_cast<long long>(bound.count()));
        std::abort();
    }
    done.get();
}

constexpr uint32_t kSignal = 0x0111;

bool IsLinkReport(const Recorded &r, uint8_t value) {
    return r.code == MORELAPI_EVENT_LINK && !r.value.empty() && r.value[0] == value;
}

// The flags live in the fixture, not in the test body, so that a callback
// still running while the body ends never touches a destroyed one.
class Callbacks : public SimLibraryTest {
  protected:
    Flag a, b, c, d;
    std::atomic<bool> armed{false};
    std::atomic<uint32_t> result1{99}, result2{99};
    std::atomic<bool> sawA{false}, sawB{false};
};

// Each delivering thread registers the slot the other one is delivering:
// neither registration waits for the other thread's callback.
TEST_F(Callbacks, CrossSlotRegistrationsFromBothThreads) {
    EventRecorder::Get().SetHook([&](const Recorded &r) {
        if (IsLinkReport(r, 1) && armed.load()) {
            a.Set();
            if (b.Wait()) {
                result1 = RegisterEvent(MORELAPI_SLOT_CALL, EventRecorder::Callback, MORELAPI_SLOT_CALL, nullptr);
                c.Set();
                sawA = d.Wait();
            }
        } else if (r.slot == MORELAPI_SLOT_CALL && armed.load()) {
            b.Set();
            if (a.Wait()) {
                result2 = RegisterEvent(1, EventRecorder::Callback, 1, nullptr);
                d.Set();
                sawB = c.Wait();
            }
        }
    });
    armed = true;
    sim::DropLink(dev);
    ASSERT_TRUE(a.Wait());
    ASSERT_NE(sim::Ring(dev, "5550100"), 0);
    EXPECT_TRUE(c.Wait(10000ms));
    EXPECT_TRUE(d.Wait(10000ms));
    EXPECT_EQ(result1.load(), 1u);
    EXPECT_EQ(result2.load(), 1u);
    armed = false;
    EXPECT_TRUE(WaitLinkUp());
}

// The link report and a volume event of slot 1 at once: the volume
// callback's value stays its own; the report gets its value elsewhere.
TEST_F(Callbacks, OneBufferIsNeverWrittenByBothThreads) {
    uint8_t buffer[4] = {};
    ASSERT_EQ(RegisterEvent(1, EventRecorder::Callback, 1, buffer), 1u);
    std::atomic<void *> volumeData{nullptr}, reportData{nullptr};
    std::atomic<int> reportValue{-1};
    EventRecorder::Get().SetHook([&](const Recorded &r) {
        if (r.code == MORELAPI_EVENT_RINGER_VOLUME && !armed.exchange(true)) {
            volumeData = r.data;
            const uint8_t seen = *static_cast<uint8_t *>(r.data);
            a.Set();
            if (b.Wait())
                sawA = *static_cast<uint8_t *>(r.data) == seen;
        } else if (IsLinkReport(r, 0) && armed.load()) {
            reportData = r.data;
            reportValue = *static_cast<uint8_t *>(r.data);
            b.Set();
        }
    });
    ASSERT_TRUE(sim::SetRingerVolume(dev, 2));
    ASSERT_TRUE(a.Wait());
    sim::DropLink(dev);
    ASSERT_TRUE(b.Wait());
    EXPECT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RINGER_VOLUME, 1));
    EXPECT_EQ(volumeData.load(), buffer);
    EXPECT_TRUE(sawA.load()) << "the volume callback saw its value change";
    EXPECT_NE(reportData.load(), static_cast<void *>(buffer));
    EXPECT_EQ(reportValue.load(), 0);
    EXPECT_TRUE(WaitLinkUp());
}

// Stops from two threads at once, in many interleavings: an application
// thread and a notification callback; a notification callback and the link
// report's callback. Every call returns and the library starts again.
class StopRaces : public Callbacks {
  protected:
    // The link reports of the last cycle are cleared away: the new link-up
    // report may come before the slots are registered.
    void StartAndWait() {
        a.Reset();
        b.Reset();
        armed = false;
        EventRecorder::Get().Clear();
        EventRecorder::Get().SetHook(hook);
        ASSERT_EQ(InitializeUsbApiLib(), 1);
        RegisterAllSlots();
        ASSERT_TRUE(WaitLinkUp());
    }
    static constexpr int kCycles = 200;
    std::function<void(const Recorded &)> hook;
};

TEST_F(StopRaces, ApplicationAndCallback) {
    hook = [&](const Recorded &r) {
        if (r.code == kSignal) {
            a.Set();
            TerminateUsbApiLib();
        }
    };
    TerminateUsbApiLib();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        ASSERT_NO_FATAL_FAILURE(StartAndWait());
        ASSERT_TRUE(sim::SendNotification(dev, kSignal, nullptr, 0));
        ASSERT_TRUE(a.Wait());
        ReturnsWithin("TerminateUsbApiLib beside a callback's", [] { TerminateUsbApiLib(); });
        ASSERT_EQ(IsSPphoneAvailable(), 0);
    }
}

TEST_F(StopRaces, EventThreadAndLinkThreadCallbacks) {
    hook = [&](const Recorded &r) {
        if (r.code == kSignal && !armed.exchange(true)) {
            a.Set();
            b.Wait();
            TerminateUsbApiLib();
            c.Set();
        } else if (IsLinkReport(r, 0) && armed.load()) {
            b.Set();
            TerminateUsbApiLib();
            d.Set();
        }
    };
    TerminateUsbApiLib();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        c.Reset();
        d.Reset();
        ASSERT_NO_FATAL_FAILURE(StartAndWait());
        ASSERT_TRUE(sim::SendNotification(dev, kSignal, nullptr, 0));
        ASSERT_TRUE(a.Wait());
        sim::DropLink(dev);
        ASSERT_TRUE(c.Wait(10000ms)) << "the event thread's stop did not return";
        ASSERT_TRUE(d.Wait(10000ms)) << "the link thread's stop did not return";
        ReturnsWithin("TerminateUsbApiLib after two callbacks'", [] { TerminateUsbApiLib(); });
    }
}

// A callback that does not return while the device keeps sending: the
// waiting notifications stay within the queue's cap, the oldest go first,
// and once the callback returns the newest arrive in order.
TEST_F(Callbacks, BlockedCallbackKeepsTheQueueBounded) {
    constexpr uint32_t kNotifications = 100000;
    ASSERT_NO_FATAL_FAILURE(HoldEventThread());
    EventRecorder::Get().Clear();
    for (uint32_t i = 1; i <= kNotifications; ++i) {
        uint8_t item[2] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
        ASSERT_TRUE(sim::SendNotification(dev, MORELAPI_EVENT_SYSTEM_DATA, item, sizeof item));
    }
    ASSERT_TRUE(sim::WaitIdle(dev, 60000ms));
    uint8_t status = 0;
    ASSERT_EQ(GetSPphoneStatus(&status), 1); // answered after every notification was taken in
    {
        morel::ContextRef ref;
        ASSERT_TRUE(ref);
        morel::LockGuard g(ref->eventLock);
        EXPECT_LE(ref->eventQueueCount, morel::kEventQueueMax);
        EXPECT_LE(ref->keptRecordCount[0] + ref->keptRecordCount[1], 128u);
        EXPECT_GE(ref->droppedNotifications, kNotifications - morel::kEventQueueMax);
    }
    ReleaseEventThread();
    const auto id = [](const Recorded &r) { return static_cast<uint16_t>(r.value[0] | r.value[1] << 8); };
    const uint16_t last = static_cast<uint16_t>(kNotifications);
    ASSERT_TRUE(EventRecorder::Get().WaitFor(
        [&](const std::vector<Recorded> &ev) { return !ev.empty() && ev.back().value.size() == 2 && id(ev.back()) == last; },
        30000ms));
    const std::vector<Recorded> got = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_SYSTEM_DATA);
    ASSERT_LE(got.size(), morel::kEventQueueMax);
    ASSERT_GE(got.size(), morel::kEventQueueMax / 2);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(id(got[i]), static_cast<uint16_t>(last - (got.size() - 1 - i))) << "the newest, in order";
}

// Several transport threads calling the receive callback at once: every
// frame arrives whole, and a stop releases every producer waiting for room.
class TransportThreads : public BareContextTest {};

TEST_F(TransportThreads, FramesFromTwoThreadsArriveWhole) {
    ctx->deviceAvailable = 1;
    constexpr int kPerThread = 400;
    auto produce = [](uint8_t tag) {
        for (int i = 0; i < kPerThread; ++i)
            ScriptedTransport::Inject(NotificationFrame(0x0107, {tag}));
    };
    std::thread one(produce, 1), two(produce, 2);
    one.join();
    two.join();
    size_t ones = 0, twos = 0;
    auto count = [&] {
        morel::LockGuard g(ctx->eventLock);
        ones = twos = 0;
        for (morel::EventRecord *r = ctx->eventQueue; r != nullptr; r = r->next) {
            EXPECT_EQ(morel::Get16(r->frame + morel::kOffCommand), 0x0107);
            ones += r->frame[20] == 1;
            twos += r->frame[20] == 2;
        }
        return ones + twos;
    };
    while (count() < 2 * kPerThread)
        ASSERT_EQ(morel::EventWait(ctx->notifyEvent, 5000), morel::WaitResult::Signalled);
    EXPECT_EQ(ones, size_t{kPerThread});
    EXPECT_EQ(twos, size_t{kPerThread});
}

class FullRing : public BareContextTest {
  protected:
    bool StartReceiver() override { return false; }
};

TEST_F(FullRing, StopReleasesEveryProducerWaitingForRoom) {
    std::vector<uint8_t> fill(morel::kRingSize, 0);
    ScriptedTransport::Inject(fill); // the ring is full; nobody takes from it
    auto produce = [] { ScriptedTransport::Inject(NotificationFrame(0x0107, {1})); };
    std::thread one(produce), two(produce);
    ctx->stopping = true;
    morel::EventRelease(ctx->roomEvent);
    ReturnsWithin("the producers", [&] {
        one.join();
        two.join();
    });
}

} // namespace
} // namespace morel_test
