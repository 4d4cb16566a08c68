// Call control: the call commands' frames, the call notifications and their
// slot rules, and a call end to end.
#include <algorithm>
#include <array>
#include <string>

#include "api/request.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using morel::CallRecord;
namespace cmd = morel::cmd;

CallRecord CallSlot(int index) {
    morel::ContextRef ctx;
    return morel::WithDeviceData(ctx.ctx, [&] { return ctx->callRecords[index]; });
}

std::array<uint8_t, 129> Text(const std::string &s) {
    std::array<uint8_t, 129> t{};
    std::memcpy(t.data(), s.data(), std::min(s.size(), t.size()));
    return t;
}

bool IsCallEvent(const Recorded &r) { return r.slot == MORELAPI_SLOT_CALL; }

std::vector<Recorded> CallEvents() {
    std::vector<Recorded> out;
    for (const Recorded &r : EventRecorder::Get().Events())
        if (IsCallEvent(r))
            out.push_back(r);
    return out;
}

// Runs act and waits until the application has heard of one more call event.
bool AndWaitCallEvent(const std::function<void()> &act) { return EventRecorder::Get().AndWait(IsCallEvent, act); }

class Calls : public SimLibraryTest {
  protected:
    // A call notification as the device sends it: the call id, and for the
    // full-details events the attribute, the 129-byte text and the parameter.
    void Deliver(uint16_t eventId, uint8_t callId, bool full = false, const std::string &text = "",
                 uint32_t param = 0) {
        std::vector<uint8_t> data(full ? 2 + 129 + 4 : 1, 0x5A);
        data[0] = callId;
        if (full) {
            const auto t = Text(text);
            std::copy(t.begin(), t.end(), data.begin() + 2);
            morel::Put32(data.data() + 2 + 129, param);
        }
        ASSERT_TRUE(AndWaitCallEvent(
            [&] { ASSERT_TRUE(sim::SendNotification(dev, eventId, data.data(), data.size())); }));
    }
};

TEST_F(Calls, EveryCallCommandSendsItsFrame) {
    uint8_t number[129];
    std::memset(number, 0xC3, sizeof number); // no terminator anywhere: copied whole all the same
    std::memcpy(number, "0301\0", 5);
    const struct {
        morel::Command command;
        std::function<int()> call;
        uint32_t length;
        int param; // byte at offset 20, -1: none
    } rows[] = {
        {cmd::MakeCall, [&] { return MakeCall(0x11, 0x22, number); }, 151, 0x11},
        {cmd::HoldOperate, [] { return HoldOperate(0x33); }, 64, 0x33},
        {cmd::EndCall, [] { return EndCall(0x44); }, 64, 0x44},
        {cmd::AnswerCall, [] { return AnswerCall(); }, 64, -1},
        {cmd::JoinCall, [] { return JoinCall(); }, 64, -1},
        {cmd::InviteConference, [] { return InviteConference(); }, 64, -1},
        {cmd::RejectCall, [] { return RejectCall(); }, 64, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command.commandId);
        sim::ClearLog(dev);
        row.call(); // the device may refuse what its calls do not allow; the frame is what counts
        const auto frames = FramesOf(cmd::MakeCall.classId, -1);
        ASSERT_EQ(frames.size(), 1u);
        const sim::HostFrame &f = frames[0];
        EXPECT_EQ(f.commandId, row.command.commandId);
        EXPECT_EQ(f.destination, morel::kAddrApp);
        EXPECT_EQ(f.kind, morel::kKindRequest);
        ASSERT_EQ(f.bytes.size(), row.length);
        EXPECT_EQ(morel::Get32(f.bytes.data() + morel::kOffExtraLength), row.length - 64);
        if (row.param >= 0) {
            EXPECT_EQ(f.bytes[20], row.param);
        }
        if (row.command == cmd::MakeCall) {
            EXPECT_EQ(f.bytes[21], 0x22);
            EXPECT_EQ(0, std::memcmp(f.bytes.data() + 22, number, sizeof number));
        }
    }
    sim::ClearLog(dev);
    EXPECT_EQ(MakeCall(1, 2, nullptr), 0);
    EXPECT_TRUE(Log().frames.empty());
}

// The device puts one call through every state it can report, ringing a new
// call whenever a state has ended the last one: slot 0 follows the device's
// call, live or freed, and the application hears the call's id each time.
TEST_F(Calls, SlotFollowsEveryCallStateTheDeviceReports) {
    uint8_t id = 0;
    for (unsigned state = 0; state <= 0xFF; ++state) {
        const auto s = static_cast<uint8_t>(state);
        if (sim::CallEventFor(s) == 0)
            continue;
        SCOPED_TRACE(state);
        if (id == 0) {
            ASSERT_TRUE(AndWaitCallEvent([&] { id = sim::Ring(dev, "5550100"); }));
            ASSERT_NE(id, 0);
        }
        ASSERT_TRUE(AndWaitCallEvent([&] { ASSERT_TRUE(sim::SetCallState(dev, id, s)); }));
        EXPECT_EQ(CallEvents().back().value, std::vector<uint8_t>{id});
        const CallRecord slot = CallSlot(0);
        EXPECT_EQ(slot.callState, s);
        EXPECT_EQ(slot.callId, id);
        EXPECT_EQ(slot.inUse, sim::IsEndState(s) ? 0u : 1u);
        EXPECT_EQ(CallSlot(1).inUse, 0u);
        if (sim::IsEndState(s))
            id = 0;
    }
}

TEST_F(Calls, ThirdLiveCallIsDropped) {
    Deliver(0x0201, 5, true, "first", 1);
    Deliver(0x0202, 6, true, "second", 2);
    // The dropped event is followed by a marker event for call 5: once the
    // marker has arrived, the dropped one has been dealt with.
    const size_t before = CallEvents().size();
    const uint8_t third = 7;
    ASSERT_TRUE(sim::SendNotification(dev, 0x0202, &third, 1));
    Deliver(0x0206, 5);
    EXPECT_EQ(CallEvents().size(), before + 1) << "a dropped call event reached the application";
    const CallRecord s0 = CallSlot(0), s1 = CallSlot(1);
    EXPECT_EQ(s0.callId, 5);
    EXPECT_EQ(s0.callState, 16); // the marker event
    EXPECT_EQ(s1.callId, 6);
    EXPECT_EQ(s1.callState, 9);
    EXPECT_EQ(s1.callParam, 2u);
}

TEST_F(Calls, EndedCallIsNotFoundByItsId) {
    Deliver(0x0201, 5, true, "five", 55);
    Deliver(0x0202, 6, true, "six", 66);
    Deliver(0x0210, 5); // ends call 5 in slot 0
    Deliver(0x0211, 6); // ends call 6 in slot 1
    // A later state-only event for id 6 takes slot 0, the first free one, not
    // the slot where the ended call 6 sits; the details there stay call 5's.
    Deliver(0x0207, 6);
    const CallRecord s0 = CallSlot(0), s1 = CallSlot(1);
    EXPECT_EQ(s0.inUse, 1u);
    EXPECT_EQ(s0.callId, 6);
    EXPECT_EQ(s0.callState, 12);
    EXPECT_EQ(s0.callParam, 55u);
    EXPECT_EQ(0, std::memcmp(s0.number, Text("five").data(), 129));
    EXPECT_EQ(s1.inUse, 0u);
    EXPECT_EQ(s1.callId, 6);
    EXPECT_EQ(s1.callState, 6);
}

TEST_F(Calls, ShortFullDetailsEventReadsNothingBeyondItsFrame) {
    Deliver(0x0201, 5, true, std::string(128, 'x'), 0xFFFFFFFF);
    Deliver(0x0205, 5);
    Deliver(0x0202, 6); // a full-details event that carries nothing but the call id
    const CallRecord s0 = CallSlot(0);
    EXPECT_EQ(s0.callId, 6);
    EXPECT_EQ(s0.callState, 9);
    EXPECT_EQ(s0.callParam, 0u);
    EXPECT_EQ(0, std::memcmp(s0.number, Text("").data(), 129)) << "stale text survived";
}

TEST_F(Calls, CallPlacedAndEndedEndToEnd) {
    const auto number = Text("0123456");
    ASSERT_EQ(MakeCall(0, 1, number.data()), 1);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0203, 1)); // connected
    const uint8_t id = CallSlot(0).callId;
    ASSERT_NE(id, 0);
    ASSERT_EQ(EndCall(id), 1);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x020C, 1)); // ended here (state 4)
    std::vector<uint32_t> codes;
    for (const Recorded &e : CallEvents()) {
        codes.push_back(e.code);
        EXPECT_EQ(e.value, std::vector<uint8_t>{id});
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{0x0201, 0x0206, 0x0203, 0x020C}));
    const CallRecord s0 = CallSlot(0);
    EXPECT_EQ(s0.inUse, 0u);
    EXPECT_EQ(s0.callState, 4);
    EXPECT_EQ(0, std::memcmp(s0.number, number.data(), number.size()));
    EXPECT_EQ(CallSlot(1).inUse, 0u);
}

} // namespace
} // namespace morel_test
