// Call control: the call commands' frames, the call notifications and their
// slot rules, the call information answer, and a call end to end.
#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "api/handlers.h"
#include "api/request.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using morel::CallRecord;

CallRecord CallSlot(int index) {
    morel::ContextRef ctx;
    return morel::WithDeviceData(ctx.ctx, [&] { return ctx->callRecords[index]; });
}

std::array<uint8_t, 129> Text(const std::string &s) {
    std::array<uint8_t, 129> t{};
    std::memcpy(t.data(), s.data(), std::min(s.size(), t.size()));
    return t;
}

Recorded LastCallEvent() {
    auto events = EventRecorder::Get().Events();
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (it->slot == MORELAPI_SLOT_CALL)
            return *it;
    return Recorded{};
}

size_t CallEventCount(const std::vector<Recorded> &events) {
    size_t n = 0;
    for (auto &e : events)
        n += e.slot == MORELAPI_SLOT_CALL;
    return n;
}

size_t CallEventCount() { return CallEventCount(EventRecorder::Get().Events()); }

class CallsTest : public SimLibraryTest {
  protected:
    // A call notification as the device sends it: the call id, and for the
    // full-details events the attribute, the 129-byte text and the parameter.
    void SendCallEvent(uint16_t eventId, uint8_t callId, bool full = false, const std::string &text = "",
                       uint32_t param = 0) {
        std::vector<uint8_t> data{callId};
        if (full) {
            data.push_back(0x5A);
            auto t = Text(text);
            data.insert(data.end(), t.begin(), t.end());
            for (int i = 0; i < 4; ++i)
                data.push_back(static_cast<uint8_t>(param >> (8 * i)));
        }
        ASSERT_TRUE(sim::SendNotification(dev, eventId, data.data(), data.size()));
    }
    // Sends the event and waits until the application has heard of it.
    void Deliver(uint16_t eventId, uint8_t callId, bool full = false, const std::string &text = "",
                 uint32_t param = 0) {
        size_t before = CallEventCount();
        SendCallEvent(eventId, callId, full, text, param);
        ASSERT_TRUE(EventRecorder::Get().WaitFor(
            [&](const std::vector<Recorded> &events) { return CallEventCount(events) > before; }));
    }
    // Sends an event that must be dropped; a marker event that follows it
    // shows that the event thread has dealt with it.
    void DeliverDropped(uint16_t eventId, uint8_t callId, uint8_t markerCallId) {
        size_t before = CallEventCount();
        SendCallEvent(eventId, callId);
        Deliver(0x0206, markerCallId);
        EXPECT_EQ(CallEventCount(), before + 1) << "a dropped call event reached the application";
    }
};

TEST_F(CallsTest, EveryCallCommandSendsItsFrame) {
    uint8_t number[129];
    std::memset(number, 0xC3, sizeof number); // no terminator anywhere: copied whole all the same
    std::memcpy(number, "0301\0", 5);
    struct Row {
        const char *name;
        std::function<int()> call;
        uint16_t command;
        uint32_t length;
        int param; // byte at offset 20, -1: none
    };
    const Row rows[] = {
        {"MakeCall", [&] { return MakeCall(0x11, 0x22, number); }, 1, 151, 0x11},
        {"HoldOperate", [] { return HoldOperate(0x33); }, 21, 64, 0x33},
        {"EndCall", [] { return EndCall(0x44); }, 2, 64, 0x44},
        {"AnswerCall", [] { return AnswerCall(); }, 3, 64, -1},
        {"JoinCall", [] { return JoinCall(); }, 4, 64, -1},
        {"InviteConference", [] { return InviteConference(); }, 5, 64, -1},
        {"RejectCall", [] { return RejectCall(); }, 6, 64, -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        sim::ClearLog(dev);
        row.call(); // the device may refuse what its calls do not allow; the frame is what counts
        auto frames = FramesOf(2, -1);
        ASSERT_EQ(frames.size(), 1u);
        const auto &f = frames[0];
        EXPECT_EQ(f.commandId, row.command);
        EXPECT_EQ(f.destination, 3);
        EXPECT_EQ(f.kind, 1);
        ASSERT_EQ(f.bytes.size(), row.length);
        EXPECT_EQ(morel::Get32(f.bytes.data() + 16), row.length - 64);
        if (row.param >= 0) {
            EXPECT_EQ(f.bytes[20], row.param);
        }
        if (row.command == 1) {
            EXPECT_EQ(f.bytes[21], 0x22);
            EXPECT_EQ(0, std::memcmp(f.bytes.data() + 22, number, sizeof number));
        }
    }
    sim::ClearLog(dev);
    EXPECT_EQ(MakeCall(1, 2, nullptr), 0);
    EXPECT_TRUE(FramesOf(2, -1).empty());
}

TEST_F(CallsTest, EveryCallEventSetsItsStateAndCode) {
    struct Row {
        uint16_t id;
        uint8_t state;
        uint32_t inUse;
        uint32_t code;
    };
    const Row rows[] = {
        {0x0201, 8, 1, 0x0201},  {0x0202, 9, 1, 0x0202},  {0x0203, 2, 1, 0x0203},  {0x0204, 10, 1, 0x0204},
        {0x0205, 0, 0, 0x0205},  {0x0206, 16, 1, 0x0206}, {0x0207, 12, 1, 0x0207}, {0x0208, 11, 1, 0x0208},
        {0x0209, 13, 1, 0x0209}, {0x020A, 15, 1, 0x020A}, {0x020B, 18, 1, 0x0210}, {0x020C, 19, 1, 0x0211},
        {0x020D, 20, 1, 0x0212}, {0x020E, 17, 1, 0x0213}, {0x020F, 4, 0, 0x020C},  {0x0210, 5, 0, 0x020D},
        {0x0211, 6, 0, 0x020E},  {0x0212, 7, 0, 0x020F},  {0x0213, 22, 1, 0x0214}, {0x0214, 23, 1, 0x0215},
        {0x0215, 24, 0, 0x0216}, {0x0216, 25, 0, 0x0217}, {0x0217, 26, 0, 0x0218}, {0x0218, 21, 1, 0x0219},
        {0x0219, 27, 1, 0x021A}, {0x021A, 28, 1, 0x021B}, {0x021B, 29, 1, 0x021C}, {0x021C, 30, 1, 0x021D},
        {0x021D, 31, 1, 0x021E}, {0x021E, 32, 1, 0x021F},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "event 0x" << row.id);
        bool full = row.id <= 0x0204;
        // The call id changes with each event, so every event also shows the
        // slot rule at work: all land in slot 0, live or freed.
        uint8_t callId = static_cast<uint8_t>(1 + row.id % 6);
        Deliver(row.id, callId, full, "text", 0x01020304);
        Recorded last = LastCallEvent();
        EXPECT_EQ(last.code, row.code);
        EXPECT_EQ(last.value, std::vector<uint8_t>{callId});
        CallRecord s = CallSlot(0);
        EXPECT_EQ(s.callState, row.state);
        EXPECT_EQ(s.inUse, row.inUse);
        EXPECT_EQ(s.callId, callId);
        if (row.inUse == 1) {
            // Move the slot's call to an end state so the next event takes slot 0 again.
            Deliver(0x0205, callId);
        }
        EXPECT_EQ(CallSlot(1).inUse, 0u);
    }
    EXPECT_EQ(EventRecorder::Get().Count(0x020B), 0u);
}

TEST_F(CallsTest, ThirdLiveCallIsDropped) {
    Deliver(0x0201, 5, true, "first", 1);
    Deliver(0x0202, 6, true, "second", 2);
    DeliverDropped(0x0202, 7, 5);
    CallRecord s0 = CallSlot(0), s1 = CallSlot(1);
    EXPECT_EQ(s0.callId, 5);
    EXPECT_EQ(s0.callState, 16); // the marker event
    EXPECT_EQ(s1.callId, 6);
    EXPECT_EQ(s1.callState, 9);
    EXPECT_EQ(s1.callParam, 2u);
}

TEST_F(CallsTest, EndedCallIsNotFoundByItsId) {
    Deliver(0x0201, 5, true, "five", 55);
    Deliver(0x0202, 6, true, "six", 66);
    Deliver(0x0210, 5, false); // ends call 5 in slot 0
    Deliver(0x0211, 6, false); // ends call 6 in slot 1
    // A later state-only event for id 6 takes slot 0, the first free one, not
    // the slot where the ended call 6 sits; the details there stay call 5's.
    Deliver(0x0207, 6, false);
    CallRecord s0 = CallSlot(0), s1 = CallSlot(1);
    EXPECT_EQ(s0.inUse, 1u);
    EXPECT_EQ(s0.callId, 6);
    EXPECT_EQ(s0.callState, 12);
    EXPECT_EQ(s0.callParam, 55u);
    EXPECT_EQ(0, std::memcmp(s0.number, Text("five").data(), 129));
    EXPECT_EQ(s1.inUse, 0u);
    EXPECT_EQ(s1.callId, 6);
    EXPECT_EQ(s1.callState, 6);
}

TEST_F(CallsTest, ShortFullDetailsEventReadsNothingBeyondItsFrame) {
    Deliver(0x0201, 5, true, std::string(128, 'x'), 0xFFFFFFFF);
    Deliver(0x0205, 5, false);
    uint8_t only = 6; // a full-details event that carries nothing but the call id
    ASSERT_TRUE(sim::SendNotification(dev, 0x0202, &only, 1));
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0202, 1));
    CallRecord s0 = CallSlot(0);
    EXPECT_EQ(s0.callId, 6);
    EXPECT_EQ(s0.callState, 9);
    EXPECT_EQ(s0.callParam, 0u);
    EXPECT_EQ(0, std::memcmp(s0.number, Text("").data(), 129)) << "stale text survived";
}

TEST_F(CallsTest, CallPlacedAndEndedEndToEnd) {
    auto number = Text("0123456");
    ASSERT_EQ(MakeCall(0, 1, number.data()), 1);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x0203, 1)); // connected
    const uint8_t id = CallSlot(0).callId;
    ASSERT_NE(id, 0);
    ASSERT_EQ(EndCall(id), 1);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(0x020C, 1)); // ended here (state 4)
    std::vector<uint32_t> codes;
    for (auto &e : EventRecorder::Get().Events()) {
        if (e.slot != MORELAPI_SLOT_CALL)
            continue;
        codes.push_back(e.code);
        EXPECT_EQ(e.value, std::vector<uint8_t>{id});
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{0x0201, 0x0206, 0x0203, 0x020C}));
    CallRecord s0 = CallSlot(0);
    EXPECT_EQ(s0.inUse, 0u);
    EXPECT_EQ(s0.callState, 4);
    EXPECT_EQ(0, std::memcmp(s0.number, number.data(), number.size()));
    EXPECT_EQ(CallSlot(1).inUse, 0u);
}

// The call information answer (class 2 command 20), handled on its own.
class CallInfoHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx = std::make_unique<morel::ApiContext>();
        rx = ctx->rxFrame;
        tx = ctx->txFrame;
    }
    // Answer for `answeredId` in `state`, with attribute, text and parameter.
    void Answer(uint8_t answeredId, uint8_t state) {
        std::memset(rx, 0, morel::kRxFrameSize);
        morel::Put16(rx + 10, 3);
        rx[21] = answeredId;
        rx[22] = state;
        rx[23] = 0x77;
        std::memcpy(rx + 24, "info", 4);
        morel::Put32(rx + 153, 0xCAFEF00D);
        ctx->rxLength = 157; // the whole answer: 136 data bytes after the status
        morel::CallInfoHandler(ctx.get(), 1);
    }
    std::unique_ptr<morel::ApiContext> ctx;
    uint8_t *rx = nullptr;
    uint8_t *tx = nullptr;
};

TEST_F(CallInfoHandlerTest, ChoosesTheSlotByTheAskedId) {
    struct Row {
        const char *name;
        uint32_t inUse0;
        uint8_t id0;
        uint32_t inUse1;
        uint8_t id1;
        uint8_t asked;
        uint8_t answered;
        uint8_t state;
        int slot; // -1: nothing stored
    };
    const Row rows[] = {
        {"matches slot 0", 1, 5, 1, 6, 5, 5, 2, 0},
        {"matches slot 1 while slot 0 holds another call", 1, 5, 1, 6, 6, 6, 2, 1},
        {"match by the asked id, not the answered one", 1, 5, 1, 6, 6, 5, 2, 1},
        {"both busy with other calls", 1, 5, 1, 6, 3, 3, 2, -1},
        {"unknown call in a free slot 0", 0, 5, 1, 6, 3, 3, 9, 0},
        {"unknown call in a free slot 1", 1, 5, 0, 6, 3, 3, 9, 1},
        {"state 0 for an id in no live slot", 0, 0, 0, 0, 3, 3, 0, -1},
        {"state 0 for the live call is stored", 1, 5, 0, 0, 5, 5, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        CallRecord before[2] = {};
        before[0].inUse = row.inUse0;
        before[0].callId = row.id0;
        before[0].callState = 44;
        before[1].inUse = row.inUse1;
        before[1].callId = row.id1;
        before[1].callState = 45;
        std::memcpy(ctx->callRecords, before, sizeof before);
        ctx->callInfoCallId = row.asked;
        Answer(row.answered, row.state);
        for (int i = 0; i < 2; ++i) {
            const CallRecord &s = ctx->callRecords[i];
            EXPECT_EQ(s.inUse, before[i].inUse) << "slot " << i << ": inUse is never written";
            if (i == row.slot) {
                EXPECT_EQ(s.callId, row.answered);
                EXPECT_EQ(s.callState, row.state);
                EXPECT_EQ(s.callAttribute, 0x77);
                EXPECT_EQ(0, std::memcmp(s.number, "info", 5));
                EXPECT_EQ(s.callParam, 0xCAFEF00Du);
            } else {
                EXPECT_EQ(0, std::memcmp(&s, &before[i], sizeof s)) << "slot " << i << " changed";
            }
        }
    }
}

TEST_F(CallInfoHandlerTest, RequestCarriesOnlyAValidCallId) {
    for (uint8_t id : {0, 1, 6, 7}) {
        std::memset(tx, 0, morel::kTxFrameSize);
        morel::Put16(tx + 10, 1);
        ctx->callInfoCallId = id;
        morel::CallInfoHandler(ctx.get(), 0);
        EXPECT_EQ(tx[20], (id >= 1 && id <= 6) ? id : 0) << int(id);
    }
    // A response in the transmit buffer is never a request to fill.
    std::memset(tx, 0, morel::kTxFrameSize);
    morel::Put16(tx + 10, 3);
    ctx->callInfoCallId = 4;
    morel::CallInfoHandler(ctx.get(), 0);
    EXPECT_EQ(tx[20], 0);
}

} // namespace
} // namespace morel_test
