// Link manager and start-up synchronisation against the simulated device.
#include "link/link.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

namespace cmd = morel::cmd;
using morel::Command;

// The requests of the start-up synchronisation, in their order.
std::vector<Command> ExpectedStartup(uint8_t version, int contacts) {
    std::vector<Command> r = {cmd::Status, cmd::ProductDefault};
    r.insert(r.end(), 3, cmd::Version);
    r.insert(r.end(), 7, cmd::NetworkItem);
    r.insert(r.end(), morel::kStartupItemCount, cmd::GetSystemData);
    if (version >= 0x20) {
        r.insert(r.end(), {cmd::UnicodeTable, cmd::OperatingMode, cmd::ContactCount});
        r.insert(r.end(), static_cast<size_t>(contacts), cmd::GetContact);
        r.insert(r.end(), {cmd::GetRingerVolume, cmd::GetReceiveVolume, cmd::GetPlaybackVolume});
    }
    r.push_back(cmd::DisplayRead);
    return r;
}

std::vector<sim::HostFrame> Requests(sim::Device *dev) {
    std::vector<sim::HostFrame> out;
    for (const sim::HostFrame &f : sim::GetLog(dev).frames)
        if (f.kind == morel::kKindRequest)
            out.push_back(f);
    return out;
}

// The versions of the status queries, each once in a row.
std::vector<uint8_t> StatusVersions(sim::Device *dev) {
    std::vector<uint8_t> versions;
    for (const sim::HostFrame &f : Requests(dev))
        if (Command{f.classId, f.commandId} == cmd::Status && (versions.empty() || versions.back() != f.version))
            versions.push_back(f.version);
    return versions;
}

// The link thread's back-off sleeps, recorded instead of slept.
std::mutex g_sleepsMutex;
std::vector<uint32_t> g_sleeps;

uint32_t RecordSleep(uint32_t ms) {
    std::lock_guard<std::mutex> g(g_sleepsMutex);
    g_sleeps.push_back(ms);
    return 0;
}

struct StartupCase {
    uint8_t version;
    int contacts;
};

class Startup : public SimLibraryTest, public ::testing::WithParamInterface<StartupCase> {
  protected:
    void Configure(sim::DeviceConfig &cfg) override {
        cfg.protocolVersion = GetParam().version;
        cfg.contactCount = static_cast<uint8_t>(GetParam().contacts);
        if (GetParam().version < 0x30)
            morel::g_timing.replyTimeoutMs = 150; // steps down on time-outs
    }
};

TEST_P(Startup, SendsTheWholeSequenceInOrderToTheStartUpAddress) {
    const StartupCase c = GetParam();
    const std::vector<sim::HostFrame> all = Requests(dev);
    // The successful attempt begins with the last status query.
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i)
        if (Command{all[i].classId, all[i].commandId} == cmd::Status)
            start = i;
    std::vector<Command> got;
    std::vector<uint16_t> ids, contacts;
    for (size_t i = start; i < all.size(); ++i) {
        const Command command{all[i].classId, all[i].commandId};
        got.push_back(command);
        EXPECT_EQ(all[i].destination, morel::kAddrSync);
        EXPECT_EQ(all[i].version, c.version);
        if (command == cmd::GetSystemData)
            ids.push_back(morel::Get16(&all[i].bytes[20]));
        if (command == cmd::GetContact)
            contacts.push_back(all[i].bytes[20]);
    }
    // An older device is followed down the ladder rung by rung.
    std::vector<uint8_t> ladder{0x30, 0x21, 0x20, 0x12, 0x11, 0x10};
    ladder.erase(std::find(ladder.begin(), ladder.end(), c.version) + 1, ladder.end());
    EXPECT_EQ(StatusVersions(dev), ladder);
    const int contactsRead = std::min(c.contacts, 100);
    EXPECT_EQ(got, ExpectedStartup(c.version, contactsRead));
    // The system data ids go out in the start-up order, each with its own id,
    // also the ones the item table does not know; contacts from 1 on.
    EXPECT_EQ(ids, std::vector<uint16_t>(morel::StartupSystemDataItems,
                                         morel::StartupSystemDataItems + morel::kStartupItemCount));
    for (size_t i = 0; i < contacts.size(); ++i)
        EXPECT_EQ(contacts[i], i + 1);

    const sim::DeviceState st = sim::Snapshot(dev);
    uint16_t version = 0;
    ASSERT_EQ(GetVersionSpeakerphone(2, &version), 1);
    EXPECT_EQ(version, st.versions[2]);
    uint8_t cti = 0;
    ASSERT_EQ(GetCTIVersion(&cti), 1);
    EXPECT_EQ(cti, c.version);
    EXPECT_EQ(IsProductDefault(), st.productDefault == 1 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, Startup,
                         ::testing::Values(StartupCase{0x30, 5}, StartupCase{0x20, 0}, StartupCase{0x10, 5},
                                           StartupCase{0x30, 120}),
                         [](const auto &info) {
                             return "v" + std::to_string(info.param.version) + "_contacts" +
                                    std::to_string(info.param.contacts);
                         });

class Link : public SimLibraryTest {};

TEST_F(Link, BackOffIs100msForTheFirst100FailuresThen1000ms) {
    ReplaceDevice({}, {{}, 105});
    g_sleeps.clear();
    morel::SetSleepHook(RecordSleep);
    StartLibrary(); // comes up after the 105 failures
    std::vector<uint32_t> expected(100, 100);
    expected.resize(105, 1000);
    std::lock_guard<std::mutex> g(g_sleepsMutex);
    EXPECT_EQ(g_sleeps, expected);
    // The first down report may come before the slots are registered; there
    // is one report per reconnect, not one per attempt.
    const auto link = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_LINK);
    ASSERT_GE(link.size(), 1u);
    ASSERT_LE(link.size(), 2u);
    EXPECT_EQ(link.back().value[0], 1);
}

TEST_F(Link, NotReadyStatusKeepsTheLinkDown) {
    sim::DeviceConfig cfg;
    cfg.status = 12;
    ReplaceDevice(cfg);
    waitForLink = false;
    StartLibrary();
    // Several attempts, each stopping after the status query.
    ASSERT_TRUE(sim::WaitUntil(dev, [](const sim::Log &l) { return l.counters.opens >= 3; }, 5000ms));
    EXPECT_EQ(IsSPphoneAvailable(), 0);
    for (const sim::HostFrame &f : Requests(dev))
        EXPECT_EQ((Command{f.classId, f.commandId}), cmd::Status);
    sim::SetStatus(dev, 2);
    EXPECT_TRUE(WaitLinkUp());
}

TEST_F(Link, AfterALostLinkAFailedFirstAttemptRestartsAt0x30) {
    morel::g_timing.replyTimeoutMs = 150;
    sim::DeviceConfig cfg;
    cfg.protocolVersion = 0x20;
    ReplaceDevice(cfg);
    StartLibrary();
    sim::ClearLog(dev);
    EventRecorder::Get().Clear();
    sim::SetFailOpens(dev, 1);
    sim::DropLink(dev);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_LINK, 2, 20000ms));
    EXPECT_EQ(StatusVersions(dev), (std::vector<uint8_t>{0x30, 0x21, 0x20}));
}

// A stop while the start-up synchronisation waits for an answer that never
// comes.
TEST_F(Link, StopEndsAStartUpWaitingForAnAnswer) {
    sim::FaultRule silent = RuleFor(cmd::GetSystemData, sim::kNoAnswer);
    silent.count = 0;
    ReplaceDevice({}, {{silent}});
    morel::g_timing.replyTimeoutMs = 60000;
    waitForLink = false;
    StartLibrary();
    ASSERT_TRUE(sim::WaitUntil(dev, [](const sim::Log &l) { return l.counters.faultsApplied >= 1; }, 5000ms));
    TerminateUsbApiLib();
}

// The event thread parked in a long idle wait (an unknown notification
// wakes it), so that no keep-alive is posted while the clock is set; then a
// request at the start tick.
class KeepAlive : public SimLibraryTest, public ::testing::WithParamInterface<uint32_t> {
  protected:
    void SetUp() override {
        SimLibraryTest::SetUp();
        morel::g_timing.idleWaitMs = 600000;
        WakeEventThread();
        EventRecorder::Get().Clear();
        morel::SetTestTick(true, GetParam());
        uint8_t status;
        ASSERT_EQ(GetSPphoneStatus(&status), 1); // the last write, at the start tick
    }
    void WakeEventThread() {
        sim::SendNotification(dev, 0x0777, nullptr, 0);
        DrainEvents();
    }
    bool KeepAliveSent(std::chrono::milliseconds within) {
        return sim::WaitUntil(dev, [](const sim::Log &l) { return l.counters.keepAlives >= 1; }, within);
    }
};

TEST_P(KeepAlive, GoesOutAfter2000msOfSilenceAlsoAcrossATickWrap) {
    morel::AdvanceTestTick(1999);
    sim::ClearLog(dev);
    morel::g_timing.idleWaitMs = 10;
    WakeEventThread(); // into the short wait: many idle wake-ups pass
    EXPECT_FALSE(KeepAliveSent(300ms)) << "sent before 2000 ms";
    morel::AdvanceTestTick(1);
    ASSERT_TRUE(KeepAliveSent(5000ms));
    const sim::HostFrame f = sim::GetLog(dev).frames.front();
    EXPECT_EQ(f.length, 64u);
    EXPECT_EQ((Command{f.classId, f.commandId}), cmd::KeepAlive);
    EXPECT_EQ(f.kind, 0);
    EXPECT_EQ(f.destination, morel::kAddrSync);
}

// A notification the table does not know wakes the event thread, which
// then has nothing to do and sends nothing.
TEST_P(KeepAlive, UnknownEventWakesTheEventThreadWithoutSending) {
    morel::AdvanceTestTick(10000);
    sim::ClearLog(dev);
    WakeEventThread();
    EXPECT_EQ(sim::GetCounters(dev).keepAlives, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ticks, KeepAlive, ::testing::Values(1000u, 0xFFFFFF00u));

} // namespace
} // namespace morel_test
