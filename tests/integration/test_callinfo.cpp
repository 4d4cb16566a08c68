// GetCallInfo: which call slot its answer goes to and which one it reports,
// and what it reports when no slot holds the call.
#include <array>
#include <memory>
#include <string>

#include "api/handlers.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using morel::CallRecord;

struct Info {
    int result = -1;
    uint8_t state = 0xCC;
    std::array<uint8_t, 130> text; // one byte more than the export writes
    uint32_t value = 0xCCCCCCCC;
    Info() { text.fill(0xCC); }
};

Info Ask(uint8_t callId) {
    Info i;
    i.result = GetCallInfo(callId, &i.state, i.text.data(), &i.value);
    return i;
}

class CallInfo : public SimLibraryTest {
  protected:
    uint8_t RingAndWait(const std::string &number) {
        uint8_t id = 0;
        EXPECT_TRUE(EventRecorder::Get().AndWait([](const Recorded &r) { return r.slot == MORELAPI_SLOT_CALL; },
                                                 [&] { id = sim::Ring(dev, number); }));
        EXPECT_NE(id, 0);
        return id;
    }
    // The device's call; param changed without a notification, so that only
    // the answer to the request carries it.
    sim::Call DeviceCall(uint8_t id, uint32_t newParam) {
        sim::Call call{};
        sim::Update(dev, [&](sim::DeviceState &st) {
            for (sim::Call &c : st.calls)
                if (c.live && c.id == id) {
                    c.param = newParam;
                    call = c;
                }
        });
        EXPECT_EQ(call.id, id) << "no call " << int(id) << " on the device";
        return call;
    }
};

TEST_F(CallInfo, ReportsALiveCallFromTheDevicesAnswer) {
    const uint8_t id = RingAndWait("5551234");
    const sim::Call call = DeviceCall(id, 0x01020304u);
    const Info i = Ask(id);
    EXPECT_EQ(i.result, 1);
    EXPECT_EQ(i.state, call.state);
    EXPECT_TRUE(std::equal(call.text.begin(), call.text.end(), i.text.begin()));
    EXPECT_EQ(i.text[129], 0xCC) << "129 bytes of text, no more";
    EXPECT_EQ(i.value, call.param);
    const sim::HostFrame f = LastSent(morel::cmd::CallInfo);
    EXPECT_EQ(f.length, 64u);
    EXPECT_EQ(f.bytes[20], id);
}

// Ids outside 1..6 go out as given and find no call either.
TEST_F(CallInfo, NoSlotHoldingTheCallAnswersAnEmptyCall) {
    for (uint8_t id : {3, 0, 9, 255}) {
        SCOPED_TRACE(int(id));
        const Info i = Ask(id);
        EXPECT_EQ(i.result, 1);
        EXPECT_EQ(i.state, 0);
        EXPECT_EQ(i.text[0], 0);
        EXPECT_EQ(i.text[1], 0xCC) << "only the first text byte is cleared";
        EXPECT_EQ(i.value, 0u);
        EXPECT_EQ(LastSent(morel::cmd::CallInfo).bytes[20], id);
    }
}

TEST_F(CallInfo, AnEndedCallKeepsBeingReportedWithItsLastState) {
    const uint8_t id = RingAndWait("200");
    const sim::Call ringing = DeviceCall(id, 0);
    ASSERT_TRUE(EventRecorder::Get().AndWait([](const Recorded &r) { return r.slot == MORELAPI_SLOT_CALL; },
                                             [&] { ASSERT_TRUE(sim::FarEndHangUp(dev, id)); }));
    // The device no longer knows the call (its answer has state 0); the slot
    // that the hang-up left with a state still reports it.
    const Info i = Ask(id);
    EXPECT_EQ(i.result, 1);
    EXPECT_NE(i.state, 0);
    EXPECT_TRUE(std::equal(ringing.text.begin(), ringing.text.end(), i.text.begin()));
}

// The answer to the call information request on its own: the slot it is
// stored in is chosen by the id that was asked for.
class CallInfoAnswer : public ::testing::Test {
  protected:
    // Answer for `answeredId` in `state`, with attribute, text and parameter.
    void Answer(uint8_t answeredId, uint8_t state) {
        uint8_t *rx = ctx->rxFrame;
        std::memset(rx, 0, morel::kRxFrameSize);
        morel::Put16(rx + morel::kOffKind, morel::kKindResponse);
        rx[21] = answeredId;
        rx[22] = state;
        rx[23] = 0x77;
        std::memcpy(rx + 24, "info", 4);
        morel::Put32(rx + 153, 0xCAFEF00D);
        ctx->rxLength = 157; // the whole answer: 136 data bytes after the status
        morel::CallInfoHandler(ctx.get(), 1);
    }
    std::unique_ptr<morel::ApiContext> ctx = std::make_unique<morel::ApiContext>();
};

TEST_F(CallInfoAnswer, IsStoredInTheSlotOfTheAskedId) {
    const struct {
        const char *name;
        uint32_t inUse0;
        uint8_t id0;
        uint32_t inUse1;
        uint8_t id1;
        uint8_t asked;
        uint8_t answered;
        uint8_t state;
        int slot; // -1: nothing stored
    } rows[] = {
        {"matches slot 0", 1, 5, 1, 6, 5, 5, 2, 0},
        {"matches slot 1 while slot 0 holds another call", 1, 5, 1, 6, 6, 6, 2, 1},
        {"match by the asked id, not the answered one", 1, 5, 1, 6, 6, 5, 2, 1},
        {"both busy with other calls", 1, 5, 1, 6, 3, 3, 2, -1},
        {"unknown call in a free slot 0", 0, 5, 1, 6, 3, 3, 9, 0},
        {"unknown call in a free slot 1", 1, 5, 0, 6, 3, 3, 9, 1},
        {"state 0 for an id in no live slot", 0, 0, 0, 0, 3, 3, 0, -1},
        {"state 0 for the live call is stored", 1, 5, 0, 0, 5, 5, 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        CallRecord before[2] = {};
        before[0] = CallRecord{row.inUse0, 44, row.id0, 0, {}, 0};
        before[1] = CallRecord{row.inUse1, 45, row.id1, 0, {}, 0};
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

} // namespace
} // namespace morel_test
