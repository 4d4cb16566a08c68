// The fault matrix: every export that talks to the device, and the start-up
// synchronisation, against every way the device can misbehave. For each pair:
// the exact result and resultCode, out-parameters untouched when the call
// fails, the cached device values unchanged by a failed answer, nothing left
// queued or pending, and the library working again for the next call.
#include <cinttypes>
#include <map>
#include <string>

#include "api/request.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using morel::ApiContext;
using morel::ContextRef;
using morel::LockGuard;

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
    int classId, commandId;
    Call call;
    Kind kind = Kind::Request;
    Prepare prepare = nullptr;
    bool notifiesCache = false; // the device reports the change it makes, and the cache follows
    Expect success = nullptr;   // the value returned on success (default 1)
};

sim::Call LiveCall(uint8_t id, uint8_t state) {
    sim::Call c{};
    c.live = true;
    c.id = id;
    c.state = state;
    c.attribute = 1;
    const char text[] = "5551234";
    std::memcpy(c.text.data(), text, sizeof text);
    c.param = 77;
    return c;
}
void NoCalls(sim::DeviceState &st) { st.calls = {}; }
void OneConnected(sim::DeviceState &st) { st.calls = {LiveCall(1, sim::kCallConnected), sim::Call{}}; }
void OneRinging(sim::DeviceState &st) { st.calls = {LiveCall(1, sim::kCallRinging), sim::Call{}}; }
void TwoEstablished(sim::DeviceState &st) {
    st.calls = {LiveCall(1, sim::kCallConnected), LiveCall(2, sim::kCallHeld)};
}
void RecorderIdle(sim::DeviceState &st) {
    st.recordCount = 3;
    st.recordOpStatus = sim::kRecIdle;
    st.playingRecord = 0;
}
void Recording(sim::DeviceState &st) {
    RecorderIdle(st);
    st.recordOpStatus = sim::kRecRecording;
}
void Playing(sim::DeviceState &st) {
    RecorderIdle(st);
    st.recordOpStatus = sim::kRecPlaying;
    st.playingRecord = 1;
}
void Paused(sim::DeviceState &st) {
    Playing(st);
    st.recordOpStatus = sim::kRecPaused;
}
void FiveContacts(sim::DeviceState &st) {
    st.contactCount = 5;
    for (size_t i = 0; i < 5; ++i)
        st.contacts[i].byte = static_cast<uint8_t>(i + 1);
}

const uint8_t *Text129() {
    static uint8_t text[MORELAPI_CALL_TEXT_BYTES] = "5550100";
    return text;
}
const uint8_t *Block(size_t) {
    static uint8_t block[256];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<uint8_t>(i * 7 + 1);
    return block;
}

const Row kRows[] = {
    // Status and identity.
    {"GetSPphoneStatus", 1, 9, [](Out &o) -> int64_t { return GetSPphoneStatus(o.b); }},
    {"GetSPphoneStatus2", 1, 13, [](Out &o) -> int64_t { return GetSPphoneStatus2(o.b, o.b + 1); }},
    {"ErrorCode", 1, 9, [](Out &) -> int64_t { return ErrorCode(); }, Kind::Request, nullptr, false,
     [](const sim::DeviceState &, const sim::DeviceState &st) -> int64_t { return st.errorCode; }},
    {"GetDestination", 1, 10, [](Out &o) -> int64_t { return GetDestination(o.b, o.u16(2)); }},
    {"GetIPnetworkInfo", 1, 4, [](Out &o) -> int64_t { return GetIPnetworkInfo(3, o.b); }},
    {"Reboot", 1, 2, [](Out &) -> int64_t { return Reboot(); }, Kind::Posted},
    // Keys.
    {"SetKey", 1, 6, [](Out &) -> int64_t { return SetKey('5', 0); }, Kind::Request, nullptr, true},
    // Call control.
    {"MakeCall", 2, 1, [](Out &) -> int64_t { return MakeCall(0, 1, Text129()); }, Kind::Request, NoCalls, true},
    {"EndCall", 2, 2, [](Out &) -> int64_t { return EndCall(1); }, Kind::Request, OneConnected, true},
    {"AnswerCall", 2, 3, [](Out &) -> int64_t { return AnswerCall(); }, Kind::Request, OneRinging, true},
    {"HoldOperate", 2, 21, [](Out &) -> int64_t { return HoldOperate(0); }, Kind::Request, OneConnected, true},
    {"JoinCall", 2, 4, [](Out &) -> int64_t { return JoinCall(); }, Kind::Request, TwoEstablished, true},
    {"InviteConference", 2, 5, [](Out &) -> int64_t { return InviteConference(); }, Kind::Request, TwoEstablished,
     true},
    {"RejectCall", 2, 6, [](Out &) -> int64_t { return RejectCall(); }, Kind::Request, OneRinging, true},
    // Audio settings.
    {"SetMute", 2, 7, [](Out &) -> int64_t { return SetMute(1); }},
    {"SetSlowTalk", 2, 8, [](Out &) -> int64_t { return SetSlowTalk(2); }},
    {"SetSoundEnhancer", 2, 9, [](Out &) -> int64_t { return SetSoundEnhancer(1); }},
    {"GetSlowTalk", 2, 10, [](Out &o) -> int64_t { return GetSlowTalk(o.b); }},
    {"GetSoundEnhancer", 2, 11, [](Out &o) -> int64_t { return GetSoundEnhancer(o.b); }},
    {"SetRingerVol", 2, 17, [](Out &) -> int64_t { return SetRingerVol(2); }, Kind::Request, nullptr, true},
    {"SetReceiverVol", 2, 19, [](Out &) -> int64_t { return SetReceiverVol(5); }, Kind::Request, nullptr, true},
    // System data.
    {"GetSystemData", 3, 2, [](Out &o) -> int64_t { return GetSystemData(2, o.b); }, Kind::StoreAnswers},
    {"SetSystemData", 3, 1, [](Out &) -> int64_t { return SetSystemData(1, Block(1)); }, Kind::Request, nullptr,
     true},
    {"SetSystemData-action", 3, 1, [](Out &) -> int64_t { return SetSystemData(131, nullptr); }, Kind::Posted},
    // Call information.
    {"GetCallInfo", 2, 20,
     [](Out &o) -> int64_t { return GetCallInfo(1, o.b, o.b + 8, o.u32(4)); }, Kind::Request, OneConnected},
    // Contacts.
    {"GetContactCount", 4, 1, [](Out &o) -> int64_t { return GetContactCount(o.b); }, Kind::CopiesAlways,
     FiveContacts},
    {"GetContact", 4, 2, [](Out &o) -> int64_t { return GetContact(2, o.b + 8, o.b, o.b + 48); },
     Kind::CopiesAlways, FiveContacts},
    {"SetContact", 4, 3, [](Out &) -> int64_t { return SetContact(Block(34), Block(1), Block(129)); },
     Kind::Request, FiveContacts, false,
     [](const sim::DeviceState &before, const sim::DeviceState &) -> int64_t { return before.contactCount + 1; }},
    {"DeleteContact", 4, 4, [](Out &) -> int64_t { return DeleteContact(1); }, Kind::Request, FiveContacts},
    // Recorder.
    {"GetRecordCount", 5, 1, [](Out &o) -> int64_t { return GetRecordCount(o.b); }},
    {"GetRecordInfo", 5, 2, [](Out &o) -> int64_t { return GetRecordInfo(1, o.b + 8, o.u32(4), o.b + 16); },
     Kind::Request, RecorderIdle},
    {"DeleteRecord", 5, 3, [](Out &) -> int64_t { return DeleteRecord(1); }, Kind::Request, RecorderIdle},
    {"DeleteAllRecords", 5, 4, [](Out &) -> int64_t { return DeleteAllRecords(); }, Kind::Request, RecorderIdle},
    {"StartRecording", 6, 1, [](Out &) -> int64_t { return StartRecording(); }, Kind::Request, RecorderIdle},
    {"StopRecording", 6, 2, [](Out &) -> int64_t { return StopRecording(); }, Kind::Request, Recording},
    {"StartPlayback", 6, 3, [](Out &) -> int64_t { return StartPlayback(2); }, Kind::Request, RecorderIdle},
    {"StopPlayback", 6, 4, [](Out &) -> int64_t { return StopPlayback(); }, Kind::Request, Playing},
    {"PausePlayback", 6, 5, [](Out &) -> int64_t { return PausePlayback(); }, Kind::Request, Playing},
    {"ResumePlayback", 6, 6, [](Out &) -> int64_t { return ResumePlayback(0); }, Kind::Request, Paused},
    {"GetCurrentPlaybackPos", 6, 8, [](Out &o) -> int64_t { return GetCurrentPlaybackPos(o.u32(0)); },
     Kind::Request, Playing},
    {"SetPlaybackVol", 6, 11, [](Out &) -> int64_t { return SetPlaybackVol(4); }, Kind::Request, nullptr, true},
    {"GetRecordOpStatus", 6, 12, [](Out &o) -> int64_t { return GetRecordOpStatus(o.u32(0)); }},
    // Network camera.
    {"SetNwCameraInfo", 3, 4,
     [](Out &) -> int64_t { return SetNwCameraInfo(1, 2, 3, Block(17), Block(17), 4, 5); }},
    {"GetNwCameraInfo", 3, 5,
     [](Out &o) -> int64_t {
         return GetNwCameraInfo(o.u32(0), o.u16(4), o.b + 6, o.b + 8, o.b + 26, o.u32(44), o.u16(48));
     }},
    // RTCP and raw data.
    {"SetRtcpSend", 7, 1, [](Out &) -> int64_t { return SetRtcpSend(1, Block(84)); }},
    {"GetRtcpReceive", 7, 2, [](Out &o) -> int64_t { return GetRtcpReceive(1, o.b); }},
    {"SetRtcpVer", 7, 3, [](Out &) -> int64_t { return SetRtcpVer(2, 0, 1); }, Kind::Request, nullptr, false,
     [](const sim::DeviceState &, const sim::DeviceState &st) -> int64_t { return st.rtcpVersion; }},
    {"GetRtcpVer", 7, 4, [](Out &o) -> int64_t { return GetRtcpVer(0, 0, o.b); }, Kind::Request, nullptr, false,
     [](const sim::DeviceState &, const sim::DeviceState &st) -> int64_t { return st.rtcpVersion; }},
    {"SendFixed128RawData", 0, 2, [](Out &) -> int64_t { return SendFixed128RawData(Block(128)); }, Kind::Request,
     nullptr, true},
};

// ---- The cached device values --------------------------------------------

// A copy of every device value the library mirrors, field by field, so a
// difference names the field. Selectors that the exports set before asking
// and the link-level peer version are left out.
using Mirror = std::map<std::string, std::vector<uint8_t>>;

template <typename T> void Put(Mirror &m, const char *name, const T &v) {
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    m[name].assign(p, p + sizeof v);
}

Mirror TakeMirror() {
    ContextRef ref;
    Mirror m;
    if (!ref)
        return m;
    ApiContext *c = ref.ctx;
    LockGuard g(c->queueLock);
    Put(m, "versions", c->speakerphoneVersions);
    Put(m, "destinationCode", c->destinationCode);
    Put(m, "destinationValue", c->destinationValue);
    Put(m, "unicodeCount", c->unicodeCount);
    Put(m, "unicodeTable", c->unicodeTable);
    Put(m, "networkItem1", c->networkItem1);
    Put(m, "networkItem2", c->networkItem2);
    Put(m, "networkItem3", c->networkItem3);
    Put(m, "networkItem4", c->networkItem4);
    Put(m, "networkItem5", c->networkItem5);
    Put(m, "networkItem6", c->networkItem6);
    Put(m, "networkItem7", c->networkItem7);
    Put(m, "keyAction", c->keyAction);
    Put(m, "keyCode", c->keyCode);
    m["display"].assign(c->displayBuffer, c->displayBuffer + morel::kDisplayBytes);
    for (int i = 0; i < 2; ++i) {
        const morel::CallRecord &r = c->callRecords[i];
        std::string n = "call" + std::to_string(i);
        Put(m, (n + ".inUse").c_str(), r.inUse);
        Put(m, (n + ".state").c_str(), r.callState);
        Put(m, (n + ".id").c_str(), r.callId);
        Put(m, (n + ".attribute").c_str(), r.callAttribute);
        Put(m, (n + ".number").c_str(), r.number);
        Put(m, (n + ".param").c_str(), r.callParam);
    }
    Put(m, "ringerVolume", c->ringerVolume);
    Put(m, "receiveVolume", c->receiveVolume);
    Put(m, "slowTalkMode", c->slowTalkMode);
    Put(m, "soundEnhancerMode", c->soundEnhancerMode);
    Put(m, "deviceErrorCode", c->deviceErrorCode);
    Put(m, "deviceStatus", c->deviceStatus);
    Put(m, "deviceStatus2", c->deviceStatus2);
    Put(m, "productDefault", c->productDefault.load());
    Put(m, "lastChangedItem", c->lastChangedItem);
    Put(m, "systemDataStore", c->systemDataStore);
    Put(m, "contactCount", c->contactCount);
    Put(m, "contactSetResult", c->contactSetResult);
    for (size_t i = 0; i < morel::kContactCountMax; ++i) {
        const morel::ContactRecord &e = c->contactTable[i];
        std::vector<uint8_t> &v = m["contact" + std::to_string(i + 1)];
        v.assign(e.contactData1, e.contactData1 + sizeof e.contactData1);
        v.push_back(e.contactByte);
        v.insert(v.end(), e.contactData2, e.contactData2 + sizeof e.contactData2);
    }
    Put(m, "recordCount", c->recordCount);
    for (size_t i = 0; i < morel::kRecordCountMax; ++i) {
        const morel::RecordInfo &e = c->recordTable.entries[i];
        std::vector<uint8_t> &v = m["record" + std::to_string(i + 1)];
        for (uint32_t x : {e.infoA1, uint32_t{e.infoA2}, uint32_t{e.infoA3}, e.infoValue, e.infoB1, e.infoB2,
                           uint32_t{e.infoB3}, uint32_t{e.infoB4}})
            v.insert(v.end(), reinterpret_cast<uint8_t *>(&x), reinterpret_cast<uint8_t *>(&x) + 4);
    }
    Put(m, "playbackPosition", c->playbackPosition);
    Put(m, "playbackVolume", c->playbackVolume);
    Put(m, "recordOpStatus", c->recordOpStatus);
    Put(m, "rtcpReceiveBlock", c->rtcpReceiveBlock);
    Put(m, "camera1", c->cameraValue1);
    Put(m, "camera2", c->cameraValue2);
    Put(m, "camera3", c->cameraValue3);
    Put(m, "cameraText1", c->cameraText1);
    Put(m, "cameraText2", c->cameraText2);
    Put(m, "camera4", c->cameraValue4);
    Put(m, "camera5", c->cameraValue5);
    Put(m, "rtcpVersionByte", c->rtcpVersionByte);
    Put(m, "rtcpVersion", c->rtcpVersion);
    Put(m, "operatingMode", c->operatingMode);
    m["rawBlock"].assign(c->rawReceiveBuffer, c->rawReceiveBuffer + 128);
    return m;
}

std::vector<std::string> Differences(const Mirror &a, const Mirror &b) {
    std::vector<std::string> out;
    for (const auto &[name, bytes] : a) {
        auto it = b.find(name);
        if (it == b.end() || it->second != bytes)
            out.push_back(name);
    }
    return out;
}

// Gives every value the device answers a new value, so that an answer whose
// handler ran by mistake would show in the cache.
// A signal no request makes the device send (slot 7).
constexpr uint16_t kSettleMarker = 0x0701;

void Perturb(sim::DeviceState &st, uint32_t n) {
    st.status = n % 2 ? 7 : 8;
    st.status2 = static_cast<uint8_t>(n);
    st.errorCode = static_cast<uint16_t>(0x100 + n);
    st.productDefault = n % 2;
    for (auto &v : st.versions)
        v = static_cast<uint16_t>(v + 1);
    st.networkItem1[0] = static_cast<uint8_t>(n);
    for (auto &v : st.networkItems)
        v += 3;
    st.destinationCode = static_cast<uint8_t>(n);
    st.destinationValue = static_cast<uint16_t>(n * 3);
    st.table[0][0] = static_cast<uint8_t>(n);
    st.keyAction = static_cast<uint8_t>(n % 3);
    st.keyCode = static_cast<uint8_t>('0' + n % 10);
    st.slowTalk = static_cast<uint8_t>(n % 3 == 0 ? 0 : n % 3 + 1);
    st.soundEnhancer = static_cast<uint8_t>(n % 3);
    st.ringerVolume = static_cast<uint8_t>(n % 4);
    st.receiveVolume = static_cast<uint8_t>(1 + n % 8);
    for (sim::SystemItem &item : st.items)
        item.value[0] = static_cast<uint8_t>(item.value[0] + 1);
    st.lastChangedItem = 1;
    for (sim::Contact &c : st.contacts)
        c.data1[0] = static_cast<uint8_t>(c.data1[0] + 1);
    for (sim::RecordInfo &r : st.records)
        r.a1 += 1;
    st.playbackPosition += 13;
    st.playbackVolume = static_cast<uint8_t>(1 + n % 8);
    st.camera[0] = static_cast<uint8_t>(st.camera[0] + 1);
    st.operatingMode = static_cast<uint8_t>(n);
    st.rtcpReceive[0] = static_cast<uint8_t>(st.rtcpReceive[0] + 1);
    st.rtcpMaxVersion = 3;
    st.rtcpVersion = static_cast<uint16_t>(1 + n % 3);
    st.rtcpVersionByte = static_cast<uint8_t>(n);
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
        ContextRef ref;
        return ref ? ref->resultCode.load() : 0xFFFF;
    }

    // Packets still queued or pending.
    size_t Outstanding() {
        ContextRef ref;
        if (!ref)
            return 0;
        LockGuard g(ref->queueLock);
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
        ContextRef ref;
        ASSERT_TRUE(ref);
        // Bytes left behind by garbage, or a bad header still being
        // discarded, can cost the barrier an answer or two.
        uint32_t saved = morel::g_timing.replyTimeoutMs.exchange(500);
        bool done = false;
        for (int attempt = 0; attempt < 3 && !done; ++attempt)
            done = morel::ExchangeRequest(ref, morel::Command{0, 1}) == 1;
        morel::g_timing.replyTimeoutMs = saved;
        ASSERT_TRUE(done) << "the library no longer gets answers";
        // The barrier above syncs the receiver; notifications are handled
        // later, on the event thread. A signal sent now is handled after
        // every notification before it, so once its callback came none of
        // them can still change the cache.
        const size_t marks = EventRecorder::Get().Count(kSettleMarker);
        ASSERT_TRUE(sim::SendNotification(dev, kSettleMarker, nullptr, 0));
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(kSettleMarker, marks + 1)) << "notifications are not handled";
    }

    static size_t LinkUps(const std::vector<Recorded> &events) {
        size_t n = 0;
        for (const Recorded &r : events)
            n += r.code == MORELAPI_EVENT_LINK && !r.value.empty() && r.value[0] == 1;
        return n;
    }
    size_t LinkUps() { return LinkUps(EventRecorder::Get().Events()); }

    // The slots are registered just after the start, so the first report
    // (link down) may come before anybody listens; after it, exactly one
    // report: the link is up.
    void ExpectOneLinkUp() {
        std::vector<uint8_t> reports;
        for (const Recorded &r : EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_LINK))
            reports.push_back(r.value.empty() ? 0xFF : r.value[0]);
        if (!reports.empty() && reports.front() == 0)
            reports.erase(reports.begin());
        EXPECT_EQ(reports, (std::vector<uint8_t>{1})) << "one report down, then one report up";
    }

    void Prepare(const Row &row) {
        sim::Update(dev, [&](sim::DeviceState &st) {
            if (row.prepare)
                row.prepare(st);
        });
    }

    int64_t SuccessValue(const Row &row, const sim::DeviceState &before) {
        return row.success ? row.success(before, sim::Snapshot(dev)) : 1;
    }

    void RunCase(const Row &row, const Fault &fault, uint32_t n);
};

void FaultTest::RunCase(const Row &row, const Fault &fault, uint32_t n) {
    SCOPED_TRACE(std::string(row.name) + " / " + fault.name);
    sim::Update(dev, [&](sim::DeviceState &st) { Perturb(st, n); });
    Prepare(row);
    ASSERT_NO_FATAL_FAILURE(Settle());
    const Mirror before = TakeMirror();
    const sim::DeviceState deviceBefore = sim::Snapshot(dev);
    const size_t linkUps = LinkUps();
    const uint64_t faultsBefore = sim::GetCounters(dev).faultsApplied;

    sim::FaultRule rule;
    rule.classId = row.classId;
    rule.commandId = row.commandId;
    rule.destination = morel::kAddrApp;
    rule.actions = fault.actions;
    rule.delayMs = fault.delayMs;
    rule.garbageBytes = 16;
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
        if (row.kind == Kind::Request) {
            size_t touched = 0;
            for (uint8_t b : out.b)
                touched += b != kSentinel;
            EXPECT_EQ(touched, 0u) << "a failed call wrote its out-parameters";
        }
    }

    if (fault.outcome == Outcome::DropsLink) {
        ASSERT_TRUE(EventRecorder::Get().WaitFor([&](const std::vector<Recorded> &ev) { return LinkUps(ev) > linkUps; },
                                                 10000ms))
            << "the link did not come back";
    }
    ASSERT_NO_FATAL_FAILURE(Settle());

    if (!posted && !succeeds && fault.outcome != Outcome::DropsLink) {
        // Nothing of the failed answer reached the cache; only what the
        // device announced by its own notifications may have changed it.
        if (!(row.notifiesCache && fault.deviceActs)) {
            const Mirror after = TakeMirror();
            EXPECT_EQ(Differences(before, after), std::vector<std::string>{});
        }
    }
    if (!posted) {
        EXPECT_EQ(Outstanding(), 0u) << "a packet was left queued or pending";
    }

    // The library works for the next call (after stale bytes, within two).
    Prepare(row);
    sim::DeviceState deviceNow = sim::Snapshot(dev);
    std::memset(out.b, kSentinel, sizeof out.b);
    int64_t next = row.call(out);
    if (fault.outcome == Outcome::SucceedsOnce && next != SuccessValue(row, deviceNow) && !posted) {
        const uint16_t lost = ResultCode();
        EXPECT_TRUE(lost == morel::kResultFailed || lost == morel::kResultTimedOut)
            << "the answer behind the stale bytes is lost, nothing else: " << lost;
        ASSERT_NO_FATAL_FAILURE(Settle());
        Prepare(row);
        deviceNow = sim::Snapshot(dev);
        next = row.call(out);
    }
    EXPECT_EQ(next, posted ? 1 : SuccessValue(row, deviceNow)) << "the next call failed";
    ASSERT_NO_FATAL_FAILURE(Settle());
}

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class FaultMatrix : public FaultTest, public ::testing::WithParamInterface<Row> {};

TEST_P(FaultMatrix, EveryFault) {
    const Row &row = GetParam();
    uint32_t n = 1;
    for (const Fault &fault : kFaults) {
        ASSERT_NO_FATAL_FAILURE(RunCase(row, fault, n++));
        if (HasFailure())
            break; // one broken case at a time keeps the report readable
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             std::string name = info.param.name;
                             for (char &ch : name)
                                 if (ch == '-')
                                     ch = '_';
                             return name;
                         });

// ---- The start-up synchronisation ----------------------------------------

// Where in the start-up sequence the fault strikes: the first request (the
// status that decides readiness), a system data read in the middle, the
// display read that ends it.
struct SyncTarget {
    const char *name;
    int classId, commandId;
    uint32_t skip;
};
const SyncTarget kSyncTargets[] = {{"first", 1, 9, 0}, {"middle", 3, 2, 30}, {"last", 1, 7, 0}};

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

    // The link comes up once, after one report of the link being down, with
    // the device's whole state in the cache, and requests work.
    void ExpectLinkUpWithEverything(bool staleBytesLeft) {
        ASSERT_TRUE(WaitLinkUp(10000ms)) << "the link never came up";
        ExpectOneLinkUp();

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
        if (ok != 1 && staleBytesLeft) // garbage behind the last answer costs the next one
            ok = GetSPphoneStatus(&status);
        EXPECT_EQ(ok, 1);
        EXPECT_EQ(status, st.status);
        ASSERT_NO_FATAL_FAILURE(Settle());
        EXPECT_EQ(Outstanding(), 0u);
    }
};

TEST_P(StartupFaults, LinkComesUpOnceWithTheWholeState) {
    const Fault &fault = *GetParam().fault;
    const SyncTarget &target = *GetParam().target;
    sim::Update(dev, [](sim::DeviceState &st) { Perturb(st, 5); });
    sim::FaultRule rule;
    rule.classId = target.classId;
    rule.commandId = target.commandId;
    rule.destination = morel::kAddrSync;
    rule.skip = target.skip;
    rule.actions = fault.actions;
    rule.delayMs = fault.delayMs;
    sim::AddFaultRule(dev, rule);
    StartLibrary();
    ASSERT_NO_FATAL_FAILURE(ExpectLinkUpWithEverything(fault.outcome == Outcome::SucceedsOnce));
    EXPECT_GE(sim::GetCounters(dev).faultsApplied, 1u);
    if (fault.outcome == Outcome::Succeeds) {
        EXPECT_EQ(sim::GetCounters(dev).opens, 1u) << "the first attempt succeeds";
    }
}

INSTANTIATE_TEST_SUITE_P(Sync, StartupFaults, ::testing::ValuesIn(SyncCases()),
                         [](const ::testing::TestParamInfo<SyncCase> &info) {
                             std::string name = std::string(info.param.fault->name) + "_" + info.param.target->name;
                             for (char &ch : name)
                                 if (ch == '-')
                                     ch = '_';
                             return name;
                         });

// The device keeps the link down while it reports itself not ready, and the
// transport refuses to open a few times: both are retried until they pass.
TEST_F(FaultTest, StartupWaitsForAReadyDeviceAndAnOpenTransport) {
    TerminateUsbApiLib();
    EventRecorder::Get().Clear();
    sim::ClearLog(dev);
    sim::FaultPlan plan;
    plan.failOpens = 3;
    sim::FaultRule notReady;
    notReady.classId = 1;
    notReady.commandId = 9;
    notReady.destination = morel::kAddrSync;
    notReady.count = 2;
    notReady.actions = sim::kNotReady;
    plan.rules.push_back(notReady);
    sim::SetFaultPlan(dev, plan);
    ASSERT_EQ(InitializeUsbApiLib(), 1);
    RegisterAllSlots();
    ASSERT_TRUE(WaitLinkUp(10000ms));
    const sim::Counters counters = sim::GetCounters(dev);
    EXPECT_EQ(counters.opens, 3u) << "two attempts that found the device not ready, then the good one";
    EXPECT_EQ(counters.faultsApplied, 2u);
    ExpectOneLinkUp();
    uint8_t status = 0;
    EXPECT_EQ(GetSPphoneStatus(&status), 1);
}

// A stray byte taken for a header sets the peer's version. When it reads
// below the library's version the library steps down a rung; the device's own
// frames then stand above that rung and are all refused, so the library must
// climb back instead of going on down, or the link never comes up again.
TEST_F(FaultTest, AStrayLowVersionByteDoesNotStrandTheLink) {
    TerminateUsbApiLib();
    EventRecorder::Get().Clear();
    sim::ClearLog(dev);
    sim::FaultRule rule;
    rule.classId = 1;
    rule.commandId = 9;
    rule.destination = morel::kAddrSync;
    rule.actions = sim::kGarbageBefore | sim::kDropResponse;
    rule.garbageByte = 0x05;
    sim::AddFaultRule(dev, rule);
    ASSERT_EQ(InitializeUsbApiLib(), 1);
    RegisterAllSlots();
    ASSERT_TRUE(WaitLinkUp(10000ms)) << "the link never came up";
    std::vector<uint8_t> versions;
    for (const sim::HostFrame &f : FramesOf(1, 9, morel::kAddrSync))
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
TEST_F(FaultTest, HalfAFrameFromALostLinkDoesNotSpoilTheNextOne) {
    std::vector<uint8_t> block(128, 0x11);
    uint8_t frame[20 + 128] = {0x30, 0, 16, 0, 0x02, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 84, 0, 0, 0};
    std::memcpy(frame + 20, block.data(), block.size());
    const size_t ups = LinkUps();
    sim::SendRawBytes(dev, frame, 40);
    ASSERT_TRUE(sim::WaitIdle(dev, 5000ms));
    const uint64_t opens = sim::GetLog(dev).counters.opens;
    sim::ReportLink(dev, TALVO_TYPE_LINK_LOST);
    ASSERT_TRUE(EventRecorder::Get().WaitFor([&](const std::vector<Recorded> &ev) { return LinkUps(ev) > ups; },
                                             10000ms))
        << "the link did not come back";
    EXPECT_EQ(sim::GetLog(dev).counters.opens, opens + 1) << "the first attempt after the loss failed";
    EXPECT_EQ(EventRecorder::Get().Count(MORELAPI_EVENT_RAW_DATA), 0u) << "a notification made of two links' bytes";
    uint8_t status = 0;
    EXPECT_EQ(GetSPphoneStatus(&status), 1);
}

// An application may end its process without stopping the library; the
// process must still exit cleanly.
TEST(ProcessExit, WithTheLibraryRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::Device *device = sim::CreateDevice();
            SimTransportBind(device);
            morel::SetTransportForTesting(SimTransportOpen, SimTransportWrite, SimTransportClose);
            // The library is running (its start-up may be under way) when
            // the process ends without stopping it.
            std::exit(InitializeUsbApiLib() == 1 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace morel_test
