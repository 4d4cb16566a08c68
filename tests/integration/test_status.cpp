// Status and identity queries, ErrorCode and Reboot.
#include <future>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

class StatusTest : public SimLibraryTest {
  protected:
    void Configure(sim::DeviceConfig &cfg) override { cfg.tableCount = 14; }
    size_t HostFrames() { return sim::GetLog(dev).frames.size(); }
    // Holds the request slot with a query the device never answers.
    std::future<int> HoldRequestSlot() {
        sim::FaultRule rule;
        rule.classId = 1;
        rule.commandId = 10;
        rule.actions = sim::kNoAnswer;
        sim::AddFaultRule(dev, rule);
        morel::g_timing.replyTimeoutMs = 2000;
        auto f = std::async(std::launch::async, [] { return GetDestination(nullptr, nullptr); });
        EXPECT_TRUE(sim::WaitUntil(
            dev, [](const sim::Log &l) { return !l.frames.empty() && l.frames.back().commandId == 10; }, 5000ms));
        return f;
    }
};

TEST_F(StatusTest, QueriesReturnTheDevicesValues) {
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
    auto requests = FramesOf(1, 4, 3);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].bytes[20], 5) << "the item goes out at offset 20";
}

// The answer's echo says whose value it carries: it is stored there, and the
// caller gets the value of the item asked for, in that item's width.
TEST_F(StatusTest, AnAnswerEchoingAnotherItemIsStoredUnderTheEcho) {
    const sim::DeviceState st = sim::Snapshot(dev);
    const auto answerAs = [&](std::vector<uint8_t> echoAndValue) {
        sim::FaultRule rule;
        rule.classId = 1;
        rule.commandId = 4;
        rule.patch = std::move(echoAndValue);
        sim::AddFaultRule(dev, rule);
    };
    const auto u32 = [](const uint8_t *p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24); };
    uint8_t info[8];
    std::memset(info, 0xCC, sizeof info);
    answerAs({4, 0xEF, 0xBE, 0xAD, 0xDE});
    ASSERT_EQ(GetIPnetworkInfo(3, info), 1);
    EXPECT_EQ(u32(info), st.networkItems[3]) << "item 3 as the start-up read it";
    EXPECT_EQ(info[4], 0xCC);

    answerAs({5, 1, 2, 3, 4});
    ASSERT_EQ(GetIPnetworkInfo(4, info), 1);
    EXPECT_EQ(u32(info), 0xDEADBEEFu) << "item 4 took the earlier answer";

    // Item 1 is six bytes wide: an answer for it to a question about item 2
    // does not widen what the caller gets.
    std::memset(info, 0xCC, sizeof info);
    answerAs({1, 9, 8, 7, 6, 5, 4});
    ASSERT_EQ(GetIPnetworkInfo(2, info), 1);
    EXPECT_EQ(u32(info), st.networkItems[2]);
    EXPECT_EQ(info[4], 0xCC);
    // An echo that names no item stores nothing.
    answerAs({9, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
    ASSERT_EQ(GetIPnetworkInfo(5, info), 1);
    EXPECT_EQ(u32(info), 0x04030201u) << "item 5 took the second answer";
    answerAs({6, 0, 0, 0, 0});
    ASSERT_EQ(GetIPnetworkInfo(1, info), 1);
    EXPECT_EQ(std::vector<uint8_t>(info, info + 8), (std::vector<uint8_t>{9, 8, 7, 6, 5, 4, 0xCC, 0xCC}));
}

TEST_F(StatusTest, NullPointersAndRangesSendNothingOrWriteNothing) {
    size_t before = HostFrames();
    EXPECT_EQ(GetSPphoneStatus(nullptr), 1) << "asks the device, writes nothing";
    uint8_t untouched = 0x5A;
    EXPECT_EQ(GetSPphoneStatus2(nullptr, &untouched), 1);
    EXPECT_EQ(untouched, 0x5A);
    EXPECT_EQ(GetDestination(nullptr, nullptr), 1);
    EXPECT_EQ(HostFrames(), before + 3);

    uint8_t info[6] = {};
    EXPECT_EQ(GetIPnetworkInfo(0, info), 0);
    EXPECT_EQ(GetIPnetworkInfo(8, info), 0);
    EXPECT_EQ(GetIPnetworkInfo(1, nullptr), 0);
    uint16_t version = 0x7777;
    EXPECT_EQ(GetVersionSpeakerphone(3, &version), 0);
    EXPECT_EQ(version, 0x7777);
    EXPECT_EQ(HostFrames(), before + 3);
}

TEST_F(StatusTest, EntryTableKeepsAtMostTenEntries) {
    std::vector<uint8_t> table(MORELAPI_UNICODE_TABLE_BYTES + 44, 0xCC);
    uint8_t count = 0;
    ASSERT_EQ(ActiveUnicode(table.data(), &count), 1);
    EXPECT_EQ(count, 10);
    sim::DeviceState st = sim::Snapshot(dev);
    for (size_t i = 0; i < 10; ++i)
        ASSERT_TRUE(std::equal(st.table[i].begin(), st.table[i].end(), table.begin() + 44 * i)) << i;
    for (size_t i = MORELAPI_UNICODE_TABLE_BYTES; i < table.size(); ++i)
        ASSERT_EQ(table[i], 0xCC) << "nothing written past ten entries";
}

TEST_F(StatusTest, CachedGettersAnswerWhileAnotherCallWaitsAndDeviceQueriesDoNot) {
    auto held = HoldRequestSlot();
    EXPECT_EQ(IsCommandActive(), 1);
    uint16_t version = 0;
    uint8_t cti = 0, count = 0;
    std::vector<uint8_t> table(MORELAPI_UNICODE_TABLE_BYTES);
    EXPECT_EQ(GetVersionSpeakerphone(0, &version), 1);
    EXPECT_EQ(GetCTIVersion(&cti), 1);
    EXPECT_EQ(ActiveUnicode(table.data(), &count), 1);
    size_t before = HostFrames();
    uint8_t status = 0x33;
    EXPECT_EQ(GetSPphoneStatus(&status), 0);
    EXPECT_EQ(status, 0x33);
    EXPECT_EQ(ErrorCode(), 0);
    EXPECT_EQ(Reboot(), 0);
    EXPECT_EQ(HostFrames(), before);
    EXPECT_EQ(held.get(), 0);
    EXPECT_EQ(IsCommandActive(), 0);
}

TEST_F(StatusTest, FailedQueriesLeaveOutputsAndCacheAlone) {
    sim::FaultRule refuse;
    refuse.classId = 1;
    refuse.commandId = 9;
    refuse.actions = sim::kRefuse;
    refuse.count = 2;
    sim::AddFaultRule(dev, refuse);
    uint8_t status = 0x44;
    EXPECT_EQ(GetSPphoneStatus(&status), 0);
    EXPECT_EQ(status, 0x44);
    EXPECT_EQ(ErrorCode(), 0) << "a failed request reads as 0";
    EXPECT_EQ(GetSPphoneStatus(&status), 1);
}

TEST_F(StatusTest, RebootIsPostedWithoutWaiting) {
    EXPECT_EQ(Reboot(), 1);
    ASSERT_TRUE(sim::WaitUntil(
        dev, [](const sim::Log &l) { return !l.frames.empty() && l.frames.back().commandId == 2; }, 5000ms));
    EXPECT_EQ(FramesOf(1, 2, 3).size(), 1u);
}

} // namespace
} // namespace morel_test
