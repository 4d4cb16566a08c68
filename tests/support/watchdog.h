// A watchdog for tests that must not hang: each thread marks its calls with a
// WatchedCall (what, and how long it may take); a call past its bound ends the
// process with what every watched thread was doing.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace morel_test {

// One thread's current call, guarded by g_watchLock.
struct WatchRecord {
    bool used = false;
    long tid = 0;
    const char *what = nullptr; // nullptr: not inside a watched call
    int64_t startMs = 0, boundMs = 0;
};

inline std::mutex g_watchLock;
inline std::array<WatchRecord, 64> g_watchRecords;
inline int64_t WatchNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// This thread's record, claimed at first use and freed when the thread ends;
// nullptr when all are taken.
struct WatchSlot {
    WatchRecord *record = nullptr;
    WatchSlot() {
        std::lock_guard<std::mutex> g(g_watchLock);
        for (WatchRecord &r : g_watchRecords)
            if (!r.used) {
                r = {true, static_cast<long>(syscall(SYS_gettid)), nullptr, 0, 0};
                record = &r;
                return;
            }
    }
    ~WatchSlot() {
        std::lock_guard<std::mutex> g(g_watchLock);
        if (record != nullptr)
            *record = {};
    }
};
inline thread_local WatchSlot t_watchSlot;

// Marks the calling thread as inside `what` for the scope; nests.
struct WatchedCall {
    WatchedCall(const char *what, std::chrono::milliseconds bound) : r(t_watchSlot.record) {
        std::lock_guard<std::mutex> g(g_watchLock);
        if (r != nullptr) {
            saved = *r;
            *r = {true, saved.tid, what, WatchNowMs(), bound.count()};
        }
    }
    ~WatchedCall() {
        std::lock_guard<std::mutex> g(g_watchLock);
        if (r != nullptr)
            *r = saved;
    }
    WatchRecord *const r;
    WatchRecord saved;
};

template <typename F> auto Watched(const char *what, std::chrono::milliseconds bound, F &&fn) {
    WatchedCall w(what, bound);
    return fn();
}

// Prints every watched thread's call.
inline void DumpThreads(const std::string &note) {
    std::fprintf(stderr, "==== watchdog: %s\n", note.c_str());
    std::lock_guard<std::mutex> g(g_watchLock);
    for (const WatchRecord &r : g_watchRecords)
        if (r.used && r.what != nullptr)
            std::fprintf(stderr, "  thread %ld: %s for %lld ms (bound %lld ms)\n", r.tid, r.what,
                         static_cast<long long>(WatchNowMs() - r.startMs), static_cast<long long>(r.boundMs));
    std::fflush(stderr);
}

// The first call past its bound, described; empty when there is none.
inline std::string OverdueCall() {
    std::lock_guard<std::mutex> g(g_watchLock);
    for (const WatchRecord &r : g_watchRecords)
        if (r.used && r.what != nullptr && WatchNowMs() - r.startMs > r.boundMs)
            return std::string(r.what) + " on thread " + std::to_string(r.tid) + " did not return within " +
                   std::to_string(r.boundMs) + " ms";
    return {};
}

// Looks ten times a second until destroyed; a call past its bound prints the
// report with `note` and ends the process with status 1.
struct Watchdog {
    explicit Watchdog(std::string note)
        : thread([this, note = std::move(note)] {
              std::unique_lock<std::mutex> g(m);
              while (!cv.wait_for(g, std::chrono::milliseconds(100), [this] { return stop; }))
                  if (const std::string overdue = OverdueCall(); !overdue.empty()) {
                      DumpThreads(overdue + "; " + note);
                      std::_Exit(1);
                  }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(m);
            stop = true;
        }
        cv.notify_all();
        thread.join();
    }

    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread thread; // last: starts once the members it uses exist
};

} // namespace morel_test
