// Keys and display: the 'F' key press machine, the key and display getters,
// and the display notification with and without its image.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

struct KeyFrame {
    uint8_t action;
    uint8_t key;
    bool operator==(const KeyFrame &o) const { return action == o.action && key == o.key; }
};

std::ostream &operator<<(std::ostream &os, const KeyFrame &k) {
    return os << "{action " << int(k.action) << ", key " << int(k.key) << "}";
}

class KeysTest : public SimLibraryTest {
  protected:
    std::vector<KeyFrame> KeyFrames() {
        std::vector<KeyFrame> out;
        for (auto &f : FramesOf(1, 6)) {
            EXPECT_EQ(f.destination, 3);
            EXPECT_EQ(f.length, 64u);
            out.push_back({f.bytes[20], f.bytes[21]});
        }
        return out;
    }
};

constexpr uint8_t F = 'F';

TEST_F(KeysTest, HeldFKeyBecomesShortOrLongPressAtRelease) {
    struct Row {
        const char *name;
        uint32_t downTick;
        uint32_t heldMs;
        std::vector<KeyFrame> sent;
    };
    const std::vector<Row> rows = {
        {"749 ms: short press", 100000, 749, {{0, F}}},
        {"750 ms: long press", 100000, 750, {{1, F}, {2, F}}},
        {"across the tick wrap: 256 + 496 ms", 0xFFFFFF00u, 752, {{1, F}, {2, F}}},
        {"just below the threshold across the wrap", 0xFFFFFFF0u, 749, {{0, F}}},
    };
    for (const Row &row : rows) {
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

TEST_F(KeysTest, OtherKeyReleasesTheHeldFKeyFirst) {
    morel::SetTestTick(true, 5000);
    const struct {
        uint32_t heldMs;
        std::vector<KeyFrame> sent;
    } rows[] = {
        {100, {{0, F}, {0, '5'}}},
        {800, {{1, F}, {2, F}, {0, '5'}}},
    };
    for (const auto &row : rows) {
        sim::ClearLog(dev);
        ASSERT_EQ(SetKey(F, 1), 1);
        morel::AdvanceTestTick(row.heldMs);
        EXPECT_EQ(SetKey('5', 0), 1);
        EXPECT_EQ(KeyFrames(), row.sent) << row.heldMs << " ms";
        // The press was resolved: a key up now has nothing to release.
        EXPECT_EQ(SetKey(F, 2), 0);
        EXPECT_EQ(KeyFrames(), row.sent);
    }
}

TEST_F(KeysTest, KeyUpWithoutHeldPressSendsNothing) {
    morel::SetTestTick(true, 1000);
    sim::ClearLog(dev);
    EXPECT_EQ(SetKey(F, 2), 0);
    EXPECT_TRUE(Log().frames.empty());
    // A short press of 'F' drops a held one, however long it was held.
    ASSERT_EQ(SetKey(F, 1), 1);
    morel::AdvanceTestTick(5000);
    EXPECT_EQ(SetKey(F, 0), 1);
    EXPECT_EQ(SetKey(F, 2), 0);
    EXPECT_EQ(KeyFrames(), (std::vector<KeyFrame>{{0, F}}));
}

TEST_F(KeysTest, GetKeyReturnsTheDevicesLastKeyCodeFirst) {
    sim::PressKey(dev, '7', 3);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_KEY, 1));
    uint8_t code = 0, action = 0;
    ASSERT_EQ(GetKey(&code, &action), 1);
    EXPECT_EQ(code, '7');
    EXPECT_EQ(action, 3);
}

// The library runs but the device never answers the link.
class KeysNoDeviceTest : public SimLibraryTest {
  protected:
    void SetUp() override {
        startInSetUp = false;
        SimLibraryTest::SetUp();
        sim::FaultPlan plan;
        plan.failOpens = 1000000;
        sim::SetFaultPlan(dev, plan);
        waitForLink = false;
        StartLibrary();
    }
};

TEST_F(KeysNoDeviceTest, GettersFailAndHeldKeyIsAccepted) {
    EXPECT_EQ(SetKey(F, 1), 1);
    EXPECT_EQ(SetKey(F, 2), 0) << "the release cannot be sent";
    EXPECT_EQ(SetKey('5', 0), 0);
    uint8_t code = 0xAA, action = 0xAA;
    EXPECT_EQ(GetKey(&code, &action), 0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(action, 0);
    std::vector<uint8_t> image(721, 0xAA);
    EXPECT_EQ(GetLCDdata(image.data()), 0);
    EXPECT_NE(image, std::vector<uint8_t>(721, 0xAA)) << "the image is copied all the same";
    EXPECT_TRUE(FramesOf(1, 6).empty());
}

class DisplayTest : public SimLibraryTest {
  protected:
    std::vector<uint8_t> Image(uint8_t seed) {
        std::vector<uint8_t> img(721);
        for (size_t i = 0; i < img.size(); ++i)
            img[i] = static_cast<uint8_t>(seed + i * 7);
        return img;
    }
    // The device's own image, as its display read answers it.
    void SetDeviceImage(const std::vector<uint8_t> &img) {
        sim::Update(dev, [&](sim::DeviceState &st) {
            st.displayAuto = false;
            std::copy(img.begin(), img.end(), st.display.begin());
        });
    }
    std::vector<uint8_t> LibraryImage() {
        std::vector<uint8_t> img(721);
        EXPECT_EQ(GetLCDdata(img.data()), 1);
        return img;
    }
    // Records what GetLCDdata returns inside the display callback.
    void CaptureImageInCallback() {
        EventRecorder::Get().SetHook([this](const Recorded &r) {
            if (r.code != MORELAPI_EVENT_DISPLAY)
                return;
            std::vector<uint8_t> img(721);
            GetLCDdata(img.data());
            std::lock_guard<std::mutex> g(m_);
            inCallback_ = img;
        });
    }
    std::vector<uint8_t> ImageSeenInCallback() {
        std::lock_guard<std::mutex> g(m_);
        return inCallback_;
    }
    size_t DisplayReads() {
        auto reads = FramesOf(1, 7);
        for (auto &f : reads) {
            EXPECT_EQ(f.destination, 2);
        }
        return reads.size();
    }
    // Waits until the event thread has handled everything sent before.
    void Drain() {
        size_t n = EventRecorder::Get().Count(MORELAPI_EVENT_RINGER_VOLUME);
        sim::SetRingerVolume(dev, 2);
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RINGER_VOLUME, n + 1));
    }

  private:
    std::mutex m_;
    std::vector<uint8_t> inCallback_;
};

TEST_F(DisplayTest, WholeImageIsTakenWithoutARequest) {
    CaptureImageInCallback();
    sim::ClearLog(dev);
    auto img = Image(1);
    ASSERT_TRUE(sim::SendNotification(dev, 0x0106, img.data(), img.size()));
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_DISPLAY, 1));
    EXPECT_EQ(ImageSeenInCallback(), img);
    EXPECT_EQ(LibraryImage(), img);
    EXPECT_EQ(DisplayReads(), 0u);
}

TEST_F(DisplayTest, NotificationWithoutImageReadsItOnce) {
    CaptureImageInCallback();
    auto img = Image(2);
    SetDeviceImage(img);
    sim::ClearLog(dev);
    ASSERT_TRUE(sim::SendNotification(dev, 0x0106, nullptr, 0));
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_DISPLAY, 1));
    EXPECT_EQ(ImageSeenInCallback(), img) << "the callback came before the image was read";
    EXPECT_EQ(DisplayReads(), 1u);
    Drain();
    EXPECT_EQ(DisplayReads(), 1u);
}

TEST_F(DisplayTest, PartOfAnImageIsNeverShownAsTheImage) {
    auto img = Image(3);
    SetDeviceImage(img);
    sim::ClearLog(dev);
    std::vector<uint8_t> part(100, 0xEE);
    ASSERT_TRUE(sim::SendNotification(dev, 0x0106, part.data(), part.size()));
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_DISPLAY, 1));
    EXPECT_EQ(LibraryImage(), img);
    EXPECT_EQ(DisplayReads(), 1u);
}

// Holds the request turn with a request whose answer the device delays, sends
// a display notification without image meanwhile, and returns when the
// request has ended and the event thread has handled the notification.
struct BusyCase {
    uint32_t delayMs;
    size_t reads;     // display reads expected
    size_t callbacks; // display callbacks expected
};

class DisplayBusyTest : public DisplayTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(DisplayBusyTest, WaitsUpToSixHundredMillisecondsForTheTurn) {
    const BusyCase c = GetParam();
    sim::FaultRule delay;
    delay.classId = 2;
    delay.commandId = 10;
    delay.destination = 3;
    delay.actions = sim::kDelay;
    delay.delayMs = c.delayMs;
    sim::AddFaultRule(dev, delay);
    sim::ClearLog(dev);
    std::atomic<int> result{-1};
    std::thread busy([&] {
        uint8_t mode;
        result = GetSlowTalk(&mode);
    });
    ASSERT_TRUE(sim::WaitUntil(
        dev, [](const sim::Log &log) {
            for (auto &f : log.frames)
                if (f.classId == 2 && f.commandId == 10)
                    return true;
            return false;
        },
        5000ms));
    ASSERT_TRUE(sim::SendNotification(dev, 0x0106, nullptr, 0));
    busy.join();
    EXPECT_EQ(result.load(), 1);
    if (c.callbacks > 0) {
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_DISPLAY, c.callbacks));
    }
    Drain();
    EXPECT_EQ(DisplayReads(), c.reads);
    EXPECT_EQ(EventRecorder::Get().Count(MORELAPI_EVENT_DISPLAY), c.callbacks);
    if (c.reads == 1) {
        auto log = Log().frames;
        auto at = [&](int cls, int cmd) {
            return std::find_if(log.begin(), log.end(),
                                [&](const sim::HostFrame &f) { return f.classId == cls && f.commandId == cmd; });
        };
        EXPECT_LT(at(2, 10), at(1, 7)) << "the display read went out while the turn was taken";
    }
}

INSTANTIATE_TEST_SUITE_P(Display, DisplayBusyTest,
                         ::testing::Values(BusyCase{250, 1, 1},   // freed within the wait: read, then callback
                                           BusyCase{1500, 0, 0}), // busy beyond 600 ms: neither
                         [](const auto &info) { return info.param.reads ? "FreedInTime" : "BusyTooLong"; });

} // namespace
} // namespace morel_test
