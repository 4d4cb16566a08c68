// Library start and stop.
#include <condition_variable>
#include <future>
#include <mutex>

#include "api/lifecycle.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

class LifecycleTest : public SimLibraryTest {
  protected:
    void SetUp() override {
        startInSetUp = false;
        SimLibraryTest::SetUp();
    }
};

void ExpectStopped() {
    EXPECT_EQ(IsSPphoneAvailable(), 0);
    EXPECT_EQ(IsCommandActive(), 0);
    EXPECT_EQ(IsProductDefault(), 0);
    EXPECT_EQ(DoCancelCommand(), 1);
    EXPECT_EQ(RegisterEvent(1, EventRecorder::Callback, 1, nullptr), 0u);
    EXPECT_EQ(UnregisterEvent(1), 0u);
    uint8_t status = 0x55;
    EXPECT_EQ(GetSPphoneStatus(&status), 0);
    EXPECT_EQ(status, 0x55);
    EXPECT_EQ(ErrorCode(), 0);
    EXPECT_EQ(Reboot(), 0);
}

TEST_F(LifecycleTest, EverythingFailsBeforeStartAndAfterStop) {
    ExpectStopped();
    StartLibrary();
    EXPECT_EQ(IsSPphoneAvailable(), 1);
    TerminateUsbApiLib();
    ExpectStopped();
    TerminateUsbApiLib(); // a second stop does nothing
    ExpectStopped();
}

TEST_F(LifecycleTest, StartsAgainAfterStop) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EventRecorder::Get().Clear();
        StartLibrary();
        uint8_t status = 0;
        EXPECT_EQ(GetSPphoneStatus(&status), 1);
        TerminateUsbApiLib();
    }
}

TEST_F(LifecycleTest, StartFailsCleanlyWhenAWorkerCannotStart) {
    for (int worker = 0; worker < 4; ++worker) {
        SCOPED_TRACE(worker);
        morel::FailWorkerStartForTesting(worker);
        EXPECT_EQ(InitializeUsbApiLib(), 0);
        ExpectStopped();
    }
    morel::FailWorkerStartForTesting(-1);
    StartLibrary();
}

TEST_F(LifecycleTest, SecondStartChangesNothing) {
    StartLibrary();
    auto before = sim::GetCounters(dev).opens;
    EXPECT_EQ(InitializeUsbApiLib(), 1);
    EXPECT_EQ(IsSPphoneAvailable(), 1);
    EXPECT_EQ(sim::GetCounters(dev).opens, before);
}

std::mutex g_attemptsMutex;
std::condition_variable g_attemptsCv;
int g_attempts = 0;
uint32_t CountAttempt(uint32_t) {
    {
        std::lock_guard<std::mutex> g(g_attemptsMutex);
        ++g_attempts;
    }
    g_attemptsCv.notify_all();
    return 1;
}

TEST_F(LifecycleTest, StartWithoutDeviceSucceedsAndKeepsTheGuardsClosed) {
    sim::FaultPlan plan;
    plan.failOpens = 1000000;
    sim::SetFaultPlan(dev, plan);
    g_attempts = 0;
    morel::SetSleepHook(CountAttempt);
    waitForLink = false;
    StartLibrary();
    {
        std::unique_lock<std::mutex> g(g_attemptsMutex);
        ASSERT_TRUE(g_attemptsCv.wait_for(g, 5s, [] { return g_attempts >= 3; })) << "attempts go on";
    }
    EXPECT_EQ(IsSPphoneAvailable(), 0);
    EXPECT_EQ(IsProductDefault(), 0);
    uint16_t version = 0x1234;
    EXPECT_EQ(GetVersionSpeakerphone(0, &version), 0);
    EXPECT_EQ(version, 0x1234);
    EXPECT_EQ(GetSPphoneStatus(nullptr), 0);
    EXPECT_LE(EventRecorder::Get().Count(MORELAPI_EVENT_LINK), 1u) << "one down report per reconnect";
    TerminateUsbApiLib(); // ends the endless retry promptly
}

TEST_F(LifecycleTest, StopReleasesARequestInFlightAndFreesQueuedPackets) {
    StartLibrary();
    sim::FaultRule slow;
    slow.classId = 1;
    slow.commandId = 10;
    slow.actions = sim::kNoAnswer;
    sim::AddFaultRule(dev, slow);
    morel::g_timing.replyTimeoutMs = 60000;
    auto request = std::async(std::launch::async, [] { return GetDestination(nullptr, nullptr); });
    ASSERT_TRUE(sim::WaitUntil(
        dev, [](const sim::Log &l) { return !l.frames.empty() && l.frames.back().commandId == 10; }, 5000ms));
    ASSERT_EQ(IsCommandActive(), 1);
    TerminateUsbApiLib();
    EXPECT_EQ(request.get(), 0);
    ExpectStopped();
}

// An application callback may stop the library from the event thread and
// from the link thread.
TEST_F(LifecycleTest, CallbackMayStopTheLibrary) {
    for (uint32_t code : {uint32_t{MORELAPI_EVENT_RINGER_VOLUME}, uint32_t{MORELAPI_EVENT_LINK}}) {
        SCOPED_TRACE(code);
        EventRecorder::Get().Clear();
        StartLibrary();
        std::promise<void> stopped;
        auto done = stopped.get_future();
        std::atomic<bool> once{false};
        EventRecorder::Get().SetHook([&, code](const Recorded &r) {
            if (r.code == code && !once.exchange(true)) {
                TerminateUsbApiLib();
                stopped.set_value();
            }
        });
        if (code == MORELAPI_EVENT_LINK)
            sim::DropLink(dev);
        else
            sim::SetRingerVolume(dev, 2);
        ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
        EventRecorder::Get().SetHook(nullptr);
        EXPECT_EQ(IsSPphoneAvailable(), 0);
    }
    // And it starts again.
    EventRecorder::Get().Clear();
    StartLibrary();
}

} // namespace
} // namespace morel_test
