// GetCallInfo against the simulated device: which call slot answers, and the
// answer when none does.
#include <array>
#include <string>

#include "link/frame.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

struct Info {
    int result = -1;
    uint8_t state = 0xCC;
    std::array<uint8_t, 130> text; // one byte more than the export writes
    uint32_t value = 0xCCCCCCCC;
    Info() { text.fill(0xCC); }
};

class CallInfo : public SimLibraryTest {
  protected:
    Info Ask(uint8_t callId) {
        Info i;
        i.result = GetCallInfo(callId, &i.state, i.text.data(), &i.value);
        return i;
    }
    size_t CallEvents() {
        size_t n = 0;
        for (const Recorded &r : EventRecorder::Get().Events())
            n += r.slot == MORELAPI_SLOT_CALL;
        return n;
    }
    void WaitCallEvents(size_t n) {
        ASSERT_TRUE(EventRecorder::Get().WaitFor([&](const std::vector<Recorded> &ev) {
            size_t seen = 0;
            for (const Recorded &r : ev)
                seen += r.slot == MORELAPI_SLOT_CALL;
            return seen >= n;
        }));
    }
    uint8_t RingAndWait(const std::string &number) {
        const size_t before = CallEvents();
        const uint8_t id = sim::Ring(dev, number);
        EXPECT_NE(id, 0);
        WaitCallEvents(before + 1);
        return id;
    }
    sim::Call DeviceCall(uint8_t id) {
        for (const sim::Call &c : sim::Snapshot(dev).calls)
            if (c.id == id)
                return c;
        ADD_FAILURE() << "no call " << int(id) << " on the device";
        return {};
    }
    static void ExpectReports(const Info &i, const sim::Call &c, uint8_t state) {
        EXPECT_EQ(i.result, 1);
        EXPECT_EQ(i.state, state);
        EXPECT_TRUE(std::equal(c.text.begin(), c.text.end(), i.text.begin()));
        EXPECT_EQ(i.text[129], 0xCC) << "129 bytes of text, no more";
        EXPECT_EQ(i.value, c.param);
    }
    static void ExpectNoCall(const Info &i) {
        EXPECT_EQ(i.result, 1);
        EXPECT_EQ(i.state, 0);
        EXPECT_EQ(i.text[0], 0);
        EXPECT_EQ(i.text[1], 0xCC) << "only the first text byte is cleared";
        EXPECT_EQ(i.value, 0u);
    }
};

TEST_F(CallInfo, ReportsALiveCallFromTheDevicesAnswer) {
    const uint8_t id = RingAndWait("5551234");
    sim::Update(dev, [&](sim::DeviceState &st) {
        for (sim::Call &c : st.calls)
            if (c.id == id)
                c.param = 0x01020304u; // changed without a notification: only the answer carries it
    });
    const sim::Call c = DeviceCall(id);
    ExpectReports(Ask(id), c, c.state);
    const sim::HostFrame f = FramesOf(2, 20, 3).back();
    EXPECT_EQ(f.length, 64u);
    EXPECT_EQ(f.bytes[20], id);
}

TEST_F(CallInfo, NoSlotHoldingTheCallAnswersAnEmptyCall) {
    ExpectNoCall(Ask(3));
    // Ids outside 1..6 go out as given and find no call either.
    for (uint8_t id : {0, 9, 255}) {
        ExpectNoCall(Ask(id));
        EXPECT_EQ(FramesOf(2, 20, 3).back().bytes[20], id);
    }
}

TEST_F(CallInfo, AnEndedCallKeepsBeingReportedWithItsLastState) {
    const uint8_t id = RingAndWait("200");
    const sim::Call ringing = DeviceCall(id);
    const size_t before = CallEvents();
    ASSERT_TRUE(sim::FarEndHangUp(dev, id));
    WaitCallEvents(before + 1);
    // The device no longer knows the call (its answer has state 0); the slot
    // that the hang-up left with a state still reports it.
    const Info i = Ask(id);
    EXPECT_EQ(i.result, 1);
    EXPECT_NE(i.state, 0);
    EXPECT_TRUE(std::equal(ringing.text.begin(), ringing.text.end(), i.text.begin()));
}

TEST_F(CallInfo, ACallOnlyTheDeviceKnowsIsStoredInAFreeSlot) {
    sim::Update(dev, [](sim::DeviceState &st) {
        sim::Call &c = st.calls[0];
        c = sim::Call{};
        c.live = true;
        c.id = 4;
        c.state = 9;
        c.attribute = 1;
        std::memcpy(c.text.data(), "77", 2);
        c.param = 0x1234;
    });
    const sim::Call c = DeviceCall(4);
    ExpectReports(Ask(4), c, 9);
}

TEST_F(CallInfo, BothSlotsInUseKeepTheirCallsAndDropAStrangersAnswer) {
    const uint8_t first = RingAndWait("111");
    const uint8_t second = RingAndWait("222");
    ASSERT_NE(first, second);
    // The second call's answer goes to its own slot while the first is in use.
    sim::Update(dev, [&](sim::DeviceState &st) {
        for (sim::Call &c : st.calls)
            if (c.id == second)
                c.param = 0xABCD;
    });
    const sim::Call two = DeviceCall(second);
    ExpectReports(Ask(second), two, two.state);
    const sim::Call one = DeviceCall(first);
    ExpectReports(Ask(first), one, one.state);

    // The device now answers for an id the library has no slot for.
    sim::Update(dev, [&](sim::DeviceState &st) {
        for (sim::Call &c : st.calls)
            if (c.id == second)
                c.id = 6;
    });
    ExpectNoCall(Ask(6));
    // The slots are as they were.
    ExpectReports(Ask(first), one, one.state);
}

// An answer about another call than the one asked for takes the asked call's
// slot, and the asked call is then reported as no call.
TEST_F(CallInfo, AnAnswerForAnotherCallIsNotReportedAsTheAskedOne) {
    const uint8_t id = RingAndWait("5551234");
    const uint8_t other = static_cast<uint8_t>(id % 6 + 1);
    sim::FaultRule rule;
    rule.classId = 2;
    rule.commandId = 20;
    rule.patch = {other, 2, 0, 'X'};
    sim::AddFaultRule(dev, rule);
    ExpectNoCall(Ask(id));
    EXPECT_TRUE(sim::GetFaultsLeft(dev).rules.empty()) << "the device answered for call " << int(other);
}

TEST_F(CallInfo, AFailedExchangeWritesNothing) {
    const uint8_t id = RingAndWait("300");
    for (uint32_t action : {uint32_t(sim::kFail), uint32_t(sim::kRefuse)}) {
        sim::FaultRule rule;
        rule.classId = 2;
        rule.commandId = 20;
        rule.actions = action;
        sim::AddFaultRule(dev, rule);
        const Info i = Ask(id);
        EXPECT_EQ(i.result, 0);
        EXPECT_EQ(i.state, 0xCC);
        EXPECT_EQ(i.text[0], 0xCC);
        EXPECT_EQ(i.value, 0xCCCCCCCCu);
    }
}

} // namespace
} // namespace morel_test
