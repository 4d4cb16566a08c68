// Building requests, sending them and matching the device's answers.
#include "tests/support/bare_context.h"

namespace morel_test {
namespace {

using namespace morel;

uint32_t SequenceOf(const std::vector<uint8_t> &f) { return Get32(&f[kOffSequence]); }

using SendAndMatch = BareContextTest;

CommandPacket *Status(ApiContext *ctx) { return BuildCommand(ctx, kAddrApp, cmd::Status); }

TEST_F(SendAndMatch, BuildCommandFillsTheHeaderAndRefusesUnknownRequests) {
    CommandPacket *a = Status(ctx);
    CommandPacket *b = BuildCommand(ctx, kAddrSync, cmd::GetRtcpVersion);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    // Version, reserved, class 1, command 9, destination 3, source 1, kind 1,
    // sequence 1, no extra length, a cleared body.
    const uint8_t head[] = {0x30, 0xFF, 1, 0, 9, 0, 3, 0, 1, 0, 1, 0, 1};
    std::vector<uint8_t> header(kMinFrame, 0);
    std::copy(std::begin(head), std::end(head), header.begin());
    EXPECT_EQ(std::vector<uint8_t>(a->frame, a->frame + kMinFrame), header);
    EXPECT_EQ(Get32(b->frame + kOffSequence), 2u);

    // Refusals (addresses other than 2 and 3, commands the table lacks)
    // leave the sequence alone.
    for (uint16_t address : {1, 4})
        EXPECT_EQ(BuildCommand(ctx, address, cmd::Status), nullptr);
    for (Command unknown : {Command{8, 1}, Command{2, 12}, Command{6, 7}, Command{1, 14}})
        EXPECT_EQ(BuildCommand(ctx, kAddrApp, unknown), nullptr);
    ctx->protocolVersion = 0x12;
    CommandPacket *c = BuildCommand(ctx, kAddrApp, cmd::CallInfo);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Get32(c->frame + kOffSequence), 3u);
    EXPECT_EQ(c->frame[kOffVersion], 0x12);
    FreePacket(a);
    FreePacket(b);
    FreePacket(c);
}

// Answers each written request with an acknowledgement and a response.
void AnswerWith(uint8_t ackStatus, uint8_t responseStatus, std::vector<uint8_t> data = {}, bool sendAck = true,
                bool sendResponse = true) {
    ScriptedTransport::Get().onWrite = [=](const std::vector<uint8_t> &req) {
        if (Get16(&req[kOffKind]) != kKindRequest)
            return;
        uint16_t cls = Get16(&req[kOffClass]), cmd = Get16(&req[kOffCommand]);
        uint16_t dest = Get16(&req[kOffDestination]);
        if (sendAck)
            ScriptedTransport::Inject(DeviceFrame(kKindAck, SequenceOf(req), cls, cmd, ackStatus, {}, 0x30, dest));
        if (sendResponse && ackStatus == 0)
            ScriptedTransport::Inject(DeviceFrame(kKindResponse, SequenceOf(req), cls, cmd, responseStatus, data, 0x30, dest));
    };
}

// Matching compares version, sequence and addresses, never class or command.
TEST_F(SendAndMatch, MatchingRules) {
    struct Case {
        const char *what;
        Command command;
        uint8_t version;
        uint32_t sequenceOffset;
        uint16_t source; // 0: the request's destination
        bool matches;
    };
    const Case cases[] = {
        {"exact", cmd::Status, 0x30, 0, 0, true},
        {"other class and command", Command{5, 12}, 0x30, 0, 0, true},
        {"lower version", cmd::Status, 0x12, 0, 0, true},
        {"other sequence", cmd::Status, 0x30, 1, 0, false},
        {"other source", cmd::Status, 0x30, 0, kAddrSync, false},
    };
    g_timing.replyTimeoutMs = 150;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedTransport::Get().onWrite = [&](const std::vector<uint8_t> &req) {
            const uint16_t source = c.source != 0 ? c.source : Get16(&req[kOffDestination]);
            for (uint16_t kind : {kKindAck, kKindResponse})
                ScriptedTransport::Inject(DeviceFrame(kind, SequenceOf(req) + c.sequenceOffset, c.command.classId,
                                                      c.command.commandId, 0, {9}, c.version, source));
        };
        EXPECT_EQ(SendAndWait(ctx, Status(ctx)), c.matches ? 1u : 0u);
    }
    // A version above the request's never matches: the library's own version
    // bounds what it accepts, so lower the request's version instead.
    ctx->protocolVersion = 0x20;
    ScriptedTransport::Get().onWrite = [&](const std::vector<uint8_t> &req) {
        ctx->protocolVersion = 0x30; // let the frame through the ring's check
        for (uint16_t kind : {kKindAck, kKindResponse})
            ScriptedTransport::Inject(DeviceFrame(kind, SequenceOf(req), 1, 9, 0, {}, 0x21, 3));
    };
    EXPECT_EQ(SendAndWait(ctx, Status(ctx)), 0u);
    EXPECT_EQ(ctx->resultCode.load(), kResultTimedOut);
}

TEST_F(SendAndMatch, LateAndDuplicateAnswersAreDroppedWithoutEffect) {
    g_timing.replyTimeoutMs = 150;
    std::vector<uint8_t> firstRequest;
    ScriptedTransport::Get().onWrite = [&](const std::vector<uint8_t> &req) { firstRequest = req; };
    EXPECT_EQ(SendAndWait(ctx, Status(ctx)), 0u);
    ASSERT_FALSE(firstRequest.empty());

    // The late answer of the first request arrives while the second waits;
    // the second is answered twice.
    g_timing.replyTimeoutMs = 3000;
    ScriptedTransport::Get().onWrite = [&](const std::vector<uint8_t> &req) {
        ScriptedTransport::Inject(DeviceFrame(kKindAck, SequenceOf(firstRequest), 1, 9, 0, {}, 0x30, 3));
        ScriptedTransport::Inject(DeviceFrame(kKindResponse, SequenceOf(firstRequest), 1, 9, 0, {0x77}, 0x30, 3));
        for (int i = 0; i < 2; ++i) {
            ScriptedTransport::Inject(DeviceFrame(kKindAck, SequenceOf(req), 1, 9, 0, {}, 0x30, 3));
            ScriptedTransport::Inject(DeviceFrame(kKindResponse, SequenceOf(req), 1, 9, 0, {0x11}, 0x30, 3));
        }
    };
    EXPECT_EQ(SendAndWait(ctx, Status(ctx)), 1u);
    EXPECT_EQ(ctx->deviceStatus, 0x11) << "only the request's own answer is decoded";
}

// A wake meant for an earlier request must not end a later wait as a success.
TEST_F(SendAndMatch, StaleWakeDoesNotCompleteTheNextRequest) {
    g_timing.replyTimeoutMs = 200;
    ScriptedTransport::Get().onWrite = [&](const std::vector<uint8_t> &) { EventSet(ctx->replyEvent); };
    EXPECT_EQ(SendAndWait(ctx, Status(ctx)), 0u);
    EXPECT_EQ(ctx->resultCode.load(), kResultTimedOut);
}

// A device that never answers posted requests does not make the pending
// list grow: the newest sixteen wait, and an awaited request still works.
TEST_F(SendAndMatch, UnansweredPostedRequestsAreKeptToTheNewestSixteen) {
    std::vector<uint32_t> sequences;
    for (int i = 0; i < 20; ++i) {
        CommandPacket *pkt = BuildCommand(ctx, kAddrApp, cmd::Reboot);
        sequences.push_back(Get32(pkt->frame + kOffSequence));
        ASSERT_EQ(PostCommand(ctx, pkt), 1u);
    }
    ASSERT_TRUE(ScriptedTransport::Get().WaitWritten(20));
    AnswerWith(0, 0, {0x5A});
    ASSERT_EQ(SendAndWait(ctx, Status(ctx)), 1u);
    std::vector<uint32_t> pending;
    {
        LockGuard g(ctx->queueLock);
        for (CommandPacket *p = ctx->pendingList; p != nullptr; p = p->next)
            pending.push_back(Get32(p->frame + kOffSequence));
    }
    EXPECT_EQ(pending, std::vector<uint32_t>(sequences.begin() + 4, sequences.end()));
}

TEST_F(SendAndMatch, PostedRequestIsHandledWithoutAWaiterAndOneWayFramesNeverPend) {
    AnswerWith(0, 0, {0x5A});
    ASSERT_EQ(PostCommand(ctx, Status(ctx)), 1u);
    ASSERT_TRUE(ScriptedTransport::Get().WaitWritten(1));
    // The answer is handled on the receiver thread; a following exchange
    // proves it has been processed (answers are handled in order).
    AnswerWith(0, 0, {0x5A});
    ASSERT_EQ(SendAndWait(ctx, BuildCommand(ctx, kAddrApp, cmd::Destination)), 1u);
    EXPECT_EQ(ctx->deviceStatus, 0x5A);
    EXPECT_EQ(ctx->pendingList, nullptr);

    ScriptedTransport::Get().onWrite = nullptr;
    CommandPacket *keepAlive = BuildCommand(ctx, kAddrSync, cmd::KeepAlive);
    Put16(keepAlive->frame + kOffKind, kKindNotification);
    PostCommand(ctx, keepAlive);
    ASSERT_TRUE(ScriptedTransport::Get().WaitWritten(3));
    {
        LockGuard g(ctx->queueLock);
        EXPECT_EQ(ctx->pendingList, nullptr);
    }
    EXPECT_EQ(PostCommand(ctx, nullptr), 0u);
    EXPECT_EQ(SendAndWait(ctx, nullptr), 0u);
}

} // namespace
} // namespace morel_test
