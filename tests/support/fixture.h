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

#include "core/context.h"
#include "core/platform.h"
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
    std::thread::id thread;
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
    // Runs inside the callback before it returns (for tests that act there).
    void SetHook(std::function<void(const Recorded &)> hook);

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Recorded> events_;
    std::function<void(const Recorded &)> hook_;
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
    // Waits until the device has received n more host frames than now...
    sim::Log Log() { return sim::GetLog(dev); }
    // Host frames of (class, command) in the device's log.
    std::vector<sim::HostFrame> FramesOf(int classId, int commandId, int destination = -1);

    sim::Device *dev = nullptr;
    bool startInSetUp = true;
    bool waitForLink = true;
};

} // namespace morel_test
