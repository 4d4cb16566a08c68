// Shared test fixtures: the library started on an in-process simulated
// device, and a recorder of every event the application receives.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/commands.h"
#include "core/context.h"
#include "core/platform.h"
#include "link/frame.h"
#include "link/transport.h"
#include "morelapi.h"
#include "sim/sim.h"
#include "transport/sim_transport.h"

namespace morel_test {

using namespace std::chrono_literals;

struct Recorded {
    uint32_t code;
    uint32_t slot; // the registration's userWord: the fixture registers slot n with userWord n
    std::vector<uint8_t> value; // the value bytes for value-carrying events, else empty
    void *data;
};

// Collects the events of every slot; waits are condition-variable waits with
// a deadline.
class EventRecorder {
  public:
    static EventRecorder &Get();
    static void MORELAPI_CALL Callback(uint32_t code, uint32_t userWord, void *data);

    void Clear();
    std::vector<Recorded> Events();
    std::vector<Recorded> EventsWithCode(uint32_t code);
    size_t Count(uint32_t code);
    bool WaitFor(const std::function<bool(const std::vector<Recorded> &)> &pred,
                 std::chrono::milliseconds timeout = 5000ms);
    bool WaitForCount(uint32_t code, size_t count, std::chrono::milliseconds timeout = 5000ms);
    // Runs act, then waits for one more event that matches (or has code).
    bool AndWait(const std::function<bool(const Recorded &)> &match, const std::function<void()> &act,
                 std::chrono::milliseconds timeout = 5000ms);
    bool AndWait(uint32_t code, const std::function<void()> &act, std::chrono::milliseconds timeout = 5000ms);
    // Runs inside the callback before it returns (for tests that act there).
    void SetHook(std::function<void(const Recorded &)> hook);

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Recorded> events_;
    std::function<void(const Recorded &)> hook_;
};

// A one-shot signal with a deadline on the wait.
struct Flag {
    std::mutex m;
    std::condition_variable cv;
    bool set = false;
    void Set() {
        std::lock_guard<std::mutex> g(m);
        set = true;
        cv.notify_all();
    }
    bool Wait(std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, timeout, [&] { return set; });
    }
    void Reset() {
        std::lock_guard<std::mutex> g(m);
        set = false;
    }
};

// Registers all eight slots with the recorder (userWord = slot, no buffer).
void RegisterAllSlots();

// Library on a simulated device. Tests may change config() before SetUp by
// overriding Configure().
class SimLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    virtual void Configure(sim::DeviceConfig &) {}
    // Starts the library (called by SetUp unless startInSetUp is false).
    void StartLibrary();
    bool WaitLinkUp(std::chrono::milliseconds timeout = 10000ms);
    // Stops the library and puts a new device in place of the old one (the
    // library is not started again).
    void ReplaceDevice(const sim::DeviceConfig &cfg, const sim::FaultPlan &plan = {});
    sim::Log Log() { return sim::GetLog(dev); }
    // Host frames of (class, command) in the device's log; -1 matches any.
    std::vector<sim::HostFrame> FramesOf(int classId, int commandId, int destination = -1);
    std::vector<sim::HostFrame> FramesOf(morel::Command c, int destination = -1) {
        return FramesOf(c.classId, c.commandId, destination);
    }
    // How many requests c of the application the device has received.
    size_t Sent(morel::Command c) { return FramesOf(c, morel::kAddrApp).size(); }
    sim::HostFrame LastSent(morel::Command c);
    // Requests of any kind the device has received (keep-alives are not requests).
    size_t RequestsSent();
    // A rule that makes the device misbehave on the next request c.
    static sim::FaultRule RuleFor(morel::Command c, uint32_t actions, int destination = -1);
    // Returns once the event thread has handled every notification sent
    // before: a signal sent now is handled after all of them.
    void DrainEvents();
    // Keeps the event thread inside a callback until ReleaseEventThread (or
    // the end of the test): notifications wait in the queue meanwhile. Takes
    // the recorder's hook.
    void HoldEventThread();
    void ReleaseEventThread();

    sim::Device *dev = nullptr;
    bool startInSetUp = true;
    bool waitForLink = true;

  private:
    Flag held_, released_;
};

} // namespace morel_test
