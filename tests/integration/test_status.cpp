// Status and identity queries; and what every export does while another
// request waits for the device.
#include <future>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

namespace cmd = morel::cmd;

class Status : public SimLibraryTest {
  protected:
    void Configure(sim::DeviceConfig &cfg) override { cfg.tableCount = 14; }
};

TEST_F(Status, QueriesReturnTheDevicesValues) {
    sim::Update(dev, [](sim::DeviceState &st) {
        st.status = 7;
        st.status2 = 9;
        st.errorCode = 0x0BAD;
        st.destinationCode = 4;
        st.destinationValue = 0x1234;
        st.networkItem1 = {1, 2, 3, 4, 5, 6};
        st.networkItems[5] = 0xA1B2C3D4;
    });
    uint8_t status = 0, status2 = 0, code = 0;
    uint16_t value = 0;
    EXPECT_EQ(GetSPphoneStatus(&status), 1);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(GetSPphoneStatus2(&status, &status2), 1);
    EXPECT_EQ(status2, 9);
    EXPECT_EQ(ErrorCode(), 0x0BAD);
    EXPECT_EQ(GetDestination(&code, &value), 1);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(value, 0x1234);
    uint8_t item1[8] = {}, item5[6] = {};
    EXPECT_EQ(GetIPnetworkInfo(1, item1), 1);
    EXPECT_EQ(std::vector<uint8_t>(item1, item1 + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}));
    EXPECT_EQ(GetIPnetworkInfo(5, item5), 1);
    EXPECT_EQ(std::vector<uint8_t>(item5, item5 + 6), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 0, 0}));
    EXPECT_EQ(LastSent(cmd::NetworkItem).bytes[20], 5) << "the item goes out at offset 20";
}

// The answer's echo says whose value it carries: it is stored there, and the
// caller gets the value of the item asked for, in that item's width.
TEST_F(Status, AnAnswerEchoingAnotherItemIsStoredUnderTheEcho) {
    const sim::DeviceState st = sim::Snapshot(dev);
    const struct {
        std::vector<uint8_t> echoAndValue;
        uint8_t asked;
        std::vector<uint8_t> got; // 0xCC: not written
        const char *why;
    } cases[] = {
        {{4, 0xEF, 0xBE, 0xAD, 0xDE}, 3, {}, "item 3 as the start-up read it"},
        {{5, 1, 2, 3, 4}, 4, {0xEF, 0xBE, 0xAD, 0xDE, 0xCC}, "item 4 took the earlier answer"},
        // Item 1 is six bytes wide: an answer for it to a question about
        // item 2 does not widen what the caller gets.
        {{1, 9, 8, 7, 6, 5, 4}, 2, {}, "item 2 as the start-up read it"},
        {{9, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, 5, {1, 2, 3, 4, 0xCC}, "an echo that names no item stores nothing"},
        {{6, 0, 0, 0, 0}, 1, {9, 8, 7, 6, 5, 4, 0xCC}, "item 1 took the third answer"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        sim::FaultRule rule = RuleFor(cmd::NetworkItem, 0);
        rule.patch = c.echoAndValue;
        sim::AddFaultRule(dev, rule);
        std::vector<uint8_t> info(8, 0xCC);
        ASSERT_EQ(GetIPnetworkInfo(c.asked, info.data()), 1);
        if (c.got.empty()) {
            EXPECT_EQ(morel::Get32(info.data()), st.networkItems[c.asked]);
            EXPECT_EQ(info[4], 0xCC);
        } else {
            EXPECT_EQ(std::vector<uint8_t>(info.begin(), info.begin() + c.got.size()), c.got);
        }
    }
}

TEST_F(Status, EntryTableKeepsAtMostTenEntries) {
    std::vector<uint8_t> table(MORELAPI_UNICODE_TABLE_BYTES + 44, 0xCC);
    uint8_t count = 0;
    ASSERT_EQ(ActiveUnicode(table.data(), &count), 1);
    EXPECT_EQ(count, 10);
    const sim::DeviceState st = sim::Snapshot(dev);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_TRUE(std::equal(st.table[i].begin(), st.table[i].end(), table.begin() + 44 * i)) << i;
    EXPECT_EQ(std::count(table.begin() + MORELAPI_UNICODE_TABLE_BYTES, table.end(), 0xCC), 44)
        << "nothing written past ten entries";
}

// A request the device never answers holds the turn while each test runs.
class RequestInFlight : public SimLibraryTest {
  protected:
    void SetUp() override {
        SimLibraryTest::SetUp();
        sim::AddFaultRule(dev, RuleFor(cmd::Destination, sim::kNoAnswer));
        morel::g_timing.replyTimeoutMs = 60000;
        waiting_ = std::async(std::launch::async, [] { return GetDestination(nullptr, nullptr); });
        ASSERT_TRUE(sim::WaitUntil(dev, [](const sim::Log &l) { return l.counters.faultsApplied == 1; }, 5000ms));
        ASSERT_EQ(IsCommandActive(), 1);
        requests_ = RequestsSent();
    }
    void TearDown() override {
        SimLibraryTest::TearDown(); // the stop releases the waiting request
        EXPECT_EQ(waiting_.get(), 0);
    }
    std::future<int> waiting_;
    size_t requests_ = 0;
};

TEST_F(RequestInFlight, CachedGettersAnswer) {
    std::array<uint8_t, 128> block;
    block.fill(0x5C);
    sim::SendRawData(dev, block.data());
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_RAW_DATA, 1));
    const sim::DeviceState st = sim::Snapshot(dev);
    uint16_t version = 0;
    EXPECT_EQ(GetVersionSpeakerphone(0, &version), 1);
    EXPECT_EQ(version, st.versions[0]);
    uint8_t byte = 0;
    EXPECT_EQ(GetCTIVersion(&byte), 1);
    EXPECT_EQ(byte, st.protocolVersion);
    std::vector<uint8_t> table(MORELAPI_UNICODE_TABLE_BYTES);
    EXPECT_EQ(ActiveUnicode(table.data(), &byte), 1);
    EXPECT_EQ(byte, st.tableCount);
    EXPECT_EQ(GetOpeMode(), static_cast<int8_t>(st.operatingMode));
    const std::pair<int (*)(uint8_t *), uint8_t> volumes[] = {
        {GetRingerVol, st.ringerVolume}, {GetReceiveVol, st.receiveVolume}, {GetPlaybackVol, st.playbackVolume}};
    for (const auto &[get, expected] : volumes) {
        EXPECT_EQ(get(&byte), 1);
        EXPECT_EQ(byte, expected);
    }
    std::array<uint8_t, 128> got{};
    EXPECT_EQ(ReceiveFixed128RawData(got.data()), 1);
    EXPECT_EQ(got, block);
    EXPECT_EQ(GetSystemData(2, got.data()), 1) << "item 2 is served from the store";
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 5, sim::FindItem(st, 2)->value.begin()));
    EXPECT_EQ(RequestsSent(), requests_);
}

TEST_F(RequestInFlight, DeviceRequestsAreRefusedUnsentAndWriteNothing) {
    std::array<uint8_t, 256> out;
    out.fill(0xCC);
    uint8_t *o = out.data();
    const std::pair<const char *, std::function<int()>> requests[] = {
        {"GetSPphoneStatus", [&] { return GetSPphoneStatus(o); }},
        {"ErrorCode", [] { return static_cast<int>(ErrorCode()); }},
        {"Reboot", [] { return Reboot(); }},
        {"GetSlowTalk", [&] { return GetSlowTalk(o); }},
        {"SetMute", [] { return SetMute(1); }},
        {"AnswerCall", [] { return AnswerCall(); }},
        {"GetContactCount", [&] { return GetContactCount(o); }},
        {"GetCallInfo", [&] { return GetCallInfo(1, o, o + 8, nullptr); }},
        {"SetSystemData", [&] { return SetSystemData(3, o); }},
        {"StartRecording", [] { return StartRecording(); }},
        {"GetRtcpReceive", [&] { return GetRtcpReceive(1, o); }},
        {"SendFixed128RawData", [&] { return SendFixed128RawData(o); }},
    };
    for (const auto &[name, request] : requests) {
        EXPECT_EQ(request(), 0) << name;
        EXPECT_EQ(std::count(out.begin(), out.end(), 0xCC), std::ssize(out)) << name << " wrote its output";
    }
    EXPECT_EQ(RequestsSent(), requests_) << "nothing was sent";
}

} // namespace
} // namespace morel_test
