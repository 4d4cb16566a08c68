// The whole library under random load from every side at once, with a
// watchdog for hangs; docs/reliability.md lists its checks. Every thread draws
// its choices from one seed (the interleaving of the threads is not replayed).
// MORELAPI_TORTURE_SECONDS sets the length (10 s by default),
// MORELAPI_TORTURE_SEED replays a seed.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <shared_mutex>

#include "tests/support/fixture.h"
#include "tests/support/watchdog.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORELAPI_TORTURE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MORELAPI_TORTURE_SANITIZED 1
#endif
#endif

namespace morel_test {
namespace {

using Rng = std::mt19937;
using Clock = std::chrono::steady_clock;

#ifdef MORELAPI_TORTURE_SANITIZED
constexpr int kSlow = 2; // sanitizers slow everything down: wider bounds, same length
#else
constexpr int kSlow = 1;
#endif
// Bounds for the watchdog: generous, they only tell a hang from slowness.
constexpr auto kRequestBound = 3000ms + kSlow * 2000ms;        // the reply time-out plus margin
constexpr auto kCallbackRegisterBound = kSlow * 1500ms;         // must not wait at all
constexpr auto kStopBound = kSlow * 5000ms;                     // TerminateUsbApiLib, InitializeUsbApiLib
constexpr auto kCallbackBound = kStopBound + kRequestBound;     // one callback does one of the above
constexpr auto kAppRegisterBound = kCallbackBound + kSlow * 1000ms; // may wait for one callback

constexpr int kAppThreads = 3;
constexpr uint32_t kMainOrigin = kAppThreads;  // the test thread's registrations
constexpr uint32_t kCallbackOrigin = 15;       // registrations made inside callbacks
constexpr uint16_t kMarkerEvent = 0x0701;      // sent by the device only once the torture is over
constexpr uint8_t kDeviceBlockMark = 0x5D;     // raw blocks the device thread numbers

// userWord of a registration: its number, who made it and its slot.
uint32_t Token(uint32_t origin, uint32_t slot, uint32_t seq) { return seq << 7 | origin << 3 | slot; }

struct TortureState {
    uint32_t seed = 0;
    std::atomic<bool> running{true}; // false: callbacks only check, they act no more
    std::atomic<bool> down{false};   // TerminateUsbApiLib returned on an application thread
    std::atomic<uint32_t> nextSeq{1};
    std::atomic<uint32_t> lastRegistered[kAppThreads + 1][8] = {};
    std::atomic<uint32_t> deadUpTo[kAppThreads + 1][8] = {};
    std::atomic<uint64_t> stopsBegun{0}, stopsEnded{0};
    std::atomic<int> inUse[8] = {};
    std::atomic<int> notifying{0}; // notification callbacks running (they come one at a time)
    alignas(8) uint8_t buffers[8][8] = {}; // each slot's dataBuffer, written by the library
    std::atomic<uint64_t> linkReports{0}, markers{0};
    std::atomic<uint64_t> lastBlock{0}; // the last numbered raw block a callback read
    std::atomic<uint64_t> blocksSent{0}; // the device thread's count
    std::mutex m; // first violation; the final waits
    std::condition_variable cv;
    std::string violationList; // the first few
    uint64_t violations = 0;

    void Violation(const std::string &what) {
        std::lock_guard<std::mutex> g(m);
        if (violations++ < 5)
            violationList += "\n  " + what;
    }
};
TortureState &T() {
    static TortureState t; // callbacks may come until the last stop
    return t;
}

uint8_t Pick(Rng &rng, int lo, int hi) { return static_cast<uint8_t>(std::uniform_int_distribution<int>(lo, hi)(rng)); }
int Roll(Rng &rng, int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
bool OneIn(Rng &rng, int n) { return Roll(rng, n) == 0; }

// Waits ms, less once the torture is over.
void Pause(int ms) {
    std::unique_lock<std::mutex> g(T().m);
    T().cv.wait_for(g, std::chrono::milliseconds(ms), [] { return !T().running.load(); });
}

// Exports of every family; each returns a 0/1 result, or 1 where the result is a device value.

struct Op { const char *name; int (*fn)(Rng &); };
const Op kOps[] = {
    {"GetSPphoneStatus", [](Rng &) { uint8_t s; return GetSPphoneStatus(&s); }},
    {"GetSPphoneStatus2", [](Rng &) { uint8_t s, s2; return GetSPphoneStatus2(&s, &s2); }},
    {"GetIPnetworkInfo", [](Rng &r) { uint8_t info[6]; return GetIPnetworkInfo(Pick(r, 1, 7), info); }},
    {"GetDestination", [](Rng &) { uint8_t c; uint16_t v; return GetDestination(&c, &v); }},
    {"GetVersionSpeakerphone", [](Rng &r) { uint16_t v; return GetVersionSpeakerphone(Pick(r, 0, 3), &v); }},
    {"ActiveUnicode", [](Rng &) { uint8_t t[MORELAPI_UNICODE_TABLE_BYTES], n; return ActiveUnicode(t, &n); }},
    {"status flags", [](Rng &) { return IsSPphoneAvailable() | IsCommandActive() | IsProductDefault(); }},
    {"ErrorCode", [](Rng &) { ErrorCode(); return 1; }},
    {"SetKey", [](Rng &r) { return SetKey(Pick(r, '0', '9'), 0); }},
    {"GetKey", [](Rng &) { uint8_t k, a; return GetKey(&k, &a); }},
    {"GetLCDdata", [](Rng &) { uint8_t image[MORELAPI_DISPLAY_BYTES]; return GetLCDdata(image); }},
    {"MakeCall", [](Rng &) { static const uint8_t n[MORELAPI_CALL_TEXT_BYTES] = "5550123"; return MakeCall(0, 1, n); }},
    {"EndCall", [](Rng &) { return EndCall(0); }}, {"AnswerCall", [](Rng &) { return AnswerCall(); }},
    {"HoldOperate", [](Rng &) { return HoldOperate(0); }}, {"JoinCall", [](Rng &) { return JoinCall(); }},
    {"InviteConference", [](Rng &) { return InviteConference(); }}, {"RejectCall", [](Rng &) { return RejectCall(); }},
    {"SetRingerVol", [](Rng &r) { return SetRingerVol(Pick(r, 0, 3)); }},
    {"SetReceiverVol", [](Rng &r) { return SetReceiverVol(Pick(r, 1, 8)); }},
    {"SetMute", [](Rng &r) { return SetMute(Pick(r, 0, 1)); }},
    {"SetSlowTalk", [](Rng &r) { return SetSlowTalk(Pick(r, 2, 3)); }},
    {"GetSlowTalk", [](Rng &) { uint8_t m; return GetSlowTalk(&m); }},
    {"GetSoundEnhancer", [](Rng &) { uint8_t m; return GetSoundEnhancer(&m); }},
    {"volume getters", [](Rng &) { uint8_t v; return GetRingerVol(&v) & GetReceiveVol(&v) & GetPlaybackVol(&v); }},
    {"GetSystemData", [](Rng &r) { uint8_t b[129]; return GetSystemData(Pick(r, 2, 4), b); }},
    {"SetSystemData", [](Rng &r) { uint8_t v = Pick(r, 0, 9); return SetSystemData(3, &v); }},
    {"GetChangedSystemData", [](Rng &) { uint16_t id; uint8_t b[129]; return GetChangedSystemData(&id, b); }},
    {"GetCallInfo", [](Rng &r) { uint8_t s, t[129]; uint32_t v; return GetCallInfo(Pick(r, 1, 6), &s, t, &v); }},
    {"GetContactCount", [](Rng &) { uint8_t n; return GetContactCount(&n); }},
    {"GetContact", [](Rng &r) { uint8_t d1[34], b, d2[129]; return GetContact(Pick(r, 1, 8), d1, &b, d2); }},
    {"SetContact", [](Rng &) { uint8_t d1[34] = "T", b = 1, d2[129] = "1";
                               return SetContact(d1, &b, d2) > 20 ? DeleteContact(255) : 1; }},
    {"GetRecordCount", [](Rng &) { uint8_t n; return GetRecordCount(&n); }},
    {"GetRecordInfo", [](Rng &r) { uint8_t a[7], b[11]; uint32_t v; return GetRecordInfo(Pick(r, 1, 4), a, &v, b); }},
    {"StartRecording", [](Rng &) { return StartRecording(); }},
    {"StopRecording", [](Rng &) { return StopRecording(); }},
    {"StartPlayback", [](Rng &r) { return StartPlayback(Pick(r, 1, 3)); }},
    {"PausePlayback", [](Rng &) { return PausePlayback(); }},
    {"ResumePlayback", [](Rng &) { return ResumePlayback(0); }},
    {"StopPlayback", [](Rng &) { return StopPlayback(); }}, {"Reboot", [](Rng &) { return Reboot(); }},
    {"GetCurrentPlaybackPos", [](Rng &) { uint32_t p; return GetCurrentPlaybackPos(&p); }},
    {"SetPlaybackVol", [](Rng &r) { return SetPlaybackVol(Pick(r, 1, 8)); }},
    {"GetRecordOpStatus", [](Rng &) { uint32_t s; return GetRecordOpStatus(&s); }},
    {"SetNwCameraInfo", [](Rng &) { uint8_t t[17] = "cam"; return SetNwCameraInfo(1, 2, 3, t, t, 4, 5); }},
    {"GetNwCameraInfo", [](Rng &) { uint32_t a, d; uint16_t b, e; uint8_t c, t1[17], t2[17]; GetOpeMode();
                                    return GetNwCameraInfo(&a, &b, &c, t1, t2, &d, &e); }},
    {"SetRtcpSend", [](Rng &) { uint8_t b[MORELAPI_RTCP_SEND_BYTES] = {1}; return SetRtcpSend(1, b); }},
    {"GetRtcpReceive", [](Rng &) { uint8_t b[MORELAPI_RTCP_RECEIVE_BYTES]; return GetRtcpReceive(1, b); }},
    {"RTCP versions", [](Rng &r) { uint8_t v; SetRtcpVer(Pick(r, 1, 3), 0, 0); GetRtcpVer(0, 0, &v); return 1; }},
    {"SendFixed128RawData", [](Rng &) { uint8_t b[MORELAPI_RAW_DATA_BYTES] = {0xAA}; return SendFixed128RawData(b); }},
    {"ReceiveFixed128RawData", [](Rng &) { uint8_t b[MORELAPI_RAW_DATA_BYTES]; return ReceiveFixed128RawData(b); }},
};

void CheckResult(const char *what, long result) {
    if (result != 0 && result != 1)
        T().Violation(std::string(what) + " returned " + std::to_string(result));
}

void CallOp(Rng &rng) {
    const Op &op = kOps[std::uniform_int_distribution<size_t>(0, std::size(kOps) - 1)(rng)];
    CheckResult(op.name, Watched(op.name, kRequestBound, [&] { return op.fn(rng); }));
}

void MORELAPI_CALL Callback(uint32_t code, uint32_t word, void *data);

// Registers slot on behalf of origin (an application thread, the test thread or a callback).
void Register(uint32_t origin, uint16_t slot, std::chrono::milliseconds bound) {
    const uint32_t seq = T().nextSeq.fetch_add(1) & 0x1FFFFFF;
    const uint32_t result = Watched("RegisterEvent", bound, [&] {
        return RegisterEvent(slot, Callback, Token(origin, slot, seq), T().buffers[slot]);
    });
    CheckResult("RegisterEvent", result);
    if (origin <= kMainOrigin && result == 1)
        T().lastRegistered[origin][slot].store(seq);
}

// On an application thread: once UnregisterEvent has returned, no
// registration made there before the call may be called again, unless a stop
// ran meanwhile (a stop releases the wait).
void Unregister(uint16_t slot, bool appThread) {
    TortureState &t = T();
    uint32_t before[kAppThreads + 1];
    for (uint32_t o = 0; o <= kMainOrigin; ++o)
        before[o] = t.lastRegistered[o][slot].load();
    const uint64_t begun = t.stopsBegun.load(), ended = t.stopsEnded.load();
    const uint32_t result = Watched("UnregisterEvent", appThread ? kAppRegisterBound : kCallbackRegisterBound,
                                    [&] { return UnregisterEvent(slot); });
    CheckResult("UnregisterEvent", result);
    if (!appThread || result != 1 || begun != ended || t.stopsBegun.load() != begun)
        return;
    for (uint32_t o = 0; o <= kMainOrigin; ++o) {
        uint32_t dead = t.deadUpTo[o][slot].load();
        while (dead < before[o] && !t.deadUpTo[o][slot].compare_exchange_weak(dead, before[o])) {
        }
    }
}

void Stop(bool appThread) {
    TortureState &t = T();
    t.stopsBegun.fetch_add(1);
    Watched("TerminateUsbApiLib", kStopBound, [] { TerminateUsbApiLib(); });
    if (appThread)
        t.down.store(true);
    t.stopsEnded.fetch_add(1);
}

// On an application thread, with the test's lifecycle lock held.
void Start(uint32_t origin) {
    TortureState &t = T();
    t.down.store(false);
    const int result = Watched("InitializeUsbApiLib", kStopBound, [] { return InitializeUsbApiLib(); });
    if (result != 1)
        t.Violation("InitializeUsbApiLib returned " + std::to_string(result));
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        Register(origin, slot, kAppRegisterBound);
}

Rng &CallbackRng() {
    static std::atomic<uint32_t> threads{0};
    thread_local Rng rng(T().seed ^ (0x9E3779B9u * (threads.fetch_add(1) + 1)));
    return rng;
}

void MORELAPI_CALL Callback(uint32_t code, uint32_t word, void *data) {
    TortureState &t = T();
    const uint32_t slot = word & 7, origin = word >> 3 & 15, seq = word >> 7;
    WatchedCall w("a callback", kCallbackBound);
    t.linkReports.fetch_add(code == MORELAPI_EVENT_LINK);
    char where[96];
    std::snprintf(where, sizeof where, "callback 0x%04x slot %u (registration %u of origin %u)", code, slot, seq,
                  origin);
    if (t.down.load())
        t.Violation(std::string(where) + " began after TerminateUsbApiLib returned on an application thread");
    if (origin <= kMainOrigin && seq <= t.deadUpTo[origin][slot].load())
        t.Violation(std::string(where) + " began after UnregisterEvent returned on an application thread");
    const bool notification = code != MORELAPI_EVENT_LINK;
    if (notification && t.notifying.fetch_add(1) != 0)
        t.Violation(std::string(where) + " began while another notification callback ran");
    if (code == MORELAPI_EVENT_RAW_DATA) {
        // Callbacks run one at a time, so the block read here is this event's.
        uint8_t block[MORELAPI_RAW_DATA_BYTES];
        uint64_t n = 0, check = 0;
        if (ReceiveFixed128RawData(block) == 1 && block[0] == kDeviceBlockMark) {
            std::memcpy(&n, block + 8, sizeof n);
            std::memcpy(&check, block + 120, sizeof check);
            if (check != ~n)
                t.Violation(std::string(where) + ": a raw block with bytes the device never sent in it");
            else if (n <= t.lastBlock.exchange(n))
                t.Violation(std::string(where) + ": raw block " + std::to_string(n) + " came twice or out of order");
        }
    }
    uint8_t *buffer = t.buffers[slot];
    const bool owns = data == buffer;
    uint8_t value[2] = {};
    // Value events write the buffer before the callback: two of them in
    // callbacks at once means one wrote it under the other.
    const bool writes = code == MORELAPI_EVENT_LINK ||
                        (code >= MORELAPI_EVENT_RINGER_VOLUME && code <= MORELAPI_EVENT_PLAYBACK_VOLUME) ||
                        slot == MORELAPI_SLOT_CALL || code == MORELAPI_EVENT_SYSTEM_DATA;
    if (owns) {
        if (writes && t.inUse[slot].fetch_add(1) != 0)
            t.Violation(std::string(where) + ": its dataBuffer is in another callback at the same time");
        std::memcpy(value, buffer, sizeof value);
    }
    if (!t.running.load()) {
        if (code == kMarkerEvent) {
            std::lock_guard<std::mutex> g(t.m);
            t.markers.fetch_add(1);
        }
        if (code == kMarkerEvent || code == MORELAPI_EVENT_LINK)
            t.cv.notify_all();
    } else {
        Rng &rng = CallbackRng();
        if (OneIn(rng, 4))
            Pause(Pick(rng, 1, 5)); // an application's own work, to widen the windows where deliveries overlap
        const int pick = Roll(rng, 200);
        if (pick < 30)
            CallOp(rng);
        else if (pick < 55)
            Register(kCallbackOrigin, OneIn(rng, 2) ? static_cast<uint16_t>(slot) : Pick(rng, 0, 7),
                     kCallbackRegisterBound);
        else if (pick < 65)
            Unregister(Pick(rng, 0, 7), false);
        else if (pick < 68)
            Stop(false); // the last thing this callback does: the library is gone
    }
    if (owns) {
        if (std::memcmp(value, buffer, sizeof value) != 0)
            t.Violation(std::string(where) + ": its dataBuffer changed while the callback ran");
        if (writes)
            t.inUse[slot].fetch_sub(1);
    }
    if (notification)
        t.notifying.fetch_sub(1);
}

// ---- A second transport thread: the receive callback called from two
// threads at once, as a transport written by somebody else may do. ---------

std::shared_mutex g_transportLock; // held shared while injecting, whole while opening or closing
TalvoReceiveCallback g_receive = nullptr;

int32_t TALVO_CALL TortureOpen(TalvoReceiveCallback callback, uint32_t *handle) {
    const int32_t result = SimTransportOpen(callback, handle);
    std::lock_guard<std::shared_mutex> g(g_transportLock);
    g_receive = result == 0 ? callback : nullptr;
    return result;
}

int32_t TALVO_CALL TortureClose(uint32_t handle) {
    std::unique_lock<std::shared_mutex> g(g_transportLock);
    g_receive = nullptr;
    g.unlock();
    return SimTransportClose(handle);
}

// `frames` notification frames as the device sends them (version 0x30, class
// 16) in one chunk: a large chunk makes the ring wrap under the other producer.
void Inject(uint16_t eventId, int frames) {
    uint8_t chunk[40 * 64] = {};
    for (int i = 0; i < frames; ++i) {
        uint8_t *f = chunk + 64 * i;
        f[0] = 0x30, f[2] = 16, f[4] = static_cast<uint8_t>(eventId), f[5] = static_cast<uint8_t>(eventId >> 8);
        f[6] = 1, f[8] = 2;
    }
    std::shared_lock<std::shared_mutex> g(g_transportLock);
    if (g_receive == nullptr)
        return;
    WatchedCall w("the receive callback (second transport thread)", kStopBound);
    g_receive(0, chunk, 64 * frames, TALVO_TYPE_DATA, 0);
}

// Waits for pred under the state's lock; on a time-out, shows every thread.
bool WaitOrDump(const std::function<bool()> &pred, const char *what) {
    std::unique_lock<std::mutex> g(T().m);
    if (T().cv.wait_for(g, 30s, pred))
        return true;
    g.unlock();
    DumpThreads(std::string(what) + "; seed " + std::to_string(T().seed));
    return false;
}

class TortureTest : public SimLibraryTest {
  protected:
    TortureTest() { startInSetUp = false; }
    void Configure(sim::DeviceConfig &cfg) override {
        cfg.logLimit = 16; // the device's log must not grow with the run
        cfg.contactCount = 3;
        cfg.displayMode = sim::DisplayMode::Alternate;
    }

    std::mutex lifecycle; // application threads start and stop the library one at a time

    void DeviceLoop(Rng rng) {
        while (T().running.load()) {
            const int burst = OneIn(rng, 20) ? Pick(rng, 50, 250) : Pick(rng, 1, 8);
            for (int i = 0; i < burst; ++i) {
                switch (Pick(rng, 0, 9)) {
                case 0: sim::PressKey(dev, Pick(rng, '0', '9')); break;
                case 1: sim::SetRingerVolume(dev, Pick(rng, 0, 3)); break;
                case 2: sim::SetReceiveVolume(dev, Pick(rng, 1, 8)); break;
                case 3: sim::SetPlaybackVolume(dev, Pick(rng, 1, 8)); break;
                case 4: { uint8_t v = Pick(rng, 0, 9); sim::ChangeItem(dev, 4, &v, 1); break; }
                case 5: OneIn(rng, 2) ? (void)sim::Ring(dev, "5559876") : (void)sim::FarEndHangUp(dev); break;
                case 6: {
                    uint8_t raw[MORELAPI_RAW_DATA_BYTES] = {kDeviceBlockMark};
                    const uint64_t n = ++T().blocksSent, check = ~n;
                    std::memcpy(raw + 8, &n, sizeof n);
                    std::memcpy(raw + 120, &check, sizeof check);
                    sim::SendRawData(dev, raw);
                    break;
                }
                case 7: sim::RedrawDisplay(dev); break;
                default: {
                    static const uint16_t signals[] = {0x0111, 0x0401, 0x0501, 0x0601, 0x0141};
                    sim::SendNotification(dev, signals[Pick(rng, 0, 4)], nullptr, 0);
                    break;
                }
                }
            }
            // This thread is the second transport thread.
            Inject(OneIn(rng, 2) ? 0x0112 : 0x0602, OneIn(rng, 4) ? Pick(rng, 1, 40) : Pick(rng, 1, 3));
            Pause(Pick(rng, 1, 25));
        }
    }

    // The link and the answers: flaps, failed opens, faults in the answers.
    void Chaos(Rng &rng) {
        static const uint32_t kFaults[] = {sim::kNoAnswer,     sim::kDropResponse,  sim::kDelay,     sim::kDuplicate,
                                           sim::kWrongSequence, sim::kGarbageBefore, sim::kSplit,     sim::kMerge,
                                           sim::kReportLink,    sim::kFailWrite,     sim::kRefuse,    sim::kFail,
                                           sim::kGarbageAfter | sim::kSplit,         sim::kWrongVersion};
        switch (Roll(rng, 8)) {
        case 0: sim::ReportLink(dev, OneIn(rng, 2) ? TALVO_TYPE_LINK_LOST : TALVO_TYPE_LINK_CHANGED); break;
        case 1: sim::SetFaultPlan(dev, {{}, Pick(rng, 1, 3)}), sim::DropLink(dev); break;
        case 2: sim::ClearFaults(dev); break;
        case 3: sim::SetStatus(dev, OneIn(rng, 4) ? 12 : 2, true); break;
        case 4:
        case 5: break; // a quiet spell
        default: {
            sim::FaultRule rule;
            rule.actions = kFaults[Pick(rng, 0, std::size(kFaults) - 1)];
            rule.count = Pick(rng, 1, 6);
            rule.destination = OneIn(rng, 2) ? 3 : -1; // half of them spare the start-up
            rule.includeOneWay = OneIn(rng, 3);
            rule.delayMs = OneIn(rng, 4) ? Pick(rng, 1, 200) * 20 : Pick(rng, 1, 100);
            rule.chunkSize = Pick(rng, 1, 40);
            rule.linkType = OneIn(rng, 2) ? TALVO_TYPE_LINK_LOST : TALVO_TYPE_LINK_CHANGED;
            sim::AddFaultRule(dev, rule);
            break;
        }
        }
    }

    // Application threads, the device and the chaos for `seconds`.
    void RunPart(double seconds, uint32_t part) {
        TortureState &t = T();
        const uint32_t seed = t.seed * 7919u + part * 1000u;
        t.running.store(true);
        std::vector<std::thread> threads;
        for (uint32_t a = 0; a < kAppThreads; ++a) {
            threads.emplace_back([&, a] {
                Rng rng(seed + a);
                while (t.running.load()) {
                    const int pick = Roll(rng, 1000);
                    if (pick < 750)
                        CallOp(rng);
                    else if (pick < 875)
                        Register(a, Pick(rng, 0, 7), kAppRegisterBound);
                    else if (pick < 960)
                        Unregister(Pick(rng, 0, 7), true);
                    else if (pick < 976) {
                        std::lock_guard<std::mutex> g(lifecycle);
                        // A start registers every slot anew (and starts the library if a stop left it stopped).
                        pick < 975 ? Start(a) : Stop(true);
                    }
                    Pause(Pick(rng, 0, 2));
                }
            });
        }
        threads.emplace_back([this, seed] { DeviceLoop(Rng(seed + 100)); });

        Rng rng(seed + 200);
        const auto end =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            Chaos(rng);
            Pause(Roll(rng, 400) + 20);
        }
        t.running.store(false);
        t.cv.notify_all();
        for (std::thread &th : threads)
            th.join();
    }

    // Quiet now: a fresh start must come up, answer and deliver.
    void Quiesce() {
        TortureState &t = T();
        sim::ClearFaults(dev);
        sim::SetStatus(dev, 2, false);
        Stop(true);
        Start(kMainOrigin);
        ASSERT_TRUE(WaitOrDump([] { return IsSPphoneAvailable() == 1; }, "the link did not come up after the torture"));
        const uint64_t markers = t.markers.load();
        sim::SendNotification(dev, kMarkerEvent, nullptr, 0);
        ASSERT_TRUE(WaitOrDump([&] { return t.markers.load() > markers; }, "no notification came after the torture"));
        uint8_t status;
        EXPECT_EQ(GetSPphoneStatus(&status), 1) << "the library answers once the torture stops; seed " << t.seed;
    }
};

size_t HeapInUse() { return malloc_trim(0), mallinfo2().uordblks; }

TEST_F(TortureTest, NothingHangsNothingBreaks) {
    TortureState &t = T();
    const char *seedEnv = std::getenv("MORELAPI_TORTURE_SEED");
    t.seed = seedEnv != nullptr ? static_cast<uint32_t>(std::strtoul(seedEnv, nullptr, 0)) : std::random_device{}();
    double seconds = 10;
    if (const char *env = std::getenv("MORELAPI_TORTURE_SECONDS"))
        seconds = std::max(1.0, std::atof(env));
    std::printf("[ torture  ] seed %u (replay: MORELAPI_TORTURE_SEED=%u), %.0f s\n", t.seed, t.seed, seconds);
    std::fflush(stdout);
    Watchdog watchdog("seed " + std::to_string(t.seed) + " (replay: MORELAPI_TORTURE_SEED=" +
                      std::to_string(t.seed) + ")");

    morel::SetTransportForTesting(TortureOpen, SimTransportWrite, TortureClose);
    Start(kMainOrigin);
    // A first third, then the rest: packets, event records and queues come
    // and go, what stays after a quiet start must not grow.
    RunPart(seconds / 3, 0);
    ASSERT_NO_FATAL_FAILURE(Quiesce());
    const size_t heapFirst = HeapInUse();
    RunPart(seconds - seconds / 3, 1);
    ASSERT_NO_FATAL_FAILURE(Quiesce());
    const size_t heapLast = HeapInUse();
    Stop(true);

    std::lock_guard<std::mutex> g(t.m);
    EXPECT_EQ(t.violations, 0u) << "seed " << t.seed << ", the first ones:" << t.violationList;
    EXPECT_GT(t.linkReports.load(), 0u);
    EXPECT_GT(t.lastBlock.load(), 0u) << "no numbered raw block arrived at all";
#ifndef MORELAPI_TORTURE_SANITIZED
    EXPECT_LT(heapLast, heapFirst + 256 * 1024) << "the heap grew from " << heapFirst << " to " << heapLast;
#else
    (void)heapFirst;
    (void)heapLast;
#endif
}

} // namespace
} // namespace morel_test
