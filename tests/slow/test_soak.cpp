// Chaos soak: application threads calling exports of every family while the
// device sends a steady stream of notifications and the link is dropped at
// random (link-state reports, failed writes, failed opens) and the library is
// stopped and started again. Bounded in time: a short run in the default
// suite, a longer one with MORELAPI_SOAK_SECONDS.
//
// It asserts that no export takes longer than its reply time-out allows, that
// callbacks come at most once and in order, that link reports alternate
// within each start of the library, that the link comes back after every drop,
// and that the heap does not grow between the first and the second half.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "tests/support/fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORELAPI_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MORELAPI_SOAK_SANITIZED 1
#endif
#endif

namespace morel_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kDeviceBlockMark = 0x5D; // raw blocks the device thread numbers
constexpr auto kLatencyLimit = 3100ms;
// A signal the chaos never sends: the device sends it once the chaos has
// stopped, and its callback means every notification before it is handled.
constexpr uint32_t kMarkerEvent = 0x0701;

// What the callbacks saw. Written from the library's threads, read at the end.
struct Observed {
    std::atomic<uint64_t> events{0};
    std::atomic<uint64_t> outOfOrder{0};   // a numbered block at or below the last one
    std::atomic<uint64_t> lastBlock{0};
    std::atomic<uint64_t> corrupt{0};      // a numbered block whose check does not match
    std::atomic<int> lastLink{-1};         // -1: nothing reported since the library started
    std::atomic<uint64_t> linkRepeats{0};  // the same link state reported twice in a row
    std::atomic<uint64_t> linkUps{0};
    std::atomic<uint64_t> markers{0};      // quiet-moment markers handled
    std::mutex m;
    std::condition_variable cv;
};
// Static: callbacks may still come while the fixture stops the library.
Observed &Seen() {
    static Observed seen;
    return seen;
}

void MORELAPI_CALL SoakCallback(uint32_t code, uint32_t, void *data) {
    Observed &s = Seen();
    s.events.fetch_add(1);
    if (code == MORELAPI_EVENT_RAW_DATA) {
        // Handlers run one at a time, so the block read here is this event's.
        uint8_t block[MORELAPI_RAW_DATA_BYTES];
        if (ReceiveFixed128RawData(block) == 1 && block[0] == kDeviceBlockMark) {
            uint64_t n, check;
            std::memcpy(&n, block + 8, sizeof n);
            std::memcpy(&check, block + 120, sizeof check);
            if (check != ~n) {
                s.corrupt.fetch_add(1);
                return;
            }
            if (n <= s.lastBlock.load())
                s.outOfOrder.fetch_add(1);
            s.lastBlock.store(n);
        }
    } else if (code == kMarkerEvent) {
        {
            std::lock_guard<std::mutex> g(s.m);
            s.markers.fetch_add(1);
        }
        s.cv.notify_all();
    } else if (code == MORELAPI_EVENT_LINK && data != nullptr) {
        const int up = *static_cast<uint8_t *>(data);
        if (s.lastLink.exchange(up) == up)
            s.linkRepeats.fetch_add(1);
        if (up == 1) {
            {
                std::lock_guard<std::mutex> g(s.m);
                s.linkUps.fetch_add(1);
            }
            s.cv.notify_all();
        }
    }
}

void RegisterSoakSlots() {
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        RegisterEvent(slot, SoakCallback, slot, nullptr);
}

size_t HeapInUse() {
    malloc_trim(0);
    return mallinfo2().uordblks;
}

// ---- What the application threads call ------------------------------------

using Op = void (*)(std::mt19937 &rng);
uint8_t Pick(std::mt19937 &rng, int lo, int hi) {
    return static_cast<uint8_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
}

const Op kOps[] = {
    // Status and identity.
    [](std::mt19937 &) { uint8_t s; GetSPphoneStatus(&s); },
    [](std::mt19937 &) { uint8_t s, s2; GetSPphoneStatus2(&s, &s2); },
    [](std::mt19937 &) { ErrorCode(); },
    [](std::mt19937 &rng) { uint8_t info[6]; GetIPnetworkInfo(Pick(rng, 1, 7), info); },
    [](std::mt19937 &) { uint8_t c; uint16_t v; GetDestination(&c, &v); },
    [](std::mt19937 &) { uint16_t v; uint8_t t[MORELAPI_UNICODE_TABLE_BYTES], n; GetVersionSpeakerphone(1, &v); ActiveUnicode(t, &n); },
    // Keys and display.
    [](std::mt19937 &rng) { SetKey(Pick(rng, '0', '9'), 0); },
    [](std::mt19937 &) { uint8_t k, a; GetKey(&k, &a); },
    [](std::mt19937 &) { uint8_t image[MORELAPI_DISPLAY_BYTES]; GetLCDdata(image); },
    // Calls.
    [](std::mt19937 &) { static const uint8_t number[MORELAPI_CALL_TEXT_BYTES] = "5550123"; MakeCall(0, 1, number); },
    [](std::mt19937 &) { EndCall(0); },
    [](std::mt19937 &) { AnswerCall(); },
    [](std::mt19937 &) { HoldOperate(0); },
    [](std::mt19937 &) { RejectCall(); },
    [](std::mt19937 &) { JoinCall(); },
    // Audio.
    [](std::mt19937 &rng) { SetRingerVol(Pick(rng, 0, 3)); },
    [](std::mt19937 &rng) { SetReceiverVol(Pick(rng, 1, 8)); },
    [](std::mt19937 &rng) { SetSlowTalk(Pick(rng, 2, 3)); uint8_t m; GetSlowTalk(&m); },
    [](std::mt19937 &) { uint8_t v; GetRingerVol(&v); GetReceiveVol(&v); GetSoundEnhancer(&v); },
    // System data and call information.
    [](std::mt19937 &) { uint8_t b[8]; GetSystemData(2, b); },
    [](std::mt19937 &rng) { uint8_t v = Pick(rng, 0, 9); SetSystemData(3, &v); },
    [](std::mt19937 &) { uint16_t id; uint8_t b[129]; GetChangedSystemData(&id, b); },
    [](std::mt19937 &rng) { uint8_t s; uint8_t t[MORELAPI_CALL_TEXT_BYTES]; uint32_t v; GetCallInfo(Pick(rng, 1, 6), &s, t, &v); },
    // Contacts.
    [](std::mt19937 &) { uint8_t n; GetContactCount(&n); },
    [](std::mt19937 &rng) { uint8_t d1[34], b, d2[129]; GetContact(Pick(rng, 1, 8), d1, &b, d2); },
    [](std::mt19937 &) { uint8_t d1[34] = "Soak", b = 1, d2[129] = "5550000"; if (SetContact(d1, &b, d2) > 20) DeleteContact(255); },
    // Recorder.
    [](std::mt19937 &) { uint8_t n; GetRecordCount(&n); },
    [](std::mt19937 &) { uint8_t a[7], b[11]; uint32_t v; GetRecordInfo(1, a, &v, b); },
    [](std::mt19937 &) { StartRecording(); StopRecording(); },
    [](std::mt19937 &) { StartPlayback(1); uint32_t p; GetCurrentPlaybackPos(&p); StopPlayback(); },
    [](std::mt19937 &rng) { SetPlaybackVol(Pick(rng, 1, 8)); uint8_t v; GetPlaybackVol(&v); },
    [](std::mt19937 &) { uint32_t s; GetRecordOpStatus(&s); },
    // Camera, operating mode, RTCP, raw data.
    [](std::mt19937 &) { uint8_t t[17] = "cam"; SetNwCameraInfo(1, 2, 3, t, t, 4, 5); },
    [](std::mt19937 &) { uint32_t a, d; uint16_t b, e; uint8_t c, t1[17], t2[17]; GetNwCameraInfo(&a, &b, &c, t1, t2, &d, &e); GetOpeMode(); },
    [](std::mt19937 &) { uint8_t b[MORELAPI_RTCP_RECEIVE_BYTES]; GetRtcpReceive(1, b); },
    [](std::mt19937 &) { uint8_t v; GetRtcpVer(0, 0, &v); },
    [](std::mt19937 &) { uint8_t block[MORELAPI_RAW_DATA_BYTES] = {0xAA}; SendFixed128RawData(block); },
};

// ---- The soak ----------------------------------------------------------------

class Soak : public SimLibraryTest {
  protected:
    void Configure(sim::DeviceConfig &cfg) override {
        cfg.logLimit = 16; // the device's log must not grow with the run
        cfg.contactCount = 3;
        cfg.displayMode = sim::DisplayMode::Alternate;
    }

    bool WaitForLinkUp(uint64_t upsBefore, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> g(seen.m);
        return seen.cv.wait_for(g, limit, [&] { return seen.linkUps.load() > upsBefore && IsSPphoneAvailable() == 1; });
    }
    bool WaitForLinkUp(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> g(seen.m);
        return seen.cv.wait_for(g, limit, [&] { return IsSPphoneAvailable() == 1; });
    }

    // Runs the application threads, the device and the chaos for `length`.
    void Run(Clock::duration length, uint32_t seed);

    Observed &seen = Seen();
    std::atomic<uint64_t> ops{0};
    std::atomic<int64_t> worstNs{0};
    uint64_t drops = 0, restarts = 0, linkLost = 0;
    uint64_t blocksSent = 0; // numbers the device's raw blocks across both parts
};

void Soak::Run(Clock::duration length, uint32_t seed) {
    const auto end = Clock::now() + length;
    std::atomic<bool> stop{false};
    std::mutex pace;
    std::condition_variable paceCv;
    auto pause = [&](std::chrono::milliseconds ms) {
        std::unique_lock<std::mutex> g(pace);
        paceCv.wait_for(g, ms, [&] { return stop.load(); });
    };

    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(seed * 31 + t);
            std::uniform_int_distribution<size_t> which(0, std::size(kOps) - 1);
            while (!stop.load()) {
                const size_t i = which(rng);
                const auto started = Clock::now();
                kOps[i](rng);
                const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count();
                int64_t worst = worstNs.load();
                while (ns > worst && !worstNs.compare_exchange_weak(worst, ns)) {
                }
                ops.fetch_add(1);
                // An application calls now and then, not in a tight loop.
                pause(std::chrono::milliseconds(Pick(rng, 0, 2)));
            }
        });
    }
    // The device: a steady stream of notifications, numbered raw blocks among them.
    threads.emplace_back([&] {
        std::mt19937 rng(seed * 31 + 100);
        uint64_t &block = blocksSent;
        while (!stop.load()) {
            switch (Pick(rng, 0, 7)) {
            case 0: sim::PressKey(dev, Pick(rng, '0', '9')); break;
            case 1: sim::SetRingerVolume(dev, Pick(rng, 0, 3)); break;
            case 2: {
                uint8_t v = Pick(rng, 0, 9);
                sim::ChangeItem(dev, 4, &v, 1);
                break;
            }
            case 3: sim::Ring(dev, "5559876"); break;
            case 4: sim::FarEndHangUp(dev); break;
            case 5: sim::RedrawDisplay(dev); break;
            default: {
                uint8_t raw[MORELAPI_RAW_DATA_BYTES] = {kDeviceBlockMark};
                ++block;
                std::memcpy(raw + 8, &block, sizeof block);
                const uint64_t check = ~block;
                std::memcpy(raw + 120, &check, sizeof check);
                sim::SendRawData(dev, raw);
                break;
            }
            }
            pause(std::chrono::milliseconds(Pick(rng, 1, 4)));
        }
    });

    // Chaos, on this thread: drop the link now and then, and wait for it to
    // come back each time.
    std::mt19937 rng(seed * 31 + 200);
    while (Clock::now() < end && !HasFailure()) {
        pause(std::chrono::milliseconds(Pick(rng, 50, 250)));
        const uint64_t ups = seen.linkUps.load();
        switch (Pick(rng, 0, 9)) {
        case 0:
        case 1: sim::ReportLink(dev, Pick(rng, 0, 1) ? TALVO_TYPE_LINK_LOST : TALVO_TYPE_LINK_CHANGED); break;
        case 2: {
            sim::FaultRule failWrite;
            failWrite.includeOneWay = true; // the keep-alive counts too
            failWrite.actions = sim::kFailWrite;
            sim::AddFaultRule(dev, failWrite);
            break;
        }
        case 3: {
            sim::FaultPlan plan;
            plan.failOpens = Pick(rng, 1, 3);
            sim::SetFaultPlan(dev, plan);
            sim::DropLink(dev);
            break;
        }
        case 4:
            if (Pick(rng, 0, 3) == 0) {
                TerminateUsbApiLib();
                seen.lastLink = -1; // a new start reports the link afresh
                if (InitializeUsbApiLib() != 1) {
                    ADD_FAILURE() << "the library did not start again";
                    break;
                }
                RegisterSoakSlots();
                ++restarts;
                break;
            }
            continue;
        default: continue;
        }
        ++drops;
        if (!WaitForLinkUp(ups, 20000ms)) {
            ++linkLost;
            ADD_FAILURE() << "the link did not come back after drop " << drops;
            break;
        }
        sim::ClearFaults(dev); // an unused failed-write rule must not outlive its turn
    }
    stop = true;
    paceCv.notify_all();
    for (std::thread &t : threads)
        t.join();
}

TEST_F(Soak, ChaosKeepsTheLibraryWorking) {
    double seconds = 12;
    if (const char *env = std::getenv("MORELAPI_SOAK_SECONDS"))
        seconds = std::max(2.0, std::atof(env));
    RegisterSoakSlots();

    // First part, then a quiet moment to take the heap's measure; the second
    // part must end with the heap where the first left it.
    const auto firstPart = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds / 3));
    const auto secondPart = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) - firstPart;
    auto quiesce = [&] {
        sim::ClearFaults(dev);
        EXPECT_TRUE(WaitForLinkUp(20000ms));
        EXPECT_TRUE(sim::WaitIdle(dev, 5000ms));
        // A display change makes the library re-read the display on its event
        // thread, a request that takes the turn: wait until the notifications
        // the chaos left (and so those re-reads) are all handled.
        Observed &s = Seen();
        const uint64_t markers = s.markers.load();
        sim::SendNotification(dev, kMarkerEvent, nullptr, 0);
        {
            std::unique_lock<std::mutex> g(s.m);
            EXPECT_TRUE(s.cv.wait_for(g, 10s, [&] { return s.markers.load() > markers; }));
        }
        uint8_t status;
        EXPECT_EQ(GetSPphoneStatus(&status), 1) << "the library answers once the chaos stops";
    };
    ASSERT_NO_FATAL_FAILURE(Run(firstPart, 1));
    ASSERT_NO_FATAL_FAILURE(quiesce());
    const uint64_t firstOps = ops.load();
    const size_t heapFirst = HeapInUse();
    ASSERT_NO_FATAL_FAILURE(Run(secondPart, 2));
    ASSERT_NO_FATAL_FAILURE(quiesce());
    const size_t heapLast = HeapInUse();

    const double worstMs = static_cast<double>(worstNs.load()) / 1e6;
    std::printf("[ soak     ] %.0f s: %llu operations, %llu link drops (%llu restarts), %llu events, "
                "worst call %.1f ms, heap %zu -> %zu bytes\n",
                seconds, static_cast<unsigned long long>(ops.load()), static_cast<unsigned long long>(drops),
                static_cast<unsigned long long>(restarts), static_cast<unsigned long long>(seen.events.load()),
                worstMs, heapFirst, heapLast);

    EXPECT_GT(firstOps, 0u);
    EXPECT_GT(ops.load(), firstOps);
    EXPECT_GT(drops, 0u);
    EXPECT_EQ(linkLost, 0u);
    EXPECT_LT(worstNs.load(), std::chrono::duration_cast<std::chrono::nanoseconds>(kLatencyLimit).count())
        << "a call took " << worstMs << " ms";
    EXPECT_EQ(seen.outOfOrder.load(), 0u) << "a notification came twice or out of order";
    EXPECT_GT(seen.lastBlock.load(), 0u) << "no numbered notification arrived at all";
    EXPECT_EQ(seen.corrupt.load(), 0u) << "a notification arrived with bytes that the device never sent in it";
    EXPECT_EQ(seen.linkRepeats.load(), 0u) << "the link was reported in the same state twice in a row";
#ifndef MORELAPI_SOAK_SANITIZED
    // Packets and event records come and go; what stays must not grow.
    EXPECT_LT(heapLast, heapFirst + 256 * 1024) << "the heap grew from " << heapFirst << " to " << heapLast;
#endif
}

} // namespace
} // namespace morel_test
