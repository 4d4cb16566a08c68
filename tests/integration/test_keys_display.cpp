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

class Keys : public SimLibraryTest {
  protected:
    void SetUp() override {
        SimLibraryTest::SetUp();
        sim::ClearLog(dev);
    }
    std::vector<KeyFrame> KeyFrames() {
        std::vector<KeyFrame> out;
        for (const sim::HostFrame &f : FramesOf(cmd::Key)) {
            EXPECT_EQ(f.destination, morel::kAddrApp);
            EXPECT_EQ(f.length, 64u);
            out.push_back({f.bytes[20], f.bytes[21]});
        }
        return out;
    }
};

TEST_F(Keys, HeldFKeyBecomesShortOrLongPressAtRelease) {
    const struct {
        const char *name;
        uint32_t downTick;
        uint32_t heldMs;
        std::vector<KeyFrame> sent;
    } rows[] = {
        {"749 ms: short press", 100000, 749, {{0, F}}},
        {"750 ms: long press", 100000, 750, {{1, F}, {2, F}}},
        {"across the tick wrap: 256 + 496 ms", 0xFFFFFF00u, 752, {{1, F}, {2, F}}},
        {"just below the threshold across the wrap", 0xFFFFFFF0u, 749, {{0, F}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        morel::SetTestTick(true, row.downTick);
        sim::ClearLog(dev);
        EXPECT_EQ(SetKey(F, 1), 1);
        EXPECT_TRUE(KeyFrames().empty()) << "key down of 'F' is held, not sent";
        morel::AdvanceTestTick(row.heldMs);
        EXPECT_EQ(SetKey(F, 2), 1);
        EXPECT_EQ(KeyFrames(), row.sent);
    }
}

TEST_F(Keys, OtherKeyReleasesTheHeldFKeyFirst) {
    morel::SetTestTick(true, 5000);
    const struct {
        uint32_t heldMs;
        std::vector<KeyFrame> sent;
    } rows[] = {{100, {{0, F}, {0, '5'}}}, {800, {{1, F}, {2, F}, {0, '5'}}}};
    for (const auto &row : rows) {
        sim::ClearLog(dev);
        ASSERT_EQ(SetKey(F, 1), 1);
        morel::AdvanceTestTick(row.heldMs);
        EXPECT_EQ(SetKey('5', 0), 1);
        EXPECT_EQ(KeyFrames(), row.sent) << row.heldMs << " ms";
        EXPECT_EQ(SetKey(F, 2), 0) << "the press was resolved: a key up has nothing to release";
        EXPECT_EQ(KeyFrames(), row.sent);
    }
}

TEST_F(Keys, KeyUpWithoutHeldPressSendsNothing) {
    morel::SetTestTick(true, 1000);
    EXPECT_EQ(SetKey(F, 2), 0);
    EXPECT_TRUE(Log().frames.empty());
    // A short press of 'F' drops a held one, however long it was held.
    ASSERT_EQ(SetKey(F, 1), 1);
    morel::AdvanceTestTick(5000);
    EXPECT_EQ(SetKey(F, 0), 1);
    EXPECT_EQ(SetKey(F, 2), 0);
    EXPECT_EQ(KeyFrames(), (std::vector<KeyFrame>{{0, F}}));
}

TEST_F(Keys, GetKeyReturnsTheDevicesLastKeyCodeFirst) {
    ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_KEY, [&] { sim::PressKey(dev, '7', 3); }));
    uint8_t code = 0, action = 0;
    ASSERT_EQ(GetKey(&code, &action), 1);
    EXPECT_EQ(code, '7');
    EXPECT_EQ(action, 3);
}

TEST_F(Keys, WithoutALinkOnlyTheHeldKeyIsAccepted) {
    sim::FaultPlan noDevice;
    noDevice.failOpens = 1000000;
    ReplaceDevice({}, noDevice);
    waitForLink = false;
    StartLibrary();
    EXPECT_EQ(SetKey(F, 1), 1);
    EXPECT_EQ(SetKey(F, 2), 0) << "the release cannot be sent";
    EXPECT_EQ(SetKey('5', 0), 0);
    uint8_t code = 0xAA, action = 0xAA;
    EXPECT_EQ(GetKey(&code, &action), 0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(action, 0);
    std::vector<uint8_t> image(MORELAPI_DISPLAY_BYTES, 0xAA);
    EXPECT_EQ(GetLCDdata(image.data()), 0);
    EXPECT_NE(image, std::vector<uint8_t>(MORELAPI_DISPLAY_BYTES, 0xAA)) << "the image is copied all the same";
    EXPECT_TRUE(FramesOf(cmd::Key).empty());
}

std::vector<uint8_t> Image(uint8_t seed) {
    std::vector<uint8_t> img(MORELAPI_DISPLAY_BYTES);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>(seed + i * 7);
    return img;
}

class Display : public SimLibraryTest {
  protected:
    // The device's own image, as its display read answers it.
    void SetDeviceImage(const std::vector<uint8_t> &img) {
        sim::Update(dev, [&](sim::DeviceState &st) {
            st.displayAuto = false;
            std::copy(img.begin(), img.end(), st.display.begin());
        });
        sim::ClearLog(dev);
    }
    std::vector<uint8_t> LibraryImage() {
        std::vector<uint8_t> img(MORELAPI_DISPLAY_BYTES);
        EXPECT_EQ(GetLCDdata(img.data()), 1);
        return img;
    }
    // Records what GetLCDdata returns inside the display callback.
    void CaptureImageInCallback() {
        EventRecorder::Get().SetHook([this](const Recorded &r) {
            if (r.code != MORELAPI_EVENT_DISPLAY)
                return;
            std::vector<uint8_t> img(MORELAPI_DISPLAY_BYTES);
            GetLCDdata(img.data());
            std::lock_guard<std::mutex> g(m_);
            inCallback_ = img;
        });
    }
    std::vector<uint8_t> ImageSeenInCallback() {
        std::lock_guard<std::mutex> g(m_);
        return inCallback_;
    }
    void Notify(const std::vector<uint8_t> &data) {
        ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_DISPLAY, [&] {
            ASSERT_TRUE(sim::SendNotification(dev, MORELAPI_EVENT_DISPLAY, data.data(), data.size()));
        }));
    }
    // Display reads go to the start-up address, never the application's.
    size_t DisplayReads() {
        const std::vector<sim::HostFrame> reads = FramesOf(cmd::DisplayRead);
        for (const sim::HostFrame &f : reads) {
            EXPECT_EQ(f.destination, morel::kAddrSync);
        }
        return reads.size();
    }

  private:
    std::mutex m_;
    std::vector<uint8_t> inCallback_;
};

TEST_F(Display, WholeImageIsTakenWithoutARequest) {
    CaptureImageInCallback();
    sim::ClearLog(dev);
    const std::vector<uint8_t> img = Image(1);
    Notify(img);
    EXPECT_EQ(ImageSeenInCallback(), img);
    EXPECT_EQ(LibraryImage(), img);
    EXPECT_EQ(DisplayReads(), 0u);
}

TEST_F(Display, NotificationWithoutImageReadsItOnce) {
    CaptureImageInCallback();
    const std::vector<uint8_t> img = Image(2);
    SetDeviceImage(img);
    Notify({});
    EXPECT_EQ(ImageSeenInCallback(), img) << "the callback came before the image was read";
    DrainEvents();
    EXPECT_EQ(DisplayReads(), 1u);
}

TEST_F(Display, PartOfAnImageIsNeverShownAsTheImage) {
    const std::vector<uint8_t> img = Image(3);
    SetDeviceImage(img);
    Notify(std::vector<uint8_t>(100, 0xEE));
    EXPECT_EQ(LibraryImage(), img);
    EXPECT_EQ(DisplayReads(), 1u);
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
