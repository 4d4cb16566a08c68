// A context with only the sender and receiver threads and a scripted
// transport: for tests of the frame, ring and matching machinery that must
// control every byte the "device" sends.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/context.h"
#include "events/notify.h"
#include "link/frame.h"
#include "link/ring.h"
#include "link/send.h"
#include "link/transport.h"
#include "tests/support/context_storage.h"

namespace morel_test {

// A frame as the device would send it.
std::vector<uint8_t> DeviceFrame(uint16_t kind, uint32_t sequence, uint16_t classId = 1, uint16_t commandId = 9,
                                 uint8_t status = 0, std::vector<uint8_t> data = {}, uint8_t version = 0x30,
                                 uint16_t source = 3);
// A notification frame (kind 0, class 16) with data from offset 20.
std::vector<uint8_t> NotificationFrame(uint16_t eventId, std::vector<uint8_t> data = {});

// The scripted device: records every written frame and lets a test answer.
struct ScriptedTransport {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> written;
    // Runs on the sender thread for each written frame; may call Inject.
    std::function<void(const std::vector<uint8_t> &)> onWrite;

    static ScriptedTransport &Get();
    void Reset();
    bool WaitWritten(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Hands bytes to the library as the transport's thread would.
    static void Inject(const std::vector<uint8_t> &bytes, int32_t type = TALVO_TYPE_DATA);
};

// A context with the sender and receiver threads running, the device
// available and a transport handle of 1.
class BareContextTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Tests of the ring itself drive ExtractFrame by hand.
    virtual bool StartReceiver() { return true; }
    morel::ApiContext *ctx = nullptr;

  private:
    std::unique_ptr<morel::ContextStorage> storage_;
    std::thread sender_, receiver_;
};

} // namespace morel_test
