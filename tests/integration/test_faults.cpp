// The fault matrix: every export that talks to the device, and the start-up
// synchronisation, against every way the device can misbehave. For each pair:
// the exact result and resultCode, out-parameters untouched when the call
// fails, the cached device values unchanged by a failed answer, nothing left
// queued or pending, and the library working again for the next call.
#include <algorithm>
#include <map>
#include <string>

#include "api/request.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using morel::Command;
namespace cmd = morel::cmd;

constexpr uint32_t kReplyTimeoutMs = 150;
constexpr uint32_t kNeverMs = 600000; // beyond ctest's limit of the whole test

// ---- The faults ----------------------------------------------------------

enum class Outcome {
    Fails,        // 0 with the fault's resultCode; the handler never runs
    Succeeds,     // the answer still gets through
    SucceedsOnce, // succeeds, but the next answer may be lost once (stale bytes behind it)
    DropsLink,    // fails at once (resultCode 4) and the link is set up again
};

struct Fault {
    const char *name;
    uint32_t actions;
    Outcome outcome;
    uint16_t resultCode;
    bool deviceActs; // the device carried the request out (and sent what follows it)
    uint32_t delayMs = 0;
    uint16_t orResultCode = 0xFFFF; // another code that the timing of the chunks may give
};

const Fault kFaults[] = {
    {"refused", sim::kRefuse, Outcome::Fails, morel::kResultRejected, false},
    {"failed-status", sim::kFail, Outcome::Fails, morel::kResultFailed, false},
    {"dropped-ack", sim::kDropAck, Outcome::Fails, morel::kResultFailed, true}, // the response comes unaccepted
    {"dropped-response", sim::kDropResponse, Outcome::Fails, morel::kResultTimedOut, true},
    {"no-answer", sim::kNoAnswer, Outcome::Fails, morel::kResultTimedOut, true},
    {"late-answer", sim::kDelay, Outcome::Fails, morel::kResultTimedOut, true, kReplyTimeoutMs + 150},
    {"duplicate-answer", sim::kDuplicate, Outcome::Succeeds, morel::kResultNone, true},
    {"wrong-sequence", sim::kWrongSequence, Outcome::Fails, morel::kResultTimedOut, true},
    {"wrong-version", sim::kWrongVersion, Outcome::Fails, morel::kResultTimedOut, true},
    // A bad header discards everything buffered: the acknowledgement behind
    // the garbage goes with it, and the response then finds no accepted
    // request (or goes too, when it was buffered by then).
    {"garbage-before", sim::kGarbageBefore, Outcome::Fails, morel::kResultFailed, true, 0, morel::kResultTimedOut},
    {"garbage-after", sim::kGarbageAfter, Outcome::SucceedsOnce, morel::kResultNone, true},
    {"split-bytewise", sim::kSplit, Outcome::Succeeds, morel::kResultNone, true},
    {"merged", sim::kMerge, Outcome::Succeeds, morel::kResultNone, true},
    {"link-change", sim::kReportLink, Outcome::DropsLink, morel::kResultTimedOut, false},
    {"failed-write", sim::kFailWrite, Outcome::DropsLink, morel::kResultTimedOut, false},
};

// ---- The requests --------------------------------------------------------

// Out-parameters go into one sentinel-filled block; u16 at even, u32 at
// multiple-of-four offsets.
constexpr uint8_t kSentinel = 0xA5;
struct alignas(8) Out {
    uint8_t b[512];
    uint16_t *u16(size_t at) { return reinterpret_cast<uint16_t *>(b + at); }
    uint32_t *u32(size_t at) { return reinterpret_cast<uint32_t *>(b + at); }
};

enum class Kind {
    Request,      // 0 and outputs untouched on failure
    Posted,       // queued without waiting: 1 whatever the device does
    StoreAnswers, // asks the device, but answers from the cache whatever the outcome (1, outputs written)
    CopiesAlways, // 0 on failure, yet copies the cached values out
};

using Prepare = void (*)(sim::DeviceState &);
using Call = int64_t (*)(Out &);
using Expect = int64_t (*)(const sim::DeviceState &before, const sim::DeviceState &after);

struct Row {
    const char *name;
    Command command;
    Call call;
    Kind kind = Kind::Request;
    Prepare prepare = nullptr;
    bool notifiesCache = false; // the device reports the change it makes, and the cache follows
    Expect success = nullptr;   // the value returned on success (default 1)
};

sim::Call LiveCall(uint8_t id, uint8_t state) {
    return {true, id, state, 1, {'5', '5', '5', '1', '2', '3', '4'}, 77, false};
}
void NoCalls(sim::DeviceState &st) { st.calls = {}; }
void OneConnected(sim::DeviceState &st) { st.calls = {LiveCall(1, sim::kCallConnected), sim::Call{}}; }
void OneRinging(sim::DeviceState &st) { st.calls = {LiveCall(1, sim::kCallRinging), sim::Call{}}; }
void TwoCalls(sim::DeviceState &st) { st.calls = {LiveCall(1, sim::kCallConnected), LiveCall(2, sim::kCallHeld)}; }
template <uint32_t Op> void RecorderIn(sim::DeviceState &st) {
    st.recordCount = 3;
    st.recordOpStatus = Op;
    st.playingRecord = Op == sim::kRecPlaying || Op == sim::kRecPaused ? 1 : 0;
}
void FiveContacts(sim::DeviceState &st) {
    st.contactCount = 5;
    for (size_t i = 0; i < 5; ++i)
        st.contacts[i].byte = static_cast<uint8_t>(i + 1);
}
int64_t DeviceErrorCode(const sim::DeviceState &, const sim::DeviceState &st) { return st.errorCode; }
int64_t DeviceRtcpVersion(const sim::DeviceState &, const sim::DeviceState &st) { return st.rtcpVersion; }

const uint8_t *Block() {
    static uint8_t block[256];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<uint8_t>(i * 7 + 1);
    return block;
}

constexpr Kind R = Kind::Request;
constexpr Prepare Idle = RecorderIn<sim::kRecIdle>, Playing = RecorderIn<sim::kRecPlaying>;
#define CALL(expr) [](Out & o) -> int64_t { (void)o; return expr; }
const Row kRows[] = {
    {"GetSPphoneStatus", cmd::Status, CALL(GetSPphoneStatus(o.b))},
    {"GetSPphoneStatus2", cmd::Status2, CALL(GetSPphoneStatus2(o.b, o.b + 1))},
    {"ErrorCode", cmd::Status, CALL(ErrorCode()), R, nullptr, false, DeviceErrorCode},
    {"GetDestination", cmd::Destination, CALL(GetDestination(o.b, o.u16(2)))},
    {"GetIPnetworkInfo", cmd::NetworkItem, CALL(GetIPnetworkInfo(3, o.b))},
    {"Reboot", cmd::Reboot, CALL(Reboot()), Kind::Posted},
    {"SetKey", cmd::Key, CALL(SetKey('5', 0)), R, nullptr, true},
    {"MakeCall", cmd::MakeCall, CALL(MakeCall(0, 1, Block())), R, NoCalls, true},
    {"EndCall", cmd::EndCall, CALL(EndCall(1)), R, OneConnected, true},
    {"AnswerCall", cmd::AnswerCall, CALL(AnswerCall()), R, OneRinging, true},
    {"HoldOperate", cmd::HoldOperate, CALL(HoldOperate(0)), R, OneConnected, true},
    {"JoinCall", cmd::JoinCall, CALL(JoinCall()), R, TwoCalls, true},
    {"InviteConference", cmd::InviteConference, CALL(InviteConference()), R, TwoCalls, true},
    {"RejectCall", cmd::RejectCall, CALL(RejectCall()), R, OneRinging, true},
    {"SetMute", cmd::SetMute, CALL(SetMute(1))},
    {"SetSlowTalk", cmd::SetSlowTalk, CALL(SetSlowTalk(2))},
    {"SetSoundEnhancer", cmd::SetSoundEnhancer, CALL(SetSoundEnhancer(1))},
    {"GetSlowTalk", cmd::GetSlowTalk, CALL(GetSlowTalk(o.b))},
    {"GetSoundEnhancer", cmd::GetSoundEnhancer, CALL(GetSoundEnhancer(o.b))},
    {"SetRingerVol", cmd::SetRingerVolume, CALL(SetRingerVol(2)), R, nullptr, true},
    {"SetReceiverVol", cmd::SetReceiveVolume, CALL(SetReceiverVol(5)), R, nullptr, true},
    {"GetSystemData", cmd::GetSystemData, CALL(GetSystemData(2, o.b)), Kind::StoreAnswers},
    {"SetSystemData", cmd::SetSystemData, CALL(SetSystemData(1, Block())), R, nullptr, true},
    {"SetSystemData-action", cmd::SetSystemData, CALL(SetSystemData(131, nullptr)), Kind::Posted},
    {"GetCallInfo", cmd::CallInfo, CALL(GetCallInfo(1, o.b, o.b + 8, o.u32(4))), R, OneConnected},
    {"GetContactCount", cmd::ContactCount, CALL(GetContactCount(o.b)), Kind::CopiesAlways, FiveContacts},
    {"GetContact", cmd::GetContact, CALL(GetContact(2, o.b + 8, o.b, o.b + 48)), Kind::CopiesAlways, FiveContacts},
    {"SetContact", cmd::SetContact, CALL(SetContact(Block(), Block(), Block())), R, FiveContacts, false,
     [](const sim::DeviceState &before, const sim::DeviceState &) -> int64_t { return before.contactCount + 1; }},
    {"DeleteContact", cmd::DeleteContact, CALL(DeleteContact(1)), R, FiveContacts},
    {"GetRecordCount", cmd::RecordCount, CALL(GetRecordCount(o.b))},
    {"GetRecordInfo", cmd::RecordInfo, CALL(GetRecordInfo(1, o.b + 8, o.u32(4), o.b + 16)), R, Idle},
    {"DeleteRecord", cmd::DeleteRecord, CALL(DeleteRecord(1)), R, Idle},
    {"DeleteAllRecords", cmd::DeleteAllRecords, CALL(DeleteAllRecords()), R, Idle},
    {"StartRecording", cmd::StartRecording, CALL(StartRecording()), R, Idle},
    {"StopRecording", cmd::StopRecording, CALL(StopRecording()), R, RecorderIn<sim::kRecRecording>},
    {"StartPlayback", cmd::StartPlayback, CALL(StartPlayback(2)), R, Idle},
    {"StopPlayback", cmd::StopPlayback, CALL(StopPlayback()), R, Playing},
    {"PausePlayback", cmd::PausePlayback, CALL(PausePlayback()), R, Playing},
    {"ResumePlayback", cmd::ResumePlayback, CALL(ResumePlayback(0)), R, RecorderIn<sim::kRecPaused>},
    {"GetCurrentPlaybackPos", cmd::PlaybackPosition, CALL(GetCurrentPlaybackPos(o.u32(0))), R, Playing},
    {"SetPlaybackVol", cmd::SetPlaybackVolume, CALL(SetPlaybackVol(4)), R, nullptr, true},
    {"GetRecordOpStatus", cmd::RecordOpStatus, CALL(GetRecordOpStatus(o.u32(0)))},
    {"SetNwCameraInfo", cmd::SetCamera, CALL(SetNwCameraInfo(1, 2, 3, Block(), Block(), 4, 5))},
    {"GetNwCameraInfo", cmd::GetCamera,
     CALL(GetNwCameraInfo(o.u32(0), o.u16(4), o.b + 6, o.b + 8, o.b + 26, o.u32(44), o.u16(48)))},
    {"SetRtcpSend", cmd::RtcpSend, CALL(SetRtcpSend(1, Block()))},
    {"GetRtcpReceive", cmd::RtcpReceive, CALL(GetRtcpReceive(1, o.b))},
    {"SetRtcpVer", cmd::SetRtcpVersion, CALL(SetRtcpVer(2, 0, 1)), R, nullptr, false, DeviceRtcpVersion},
    {"GetRtcpVer", cmd::GetRtcpVersion, CALL(GetRtcpVer(0, 0, o.b)), R, nullptr, false, DeviceRtcpVersion},
    {"SendFixed128RawData", cmd::RawData, CALL(SendFixed128RawData(Block())), R, nullptr, true},
};
#undef CALL

// ---- The cached device values --------------------------------------------

// A copy of every device value the library mirrors, field by field, so a
// difference names the field. Selectors that the exports set before asking
// and the link-level peer version are left out.
using Mirror = std::map<std::string, std::vector<uint8_t>>;

Mirror TakeMirror() {
    morel::ContextRef ref;
    Mirror m;
    if (!ref)
        return m;
    const morel::ApiContext *c = ref.ctx;
    morel::LockGuard g(ref->queueLock);
    struct Field {
        const char *name;
        const void *at;
        size_t size;
    };
#define MIRRORED(field) Field{#field, &c->field, sizeof c->field}
    const Field fields[] = {
        MIRRORED(speakerphoneVersions), MIRRORED(destinationCode), MIRRORED(destinationValue), MIRRORED(unicodeCount),
        MIRRORED(unicodeTable),         MIRRORED(networkItem1),    MIRRORED(networkItem2),     MIRRORED(networkItem3),
        MIRRORED(networkItem4),         MIRRORED(networkItem5),    MIRRORED(networkItem6),     MIRRORED(networkItem7),
        MIRRORED(keyAction),            MIRRORED(keyCode),         MIRRORED(callRecords),      MIRRORED(ringerVolume),
        MIRRORED(receiveVolume),        MIRRORED(slowTalkMode),    MIRRORED(soundEnhancerMode),
        MIRRORED(deviceErrorCode),      MIRRORED(deviceStatus),    MIRRORED(deviceStatus2),    MIRRORED(lastChangedItem),
        MIRRORED(systemDataStore),      MIRRORED(contactCount),    MIRRORED(contactSetResult), MIRRORED(recordCount),
        MIRRORED(playbackPosition),     MIRRORED(playbackVolume),  MIRRORED(recordOpStatus),   MIRRORED(rtcpReceiveBlock),
        MIRRORED(cameraValue1),         MIRRORED(cameraValue2),    MIRRORED(cameraValue3),     MIRRORED(cameraText1),
        MIRRORED(cameraText2),          MIRRORED(cameraValue4),    MIRRORED(cameraValue5),     MIRRORED(rtcpVersionByte),
        MIRRORED(rtcpVersion),          MIRRORED(operatingMode),
        Field{"display", c->displayBuffer, morel::kDisplayBytes},
        Field{"contacts", c->contactTable, sizeof(morel::ContactRecord) * morel::kContactCountMax},
        Field{"rawBlock", c->rawReceiveBuffer, 128},
    };
#undef MIRRORED
    for (const Field &f : fields)
        m[f.name].assign(static_cast<const uint8_t *>(f.at), static_cast<const uint8_t *>(f.at) + f.size);
    m["productDefault"] = {static_cast<uint8_t>(c->productDefault.load())};
    for (size_t i = 0; i < morel::kRecordCountMax; ++i) {
        const morel::RecordInfo &e = c->recordTable.entries[i];
        for (uint32_t x : {e.infoA1, uint32_t{e.infoA2}, uint32_t{e.infoA3}, e.infoValue, e.infoB1, e.infoB2,
                           uint32_t{e.infoB3}, uint32_t{e.infoB4}})
            for (int k = 0; k < 32; k += 8)
                m["record" + std::to_string(i + 1)].push_back(static_cast<uint8_t>(x >> k));
    }
    return m;
}

std::vector<std::string> Differences(const Mirror &a, const Mirror &b) {
    std::vector<std::string> out;
    for (const auto &[name, bytes] : a)
        if (auto it = b.find(name); it == b.end() || it->second != bytes)
            out.push_back(name);
    return out;
}

// Gives every value the device answers a new value, so that an answer whose
// handler ran by mistake would show in the cache.
void Perturb(sim::DeviceState &st, uint32_t n) {
    const auto u8 = [](uint32_t v) { return static_cast<uint8_t>(v); };
    st.status = n % 2 ? 7 : 8;
    st.status2 = u8(n);
    st.errorCode = static_cast<uint16_t>(0x100 + n);
    st.productDefault = n % 2;
    for (auto &v : st.versions)
        v = static_cast<uint16_t>(v + 1);
    st.networkItem1[0] = u8(n);
    for (auto &v : st.networkItems)
        v += 3;
    st.destinationCode = u8(n);
    st.destinationValue = static_cast<uint16_t>(n * 3);
    st.table[0][0] = u8(n);
    st.keyAction = u8(n % 3);
    st.keyCode = u8('0' + n % 10);
    st.slowTalk = u8(n % 3 == 0 ? 0 : n % 3 + 1);
    st.soundEnhancer = u8(n % 3);
    st.ringerVolume = u8(n % 4);
    st.receiveVolume = u8(1 + n % 8);
    for (sim::SystemItem &item : st.items)
        ++item.value[0];
    st.lastChangedItem = 1;
    for (sim::Contact &c : st.contacts)
        ++c.data1[0];
    for (sim::RecordInfo &r : st.records)
        ++r.a1;
    st.playbackPosition += 13;
    st.playbackVolume = u8(1 + n % 8);
    ++st.camera[0];
    st.operatingMode = u8(n);
    ++st.rtcpReceive[0];
    st.rtcpMaxVersion = 3;
    st.rtcpVersion = static_cast<uint16_t>(1 + n % 3);
    st.rtcpVersionByte = u8(n);
}

// ---- The fixture ---------------------------------------------------------

class FaultTest : public SimLibraryTest {
  protected:
    void SetUp() override {
        SimLibraryTest::SetUp();
        morel::g_timing.replyTimeoutMs = kReplyTimeoutMs;
        // Reconnect attempts follow each other quickly.
        morel::SetSleepHook([](uint32_t ms) { return std::min<uint32_t>(ms, 5); });
    }

    uint16_t ResultCode() {
        morel::ContextRef ref;
        return ref ? ref->resultCode.load() : 0xFFFF;
    }

    // Packets still queued or pending.
    size_t Outstanding() {
        morel::ContextRef ref;
        if (!ref)
            return 0;
        morel::LockGuard g(ref->queueLock);
        size_t n = 0;
        for (morel::CommandPacket *p : {ref->sendQueue, ref->pendingList})
            for (; p != nullptr; p = p->next)
                ++n;
        return n;
    }

    // Waits until the device has sent everything it had to send and the
    // library has taken it in: an exchange that nothing decodes answers only
    // after every byte before it has gone through the receive path.
    void Settle() {
        ASSERT_TRUE(sim::WaitIdle(dev, 5000ms));
        morel::ContextRef ref;
        ASSERT_TRUE(ref);
        // Bytes left behind by garbage, or a bad header still being
        // discarded, can cost the barrier an answer or two.
        const uint32_t saved = morel::g_timing.replyTimeoutMs.exchange(500);
        bool done = false;
        for (int attempt = 0; attempt < 3 && !done; ++attempt)
            done = morel::ExchangeRequest(ref, cmd::KeepAlive) == 1;
        morel::g_timing.replyTimeoutMs = saved;
        ASSERT_TRUE(done) << "the library no longer gets answers";
        // The barrier syncs the receiver; notifications are handled later,
        // on the event thread.
        DrainEvents();
    }

    static size_t LinkUps(const std::vector<Recorded> &events) {
        return std::count_if(events.begin(), events.end(), [](const Recorded &r) {
            return r.code == MORELAPI_EVENT_LINK && !r.value.empty() && r.value[0] == 1;
        });
    }
    bool WaitLinkBack(size_t upsBefore) {
        return EventRecorder::Get().WaitFor([&](const std::vector<Recorded> &ev) { return LinkUps(ev) > upsBefore; },
                                            10000ms);
    }

    // Puts the device in the state the row needs; returns what it then holds.
    sim::DeviceState Prepare(const Row &row) {
        if (row.prepare)
            sim::Update(dev, row.prepare);
        return sim::Snapshot(dev);
    }
    int64_t SuccessValue(const Row &row, const sim::DeviceState &before) {
        return row.success ? row.success(before, sim::Snapshot(dev)) : 1;
    }

    void RunCase(const Row &row, const Fault &fault, uint32_t n);
};

void FaultTest::RunCase(const Row &row, const Fault &fault, uint32_t n) {
    SCOPED_TRACE(std::string(row.name) + " / " + fault.name);
    sim::Update(dev, [&](sim::DeviceState &st) { Perturb(st, n); });
    const sim::DeviceState deviceBefore = Prepare(row);
    ASSERT_NO_FATAL_FAILURE(Settle());
    const Mirror before = TakeMirror();
    const size_t linkUps = LinkUps(EventRecorder::Get().Events());
    const uint64_t faultsBefore = sim::GetCounters(dev).faultsApplied;

    sim::FaultRule rule = RuleFor(row.command, fault.actions, morel::kAddrApp);
    rule.delayMs = fault.delayMs;
    sim::AddFaultRule(dev, rule);
    Out out;
    std::memset(out.b, kSentinel, sizeof out.b);
    // A lost link must release the request at once, not at its time-out:
    // with a time-out far beyond the test's own limit, a call that returns
    // at all did not wait for it.
    if (fault.outcome == Outcome::DropsLink)
        morel::g_timing.replyTimeoutMs = kNeverMs;
    const int64_t result = row.call(out);
    morel::g_timing.replyTimeoutMs = kReplyTimeoutMs;
    const uint16_t code = ResultCode();
    // A posted request may not have reached the device yet.
    ASSERT_TRUE(sim::WaitUntil(dev, [&](const sim::Log &l) { return l.counters.faultsApplied > faultsBefore; }, 5000ms))
        << "the request never reached the device";
    sim::ClearFaults(dev);

    const bool posted = row.kind == Kind::Posted;
    const bool succeeds = fault.outcome == Outcome::Succeeds || fault.outcome == Outcome::SucceedsOnce;
    const bool fails = !posted && !succeeds;
    if (posted) {
        EXPECT_EQ(result, 1) << "a posted request is queued whatever the device does";
    } else if (succeeds) {
        EXPECT_EQ(result, SuccessValue(row, deviceBefore));
        EXPECT_EQ(code, morel::kResultNone);
    } else {
        EXPECT_EQ(result, row.kind == Kind::StoreAnswers ? 1 : 0);
        // After a lost link the start-up synchronisation makes requests of
        // its own at once, and each of them resets the code.
        if (code != fault.orResultCode && fault.outcome != Outcome::DropsLink) {
            EXPECT_EQ(code, fault.resultCode);
        }
        const auto untouched = std::count(std::begin(out.b), std::end(out.b), kSentinel);
        if (row.kind == Kind::Request) {
            EXPECT_EQ(untouched, std::ssize(out.b)) << "a failed call wrote its out-parameters";
        } else {
            EXPECT_LT(untouched, std::ssize(out.b)) << "a failed call did not write out the cached values";
        }
    }
    if (fault.outcome == Outcome::DropsLink) {
        ASSERT_TRUE(WaitLinkBack(linkUps)) << "the link did not come back";
    }
    ASSERT_NO_FATAL_FAILURE(Settle());
    // Nothing of the failed answer reached the cache; only what the device
    // announced by its own notifications may have changed it.
    if (fails && fault.outcome != Outcome::DropsLink && !(row.notifiesCache && fault.deviceActs)) {
        EXPECT_EQ(Differences(before, TakeMirror()), std::vector<std::string>{});
    }
    if (!posted) {
        EXPECT_EQ(Outstanding(), 0u) << "a packet was left queued or pending";
    }

    // The library works for the next call (after stale bytes, within two).
    sim::DeviceState deviceNow = Prepare(row);
    std::memset(out.b, kSentinel, sizeof out.b);
    int64_t next = row.call(out);
    if (fault.outcome == Outcome::SucceedsOnce && next != SuccessValue(row, deviceNow) && !posted) {
        const uint16_t lost = ResultCode();
        EXPECT_TRUE(lost == morel::kResultFailed || lost == morel::kResultTimedOut)
            << "the answer behind the stale bytes is lost, nothing else: " << lost;
        ASSERT_NO_FATAL_FAILURE(Settle());
        deviceNow = Prepare(row);
        next = row.call(out);
    }
    EXPECT_EQ(next, posted ? 1 : SuccessValue(row, deviceNow)) << "the next call failed";
    ASSERT_NO_FATAL_FAILURE(Settle());
}

std::string TestName(std::string name) {
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class FaultMatrix : public FaultTest, public ::testing::WithParamInterface<Row> {};

TEST_P(FaultMatrix, EveryFault) {
    uint32_t n = 1;
    for (const Fault &fault : kFaults) {
        ASSERT_NO_FATAL_FAILURE(RunCase(GetParam(), fault, n++));
        if (HasFailure())
            break; // one broken case at a time keeps the report readable
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return TestName(info.param.name); });

// ---- The start-up synchronisation ----------------------------------------

// Where in the start-up sequence the fault strikes: the first request (the
// status that decides readiness), a system data read in the middle, the
// display read that ends it.
struct SyncTarget {
    const char *name;
    Command command;
    uint32_t skip;
};
const SyncTarget kSyncTargets[] = {{"first", cmd::Status, 0}, {"middle", cmd::GetSystemData, 30},
                                   {"last", cmd::DisplayRead, 0}};

struct SyncCase {
    const Fault *fault;
    const SyncTarget *target;
};

std::vector<SyncCase> SyncCases() {
    std::vector<SyncCase> out;
    for (const Fault &f : kFaults)
        for (const SyncTarget &t : kSyncTargets)
            out.push_back({&f, &t});
    return out;
}

void PrintTo(const SyncCase &c, std::ostream *os) { *os << c.fault->name << " at " << c.target->name; }

class StartupFaults : public FaultTest, public ::testing::WithParamInterface<SyncCase> {
  protected:
    void SetUp() override {
        startInSetUp = false;
        FaultTest::SetUp();
    }
};

// The link comes up once, after one report of the link being down, with the
// device's whole state in the cache, and requests work.
TEST_P(StartupFaults, LinkComesUpOnceWithTheWholeState) {
    const Fault &fault = *GetParam().fault;
    const SyncTarget &target = *GetParam().target;
    sim::Update(dev, [](sim::DeviceState &st) { Perturb(st, 5); });
    sim::FaultRule rule = RuleFor(target.command, fault.actions, morel::kAddrSync);
    rule.skip = target.skip;
    rule.delayMs = fault.delayMs;
    sim::AddFaultRule(dev, rule);
    StartLibrary();
    ASSERT_TRUE(WaitLinkUp(10000ms)) << "the link never came up";
    // The slots are registered just after the start, so the first report
    // (link down) may come before anybody listens; after it, exactly one
    // report: the link is up.
    std::vector<uint8_t> reports;
    for (const Recorded &r : EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_LINK))
        reports.push_back(r.value.empty() ? 0xFF : r.value[0]);
    if (!reports.empty() && reports.front() == 0)
        reports.erase(reports.begin());
    EXPECT_EQ(reports, (std::vector<uint8_t>{1})) << "one report down, then one report up";

    const sim::DeviceState st = sim::Snapshot(dev);
    uint16_t version = 0;
    EXPECT_EQ(GetVersionSpeakerphone(2, &version), 1);
    EXPECT_EQ(version, st.versions[2]);
    std::vector<uint8_t> image(MORELAPI_DISPLAY_BYTES);
    EXPECT_EQ(GetLCDdata(image.data()), 1);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), st.display.begin())) << "the display read last is in";
    uint8_t item109 = 0xEE;
    EXPECT_EQ(GetSystemData(109, &item109), 1);
    EXPECT_EQ(item109, sim::FindItem(st, 109)->value[0]);
    uint8_t status = 0;
    int ok = GetSPphoneStatus(&status);
    if (ok != 1 && fault.outcome == Outcome::SucceedsOnce) // garbage behind the last answer costs the next one
        ok = GetSPphoneStatus(&status);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(status, st.status);
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(Outstanding(), 0u);
    EXPECT_GE(sim::GetCounters(dev).faultsApplied, 1u);
    if (fault.outcome == Outcome::Succeeds) {
        EXPECT_EQ(sim::GetCounters(dev).opens, 1u) << "the first attempt succeeds";
    }
}

INSTANTIATE_TEST_SUITE_P(Sync, StartupFaults, ::testing::ValuesIn(SyncCases()), [](const auto &info) {
    return TestName(std::string(info.param.fault->name) + "_" + info.param.target->name);
});

class LinkFaults : public FaultTest {};

// A stray byte taken for a header sets the peer's version. When it reads
// below the library's version the library steps down a rung; the device's own
// frames then stand above that rung and are all refused, so the library must
// climb back instead of going on down, or the link never comes up again.
TEST_F(LinkFaults, AStrayLowVersionByteDoesNotStrandTheLink) {
    sim::FaultRule rule = RuleFor(cmd::Status, sim::kGarbageBefore | sim::kDropResponse, morel::kAddrSync);
    rule.garbageByte = 0x05;
    ReplaceDevice({}, {{rule}});
    StartLibrary();
    std::vector<uint8_t> versions;
    for (const sim::HostFrame &f : FramesOf(cmd::Status, morel::kAddrSync))
        versions.push_back(f.version);
    EXPECT_EQ(versions, (std::vector<uint8_t>{0x30, 0x21, 0x30}));
    uint8_t cti = 0;
    EXPECT_EQ(GetCTIVersion(&cti), 1);
    EXPECT_EQ(cti, 0x30);
}

// Half a frame is in the ring when the link drops. It is dropped with the
// connection: the next connection's bytes are not read as its rest, so the
// link comes back at the first attempt, and no notification made of old and
// new bytes reaches the application.
TEST_F(LinkFaults, HalfAFrameFromALostLinkDoesNotSpoilTheNextOne) {
    uint8_t frame[20 + 128] = {0x30, 0, 16, 0, 0x02, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 84, 0, 0, 0};
    std::memset(frame + 20, 0x11, 128);
    const size_t ups = LinkUps(EventRecorder::Get().Events());
    sim::SendRawBytes(dev, frame, 40);
    ASSERT_TRUE(sim::WaitIdle(dev, 5000ms));
    const uint64_t opens = sim::GetCounters(dev).opens;
    sim::ReportLink(dev, TALVO_TYPE_LINK_LOST);
    ASSERT_TRUE(WaitLinkBack(ups)) << "the link did not come back";
    EXPECT_EQ(sim::GetCounters(dev).opens, opens + 1) << "the first attempt after the loss failed";
    EXPECT_EQ(EventRecorder::Get().Count(MORELAPI_EVENT_RAW_DATA), 0u) << "a notification made of two links' bytes";
    uint8_t status = 0;
    EXPECT_EQ(GetSPphoneStatus(&status), 1);
}

} // namespace
} // namespace morel_test
