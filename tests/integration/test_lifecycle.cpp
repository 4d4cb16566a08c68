// Library start and stop, and a process that ends with the library running.
#include "api/lifecycle.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

class Lifecycle : public SimLibraryTest {
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

// A second start changes nothing; a second stop does nothing.
TEST_F(Lifecycle, EverythingFailsBeforeStartAndAfterStop) {
    ExpectStopped();
    StartLibrary();
    const uint64_t opens = sim::GetCounters(dev).opens;
    EXPECT_EQ(InitializeUsbApiLib(), 1);
    EXPECT_EQ(IsSPphoneAvailable(), 1);
    EXPECT_EQ(sim::GetCounters(dev).opens, opens);
    TerminateUsbApiLib();
    ExpectStopped();
    TerminateUsbApiLib();
    ExpectStopped();
}

TEST_F(Lifecycle, StartFailsCleanlyWhenAWorkerCannotStart) {
    for (int worker = 0; worker < 4; ++worker) {
        SCOPED_TRACE(worker);
        morel::FailWorkerStartForTesting(worker);
        EXPECT_EQ(InitializeUsbApiLib(), 0);
        ExpectStopped();
    }
    morel::FailWorkerStartForTesting(-1);
    StartLibrary();
}

// The stop at the end ends the endless retry. Without a link only the held
// 'F' key is accepted, and the display image is copied out all the same.
TEST_F(Lifecycle, StartWithoutDeviceSucceedsAndKeepsTheGuardsClosed) {
    sim::SetFailOpens(dev, 1000000);
    waitForLink = false;
    StartLibrary();
    EXPECT_EQ(IsSPphoneAvailable(), 0);
    EXPECT_EQ(IsProductDefault(), 0);
    uint16_t version = 0x1234;
    EXPECT_EQ(GetVersionSpeakerphone(0, &version), 0);
    EXPECT_EQ(version, 0x1234);
    EXPECT_EQ(GetSPphoneStatus(nullptr), 0);
    EXPECT_EQ(SetKey('F', 1), 1);
    EXPECT_EQ(SetKey('F', 2), 0) << "the release cannot be sent";
    EXPECT_EQ(SetKey('5', 0), 0);
    uint8_t code = 0xAA, action = 0xAA;
    EXPECT_EQ(GetKey(&code, &action), 0);
    EXPECT_EQ(code | action, 0) << "no key code and no action yet";
    std::vector<uint8_t> image(MORELAPI_DISPLAY_BYTES, 0xAA);
    EXPECT_EQ(GetLCDdata(image.data()), 0);
    EXPECT_NE(image, std::vector<uint8_t>(MORELAPI_DISPLAY_BYTES, 0xAA));
    EXPECT_TRUE(FramesOf(morel::cmd::Key).empty());
}

// An application may end its process without stopping the library, also
// while a callback that stopped it is still running: the worker finishing
// afterwards touches nothing that static destruction has destroyed
// (ThreadSanitizer and ASan would report it).
class ProcessExit : public Lifecycle {
  protected:
    void SetUp() override {
        Lifecycle::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(ProcessExit, WithTheLibraryRunning) {
    // The start-up may still be under way when the process ends.
    EXPECT_EXIT(std::exit(InitializeUsbApiLib() == 1 ? 0 : 3), ::testing::ExitedWithCode(0), "");
}

// The callback uses only objects that are never destroyed.
Flag *const g_exitFlags = new Flag[2];
constexpr uint32_t kStopSignal = 0x0111;

void MORELAPI_CALL StopAndLinger(uint32_t code, uint32_t, void *) {
    if (code != kStopSignal)
        return;
    TerminateUsbApiLib();
    g_exitFlags[0].Set();
    g_exitFlags[1].Wait(200ms); // never set: the process exits meanwhile
}

TEST_F(ProcessExit, WhileAStoppingCallbackFinishes) {
    StartLibrary();
    EXPECT_EXIT(
        {
            RegisterEvent(1, StopAndLinger, 1, nullptr);
            sim::SendNotification(dev, kStopSignal, nullptr, 0);
            g_exitFlags[0].Wait();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace morel_test
