#include "tests/support/fixture.h"

#include <algorithm>

namespace morel_test {

EventRecorder &EventRecorder::Get() {
    static EventRecorder recorder;
    return recorder;
}

void MORELAPI_CALL EventRecorder::Callback(uint32_t code, uint32_t userWord, void *data) {
    Recorded r{code, userWord, {}, data};
    const bool valueEvent = code == MORELAPI_EVENT_LINK || code == MORELAPI_EVENT_RINGER_VOLUME ||
                            code == MORELAPI_EVENT_RECEIVE_VOLUME || code == MORELAPI_EVENT_PLAYBACK_VOLUME ||
                            userWord == MORELAPI_SLOT_CALL || code == MORELAPI_EVENT_SYSTEM_DATA;
    if (valueEvent && data != nullptr) {
        size_t n = code == MORELAPI_EVENT_SYSTEM_DATA ? 2 : 1;
        r.value.assign(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + n);
    }
    EventRecorder &self = Get();
    std::function<void(const Recorded &)> hook;
    {
        std::lock_guard<std::mutex> g(self.m_);
        hook = self.hook_;
    }
    if (hook)
        hook(r);
    std::lock_guard<std::mutex> g(self.m_);
    self.events_.push_back(std::move(r));
    self.cv_.notify_all();
}

void EventRecorder::Clear() {
    std::lock_guard<std::mutex> g(m_);
    events_.clear();
    hook_ = nullptr;
}

std::vector<Recorded> EventRecorder::Events() {
    std::lock_guard<std::mutex> g(m_);
    return events_;
}

std::vector<Recorded> EventRecorder::EventsWithCode(uint32_t code) {
    std::vector<Recorded> out, all = Events();
    std::copy_if(all.begin(), all.end(), std::back_inserter(out), [code](const Recorded &r) { return r.code == code; });
    return out;
}

size_t EventRecorder::Count(uint32_t code) { return EventsWithCode(code).size(); }

bool EventRecorder::WaitFor(const std::function<bool(const std::vector<Recorded> &)> &pred,
                            std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, timeout, [&] { return pred(events_); });
}

bool EventRecorder::WaitForCount(uint32_t code, size_t count, std::chrono::milliseconds timeout) {
    const auto hasCode = [code](const Recorded &r) { return r.code == code; };
    return WaitFor([&](const std::vector<Recorded> &ev) { return size_t(std::count_if(ev.begin(), ev.end(), hasCode)) >= count; },
                   timeout);
}

bool EventRecorder::AndWait(const std::function<bool(const Recorded &)> &match, const std::function<void()> &act,
                            std::chrono::milliseconds timeout) {
    const auto matching = [&](const std::vector<Recorded> &ev) {
        return static_cast<size_t>(std::count_if(ev.begin(), ev.end(), match));
    };
    const size_t before = matching(Events());
    act();
    return WaitFor([&](const std::vector<Recorded> &ev) { return matching(ev) > before; }, timeout);
}

bool EventRecorder::AndWait(uint32_t code, const std::function<void()> &act, std::chrono::milliseconds timeout) {
    return AndWait([code](const Recorded &r) { return r.code == code; }, act, timeout);
}

void EventRecorder::SetHook(std::function<void(const Recorded &)> hook) {
    std::lock_guard<std::mutex> g(m_);
    hook_ = std::move(hook);
}

void RegisterAllSlots() {
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        RegisterEvent(slot, EventRecorder::Callback, slot, nullptr);
}

void SimLibraryTest::SetUp() {
    morel::SetTestTick(false);
    morel::SetSleepHook(nullptr);
    EventRecorder::Get().Clear();
    sim::DeviceConfig cfg;
    Configure(cfg);
    dev = sim::CreateDevice(cfg);
    SimTransportBind(dev);
    morel::SetTransportForTesting(SimTransportOpen, SimTransportWrite, SimTransportClose);
    if (startInSetUp) {
        StartLibrary();
    }
}

void SimLibraryTest::StartLibrary() {
    ASSERT_EQ(InitializeUsbApiLib(), 1);
    RegisterAllSlots();
    if (waitForLink) {
        ASSERT_TRUE(WaitLinkUp()) << "the link did not come up";
    }
}

// The slots are registered after the start, so the in-process device may
// have finished its start-up, and the link-up report gone, before anybody
// listened: wait for the state. A report that is coming wakes the wait; a
// report that came before the registration left the state behind it. When a
// report has been recorded, the last one must say up, so that a test never
// goes on while the link-up report is still on its way.
bool SimLibraryTest::WaitLinkUp(std::chrono::milliseconds timeout) {
    return EventRecorder::Get().WaitFor(
        [](const std::vector<Recorded> &ev) {
            if (IsSPphoneAvailable() != 1)
                return false;
            for (auto it = ev.rbegin(); it != ev.rend(); ++it)
                if (it->code == MORELAPI_EVENT_LINK)
                    return !it->value.empty() && it->value[0] == 1;
            return true;
        },
        timeout);
}

std::vector<sim::HostFrame> SimLibraryTest::FramesOf(int classId, int commandId, int destination) {
    std::vector<sim::HostFrame> out;
    for (auto &f : sim::GetLog(dev).frames)
        if ((classId < 0 || f.classId == classId) && (commandId < 0 || f.commandId == commandId) &&
            (destination < 0 || f.destination == destination))
            out.push_back(f);
    return out;
}

sim::HostFrame SimLibraryTest::LastSent(morel::Command c) {
    const std::vector<sim::HostFrame> frames = FramesOf(c, morel::kAddrApp);
    EXPECT_FALSE(frames.empty()) << "no request " << c.classId << "/" << c.commandId << " was sent";
    return frames.empty() ? sim::HostFrame{} : frames.back();
}

size_t SimLibraryTest::RequestsSent() {
    const std::deque<sim::HostFrame> frames = Log().frames;
    return std::count_if(frames.begin(), frames.end(), [](const sim::HostFrame &f) { return f.kind == morel::kKindRequest; });
}

sim::FaultRule SimLibraryTest::RuleFor(morel::Command c, uint32_t actions, int destination) {
    sim::FaultRule rule;
    rule.classId = c.classId;
    rule.commandId = c.commandId;
    rule.destination = destination;
    rule.actions = actions;
    return rule;
}

// A signal that no request makes the device send (slot 7).
constexpr uint16_t kDrainSignal = 0x0701;
// A signal of slot 1 that holds the event thread.
constexpr uint16_t kHoldSignal = 0x0111;

void SimLibraryTest::DrainEvents() {
    ASSERT_TRUE(EventRecorder::Get().AndWait(kDrainSignal, [&] {
        ASSERT_TRUE(sim::SendNotification(dev, kDrainSignal, nullptr, 0));
    })) << "notifications are not handled";
}

void SimLibraryTest::HoldEventThread() {
    held_.Reset();
    released_.Reset();
    EventRecorder::Get().SetHook([this](const Recorded &r) {
        if (r.code == kHoldSignal) {
            held_.Set();
            released_.Wait(600s); // TearDown releases it at the latest
        }
    });
    ASSERT_TRUE(sim::SendNotification(dev, kHoldSignal, nullptr, 0));
    ASSERT_TRUE(held_.Wait()) << "the event thread never came";
}

void SimLibraryTest::ReleaseEventThread() { released_.Set(); }

void SimLibraryTest::ReplaceDevice(const sim::DeviceConfig &cfg, const sim::FaultPlan &plan) {
    TerminateUsbApiLib();
    SimTransportBind(nullptr);
    sim::DestroyDevice(dev);
    dev = sim::CreateDevice(cfg);
    sim::SetFaultPlan(dev, plan);
    SimTransportBind(dev);
    EventRecorder::Get().Clear();
}

void SimLibraryTest::TearDown() {
    ReleaseEventThread();
    TerminateUsbApiLib();
    SimTransportBind(nullptr);
    sim::DestroyDevice(dev);
    dev = nullptr;
    morel::SetTransportForTesting(nullptr, nullptr, nullptr);
    morel::SetTestTick(false);
    morel::SetSleepHook(nullptr);
    morel::g_timing.replyTimeoutMs = 3000;
    morel::g_timing.idleWaitMs = 2000;
    morel::g_timing.keepAliveAfterMs = 2000;
    morel::g_timing.displayRetryMs = 100;
}

} // namespace morel_test
