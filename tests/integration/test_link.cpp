// Link manager and start-up synchronisation against the simulated device.
#include <mutex>

#include "link/frame.h"
#include "link/link.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using morel::Get16;

std::vector<std::pair<int, int>> ExpectedStartup(uint8_t version, int contacts) {
    std::vector<std::pair<int, int>> r = {{1, 9}, {1, 3}};
    for (int i = 0; i < 3; ++i)
        r.push_back({1, 8});
    for (int i = 0; i < 7; ++i)
        r.push_back({1, 4});
    for (int i = 0; i < 69; ++i)
        r.push_back({3, 2});
    if (version >= 0x20) {
        r.insert(r.end(), {{1, 12}, {3, 6}, {4, 1}});
        for (int i = 0; i < contacts; ++i)
            r.push_back({4, 2});
        r.insert(r.end(), {{2, 16}, {2, 18}, {6, 10}});
    }
    r.push_back({1, 7});
    return r;
}

std::vector<sim::HostFrame> Requests(sim::Device *dev) {
    std::vector<sim::HostFrame> out;
    for (auto &f : sim::GetLog(dev).frames)
        if (f.kind == 1)
            out.push_back(f);
    return out;
}

struct StartupCase {
    uint8_t version;
    int contacts;
};

class StartupTest : public SimLibraryTest, public ::testing::WithParamInterface<StartupCase> {
  protected:
    void Configure(sim::DeviceConfig &cfg) override {
        cfg.protocolVersion = GetParam().version;
        cfg.contactCount = static_cast<uint8_t>(GetParam().contacts);
        if (GetParam().version < 0x30)
            morel::g_timing.replyTimeoutMs = 150; // steps down on time-outs
    }
};

TEST_P(StartupTest, SendsTheWholeSequenceInOrderToAddress2) {
    const StartupCase c = GetParam();
    auto requests = Requests(dev);
    // The successful attempt begins with the last status query.
    size_t start = 0;
    for (size_t i = 0; i < requests.size(); ++i)
        if (requests[i].classId == 1 && requests[i].commandId == 9)
            start = i;
    std::vector<std::pair<int, int>> got;
    for (size_t i = start; i < requests.size(); ++i) {
        got.push_back({requests[i].classId, requests[i].commandId});
        EXPECT_EQ(requests[i].destination, 2);
        EXPECT_EQ(requests[i].version, c.version);
    }
    int contactsRead = std::min(c.contacts, 100);
    auto expected = ExpectedStartup(c.version, contactsRead);
    EXPECT_EQ(got.size(), c.version >= 0x20 ? 88u + contactsRead : 82u);
    EXPECT_EQ(got, expected);

    // The system data ids go out in the start-up order, each with its own id,
    // also the ones the item table does not know.
    std::vector<uint16_t> ids;
    std::vector<uint16_t> contacts;
    for (size_t i = start; i < requests.size(); ++i) {
        if (requests[i].classId == 3 && requests[i].commandId == 2)
            ids.push_back(Get16(&requests[i].bytes[20]));
        if (requests[i].classId == 4 && requests[i].commandId == 2)
            contacts.push_back(requests[i].bytes[20]);
    }
    std::vector<uint16_t> expectedIds(morel::StartupSystemDataItems, morel::StartupSystemDataItems + 69);
    EXPECT_EQ(ids, expectedIds);
    for (size_t i = 0; i < contacts.size(); ++i)
        EXPECT_EQ(contacts[i], i + 1);

    // The context holds the device's state.
    sim::DeviceState st = sim::Snapshot(dev);
    uint16_t version = 0;
    ASSERT_EQ(GetVersionSpeakerphone(2, &version), 1);
    EXPECT_EQ(version, st.versions[2]);
    uint8_t cti = 0;
    ASSERT_EQ(GetCTIVersion(&cti), 1);
    EXPECT_EQ(cti, c.version);
    EXPECT_EQ(IsProductDefault(), st.productDefault == 1 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, StartupTest,
                         ::testing::Values(StartupCase{0x30, 5}, StartupCase{0x20, 0}, StartupCase{0x12, 5},
                                           StartupCase{0x30, 120}),
                         [](const auto &info) {
                             return "v" + std::to_string(info.param.version) + "_contacts" +
                                    std::to_string(info.param.contacts);
                         });

class LinkTest : public SimLibraryTest {};

TEST_F(LinkTest, OlderDeviceIsFollowedDownTheLadderRungByRung) {
    morel::g_timing.replyTimeoutMs = 150;
    sim::DeviceConfig cfg;
    cfg.protocolVersion = 0x12;
    ReplaceDevice(cfg);
    StartLibrary();
    std::vector<uint8_t> versions;
    for (auto &f : Requests(dev))
        if (f.classId == 1 && f.commandId == 9 && (versions.empty() || versions.back() != f.version))
            versions.push_back(f.version);
    EXPECT_EQ(versions, (std::vector<uint8_t>{0x30, 0x21, 0x20, 0x12}));
}

TEST(LadderTest, StopsAtTheBottom) {
    EXPECT_EQ(morel::NextProtocolVersion(0x30), 0x21);
    EXPECT_EQ(morel::NextProtocolVersion(0x21), 0x20);
    EXPECT_EQ(morel::NextProtocolVersion(0x20), 0x12);
    EXPECT_EQ(morel::NextProtocolVersion(0x12), 0x11);
    EXPECT_EQ(morel::NextProtocolVersion(0x11), 0x10);
    EXPECT_EQ(morel::NextProtocolVersion(0x10), 0x10);
    EXPECT_EQ(morel::NextProtocolVersion(0x25), 0x25);
}

// Back-off: the requested sleeps, recorded without really sleeping.
std::mutex g_sleepMutex;
std::condition_variable g_sleepCv;
std::vector<uint32_t> g_sleeps;
uint32_t RecordSleep(uint32_t ms) {
    {
        std::lock_guard<std::mutex> g(g_sleepMutex);
        g_sleeps.push_back(ms);
    }
    g_sleepCv.notify_all();
    return 0;
}
uint32_t RecordSleepAndSleep(uint32_t ms) {
    RecordSleep(ms);
    return ms;
}

TEST_F(LinkTest, BackOffIs100msForTheFirst100FailuresThen1000ms) {
    sim::FaultPlan plan;
    plan.failOpens = 105;
    ReplaceDevice({}, plan);
    g_sleeps.clear();
    morel::SetSleepHook(RecordSleep);
    StartLibrary(); // comes up after the 105 failures
    std::lock_guard<std::mutex> g(g_sleepMutex);
    ASSERT_EQ(g_sleeps.size(), 105u);
    for (size_t i = 0; i < 100; ++i)
        ASSERT_EQ(g_sleeps[i], 100u) << i;
    for (size_t i = 100; i < 105; ++i)
        ASSERT_EQ(g_sleeps[i], 1000u) << i;
    // The first down report may come before the slots are registered; there
    // is one report per reconnect, not one per attempt.
    auto link = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_LINK);
    ASSERT_GE(link.size(), 1u);
    ASSERT_LE(link.size(), 2u);
    EXPECT_EQ(link.back().value[0], 1);
}

TEST_F(LinkTest, NotReadyStatusKeepsTheLinkDown) {
    sim::DeviceConfig cfg;
    cfg.status = 12;
    ReplaceDevice(cfg);
    waitForLink = false;
    StartLibrary();
    // Several attempts, each stopping after the status query.
    ASSERT_TRUE(sim::WaitUntil(
        dev, [](const sim::Log &l) { return l.counters.opens >= 3; }, 5000ms));
    EXPECT_EQ(IsSPphoneAvailable(), 0);
    for (auto &f : Requests(dev))
        EXPECT_TRUE(f.classId == 1 && f.commandId == 9) << f.classId << "/" << f.commandId;
    sim::SetStatus(dev, 2);
    EXPECT_TRUE(WaitLinkUp());
}

TEST_F(LinkTest, LinkStateReportsOnAWorkingLinkGiveDownThenUp) {
    for (int32_t type : {TALVO_TYPE_LINK_CHANGED, TALVO_TYPE_LINK_LOST}) {
        SCOPED_TRACE(type);
        EventRecorder::Get().Clear();
        sim::ReportLink(dev, type);
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_LINK, 2));
        auto link = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_LINK);
        EXPECT_EQ(link[0].value[0], 0);
        EXPECT_EQ(link[1].value[0], 1);
        EXPECT_TRUE(WaitLinkUp());
    }
}

TEST_F(LinkTest, FailedWriteResetsTheLink) {
    EventRecorder::Get().Clear();
    sim::FaultRule rule;
    rule.classId = 1;
    rule.commandId = 10;
    rule.actions = sim::kFailWrite;
    sim::AddFaultRule(dev, rule);
    EXPECT_EQ(GetDestination(nullptr, nullptr), 0);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_LINK, 2));
    EXPECT_TRUE(WaitLinkUp());
    EXPECT_EQ(GetDestination(nullptr, nullptr), 1);
}

TEST_F(LinkTest, AfterALostLinkAFailedFirstAttemptRestartsAt0x30) {
    morel::g_timing.replyTimeoutMs = 150;
    sim::DeviceConfig cfg;
    cfg.protocolVersion = 0x20;
    ReplaceDevice(cfg);
    StartLibrary();
    sim::ClearLog(dev);
    EventRecorder::Get().Clear();
    sim::FaultPlan plan;
    plan.failOpens = 1;
    sim::SetFaultPlan(dev, plan);
    sim::DropLink(dev);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_LINK, 2, 20000ms));
    auto requests = Requests(dev);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().version, 0x30);
    EXPECT_EQ(requests.back().version, 0x20);
}

TEST_F(LinkTest, StopEndsTheLinkThreadWhateverItDoes) {
    // While retrying with the long back-off.
    sim::FaultPlan plan;
    plan.failOpens = 1000000;
    ReplaceDevice({}, plan);
    g_sleeps.clear();
    morel::SetSleepHook(RecordSleepAndSleep);
    waitForLink = false;
    EventRecorder::Get().Clear();
    StartLibrary();
    {
        std::unique_lock<std::mutex> g(g_sleepMutex);
        ASSERT_TRUE(g_sleepCv.wait_for(g, 5s, [] { return g_sleeps.size() >= 2; }));
    }
    TerminateUsbApiLib();
    morel::SetSleepHook(nullptr);

    // While a synchronisation waits for an answer that never comes.
    sim::ClearFaults(dev);
    sim::FaultRule silent;
    silent.classId = 3;
    silent.actions = sim::kNoAnswer;
    silent.count = 0;
    sim::AddFaultRule(dev, silent);
    morel::g_timing.replyTimeoutMs = 60000;
    EventRecorder::Get().Clear();
    StartLibrary();
    ASSERT_TRUE(sim::WaitUntil(
        dev, [](const sim::Log &l) { return !l.frames.empty() && l.frames.back().classId == 3; }, 5000ms));
    TerminateUsbApiLib();
}

class KeepAliveTest : public SimLibraryTest, public ::testing::WithParamInterface<uint32_t> {
  protected:
    // Parks the event thread in a long idle wait (an unknown notification
    // wakes it), so that no keep-alive is posted while the clock is set.
    void ParkEventThread() {
        morel::g_timing.idleWaitMs = 600000;
        sim::SendNotification(dev, 0x0777, nullptr, 0);
        sim::SendNotification(dev, 0x0501, nullptr, 0);
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0501, 1));
        EventRecorder::Get().Clear();
    }
};

TEST_P(KeepAliveTest, GoesOutAfter2000msOfSilenceAlsoAcrossATickWrap) {
    ParkEventThread();
    morel::SetTestTick(true, GetParam());
    uint8_t status;
    ASSERT_EQ(GetSPphoneStatus(&status), 1); // the last write, at the start tick
    morel::AdvanceTestTick(2000);
    sim::ClearLog(dev);
    morel::g_timing.idleWaitMs = 20;
    sim::SendNotification(dev, 0x0502, nullptr, 0); // wake it into the short wait
    ASSERT_TRUE(sim::WaitUntil(
        dev, [](const sim::Log &l) { return l.counters.keepAlives >= 1; }, 5000ms));
    auto f = sim::GetLog(dev).frames.front();
    EXPECT_EQ(f.length, 64u);
    EXPECT_EQ(f.classId, 0);
    EXPECT_EQ(f.commandId, 1);
    EXPECT_EQ(f.kind, 0);
    EXPECT_EQ(f.destination, 2);
}

TEST_P(KeepAliveTest, NotBefore2000ms) {
    ParkEventThread();
    morel::SetTestTick(true, GetParam());
    uint8_t status;
    ASSERT_EQ(GetSPphoneStatus(&status), 1);
    morel::AdvanceTestTick(1999);
    sim::ClearLog(dev);
    morel::g_timing.idleWaitMs = 10;
    sim::SendNotification(dev, 0x0502, nullptr, 0);
    // Many idle wake-ups pass; none may send.
    EXPECT_FALSE(sim::WaitUntil(
        dev, [](const sim::Log &l) { return l.counters.keepAlives >= 1; }, 300ms));
}

// A notification the table does not know wakes the event thread, which
// then has nothing to do and sends nothing.
TEST_P(KeepAliveTest, UnknownEventWakesTheEventThreadWithoutSending) {
    ParkEventThread();
    morel::SetTestTick(true, GetParam());
    uint8_t status;
    ASSERT_EQ(GetSPphoneStatus(&status), 1);
    morel::AdvanceTestTick(10000);
    sim::ClearLog(dev);
    sim::SendNotification(dev, 0x0777, nullptr, 0);
    sim::SendNotification(dev, 0x0501, nullptr, 0);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0501, 1));
    EXPECT_EQ(sim::GetCounters(dev).keepAlives, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ticks, KeepAliveTest, ::testing::Values(1000u, 0xFFFFFF00u));

} // namespace
} // namespace morel_test
