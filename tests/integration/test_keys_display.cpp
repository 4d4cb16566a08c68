// Keys and display: the 'F' key press machine, the key and display getters,
// and the display notification with and without its image.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

namespace cmd = morel::cmd;

struct KeyFrame {
    uint8_t action;
    uint8_t key;
    bool operator==(const KeyFrame &) const = default;
};

std::ostream &operator<<(std::ostream &os, const KeyFrame &k) {
    return os << "{action " << int(k.action) << ", key " << int(k.key) << "}";
}

constexpr uint8_t F = 'F';

using Keys = SimLibraryTest;

// A key down of 'F' is held, not sent: its release becomes a short press
// below 750 ms (also across the tick wrap), a long press from 750 ms on; a
// short press of 'F' drops it, another key sends it first.
TEST_F(Keys, HeldFKeyBecomesShortOrLongPress) {
    struct Step {
        uint32_t afterMs;
        uint8_t key, action;
        int result;
    };
    const struct {
        const char *name;
        uint32_t startTick;
        std::vector<Step> steps;
        std::vector<KeyFrame> sent;
    } cases[] = {
        {"749 ms: short press", 100000, {{0, F, 1, 1}, {749, F, 2, 1}}, {{0, F}}},
        {"750 ms: long press", 100000, {{0, F, 1, 1}, {750, F, 2, 1}}, {{1, F}, {2, F}}},
        {"across the tick wrap: 256 + 496 ms", 0xFFFFFF00u, {{0, F, 1, 1}, {752, F, 2, 1}}, {{1, F}, {2, F}}},
        {"just below the threshold across the wrap", 0xFFFFFFF0u, {{0, F, 1, 1}, {749, F, 2, 1}}, {{0, F}}},
        {"another key after 100 ms", 5000, {{0, F, 1, 1}, {100, '5', 0, 1}, {0, F, 2, 0}}, {{0, F}, {0, '5'}}},
        {"another key after 800 ms", 5000, {{0, F, 1, 1}, {800, '5', 0, 1}, {0, F, 2, 0}},
         {{1, F}, {2, F}, {0, '5'}}},
        {"key up without a held press", 1000, {{0, F, 2, 0}}, {}},
        {"a short press drops the held one", 1000, {{0, F, 1, 1}, {5000, F, 0, 1}, {0, F, 2, 0}}, {{0, F}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        morel::SetTestTick(true, c.startTick);
        sim::ClearLog(dev);
        for (const Step &step : c.steps) {
            morel::AdvanceTestTick(step.afterMs);
            EXPECT_EQ(SetKey(step.key, step.action), step.result);
        }
        std::vector<KeyFrame> sent;
        for (const sim::HostFrame &f : FramesOf(cmd::Key)) {
            EXPECT_EQ(f.destination, morel::kAddrApp);
            EXPECT_EQ(f.length, 64u);
            sent.push_back({f.bytes[20], f.bytes[21]});
        }
        EXPECT_EQ(sent, c.sent);
    }
}

TEST_F(Keys, GetKeyReturnsTheDevicesLastKeyCodeFirst) {
    ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_KEY, [&] { sim::PressKey(dev, '7', 3); }));
    uint8_t code = 0, action = 0;
    ASSERT_EQ(GetKey(&code, &action), 1);
    EXPECT_EQ(code, '7');
    EXPECT_EQ(action, 3);
}

std::vector<uint8_t> Image(uint8_t seed) {
    std::vector<uint8_t> img(MORELAPI_DISPLAY_BYTES);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>(seed + i * 7);
    return img;
}

class Display : public SimLibraryTest {
  protected:
    // Display reads go to the start-up address, never the application's.
    size_t DisplayReads() {
        const std::vector<sim::HostFrame> reads = FramesOf(cmd::DisplayRead);
        for (const sim::HostFrame &f : reads) {
            EXPECT_EQ(f.destination, morel::kAddrSync);
        }
        return reads.size();
    }
    std::mutex m; // the image GetLCDdata gave inside the last display callback
    std::vector<uint8_t> inCallback;
};

// The image a display notification carries whole is taken as it is; without
// it, or with part of it, the image is read once from the device before the
// callback runs.
TEST_F(Display, NotificationTakesTheWholeImageOrReadsItOnce) {
    const struct {
        const char *name;
        std::vector<uint8_t> sent;
        size_t reads;
    } cases[] = {{"whole", Image(1), 0}, {"none", {}, 1}, {"part", std::vector<uint8_t>(100, 0xEE), 1}};
    EventRecorder::Get().SetHook([this](const Recorded &r) {
        std::vector<uint8_t> img(MORELAPI_DISPLAY_BYTES);
        if (r.code == MORELAPI_EVENT_DISPLAY && GetLCDdata(img.data()) == 1) {
            std::lock_guard<std::mutex> g(m);
            inCallback = img;
        }
    });
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> img = c.reads ? Image(static_cast<uint8_t>(c.sent.size())) : c.sent;
        const std::vector<uint8_t> device = c.reads ? img : Image(0xAA); // what the device's display read answers
        sim::Update(dev, [&](sim::DeviceState &st) {
            st.displayAuto = false;
            std::copy(device.begin(), device.end(), st.display.begin());
        });
        sim::ClearLog(dev);
        ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_DISPLAY, [&] {
            ASSERT_TRUE(sim::SendNotification(dev, MORELAPI_EVENT_DISPLAY, c.sent.data(), c.sent.size()));
        }));
        std::vector<uint8_t> now(MORELAPI_DISPLAY_BYTES);
        EXPECT_EQ(GetLCDdata(now.data()), 1);
        EXPECT_EQ(now, img);
        {
            std::lock_guard<std::mutex> g(m);
            EXPECT_EQ(inCallback, img);
        }
        DrainEvents();
        EXPECT_EQ(DisplayReads(), c.reads);
    }
}

// A burst of display changes without the image, waiting behind a busy
// callback, costs one image read (here one that is never answered) and
// delays the key event behind it by that one read.
TEST_F(Display, BurstBehindABusyCallbackCostsOneRead) {
    morel::g_timing.replyTimeoutMs = 300;
    sim::FaultRule silent = RuleFor(cmd::DisplayRead, sim::kNoAnswer, morel::kAddrSync);
    silent.count = 0;
    sim::AddFaultRule(dev, silent);
    const size_t readsBefore = DisplayReads();
    ASSERT_NO_FATAL_FAILURE(HoldEventThread());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(sim::SendNotification(dev, MORELAPI_EVENT_DISPLAY, nullptr, 0));
    const uint8_t key[] = {0, '5'};
    ASSERT_TRUE(sim::SendNotification(dev, MORELAPI_EVENT_KEY, key, sizeof key));
    ASSERT_TRUE(sim::WaitIdle(dev, 5000ms));
    // The key notification is queued once the receiver has passed it; a
    // request answered after it proves that.
    uint8_t status = 0;
    ASSERT_EQ(GetSPphoneStatus(&status), 1);
    ReleaseEventThread();
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_KEY, 1, 10000ms));
    EXPECT_EQ(DisplayReads(), readsBefore + 1);
}

// A display notification without image while a request holds the turn,
// whose answer the device delays: the read and the callback wait up to
// 600 ms for the turn, and are dropped after that.
struct BusyCase {
    uint32_t delayMs;
    size_t reads;     // display reads expected
    size_t callbacks; // display callbacks expected
};

class DisplayWhileBusy : public Display, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(DisplayWhileBusy, WaitsUpToSixHundredMillisecondsForTheTurn) {
    const BusyCase c = GetParam();
    sim::FaultRule delay = RuleFor(cmd::GetSlowTalk, sim::kDelay, morel::kAddrApp);
    delay.delayMs = c.delayMs;
    sim::AddFaultRule(dev, delay);
    sim::ClearLog(dev);
    std::atomic<int> result{-1};
    std::thread busy([&] {
        uint8_t mode;
        result = GetSlowTalk(&mode);
    });
    ASSERT_TRUE(sim::WaitUntil(dev, [](const sim::Log &l) { return l.counters.faultsApplied == 1; }, 5000ms));
    ASSERT_TRUE(sim::SendNotification(dev, MORELAPI_EVENT_DISPLAY, nullptr, 0));
    busy.join();
    EXPECT_EQ(result.load(), 1);
    if (c.callbacks > 0) {
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_DISPLAY, c.callbacks));
    }
    DrainEvents();
    EXPECT_EQ(DisplayReads(), c.reads);
    EXPECT_EQ(EventRecorder::Get().Count(MORELAPI_EVENT_DISPLAY), c.callbacks);
    if (c.reads == 1) {
        const auto log = Log().frames;
        const auto at = [&](morel::Command k) {
            return std::find_if(log.begin(), log.end(), [&](const sim::HostFrame &f) {
                return f.classId == k.classId && f.commandId == k.commandId;
            });
        };
        EXPECT_LT(at(cmd::GetSlowTalk), at(cmd::DisplayRead)) << "the display read went out while the turn was taken";
    }
}

INSTANTIATE_TEST_SUITE_P(Display, DisplayWhileBusy,
                         ::testing::Values(BusyCase{250, 1, 1},   // freed within the wait: read, then callback
                                           BusyCase{1500, 0, 0}), // busy beyond 600 ms: neither
                         [](const auto &info) { return info.param.reads ? "FreedInTime" : "BusyTooLong"; });

} // namespace
} // namespace morel_test
