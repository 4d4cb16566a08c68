// A watchdog for tests that must not hang. Each thread that calls into the
// library marks what it is doing with a WatchedCall (what, and how long it may
// take). A watchdog thread looks at every thread's current call ten times a
// second; a call past its bound ends the process with a report: the note the
// test gave, what every watched thread was doing, and the stacks of all
// threads from gdb when gdb is installed.
#pragma once

#include <sys/prctl.h>
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

// One thread's current call, guarded by WatchLock() so that the watchdog never
// pairs one call's name with another's start or bound.
struct WatchRecord {
    bool used = false;
    long tid = 0;
    const char *role = nullptr;
    const char *what = nullptr; // nullptr: not inside a watched call
    int64_t startMs = 0, boundMs = 0;
};

inline std::mutex &WatchLock() {
    static std::mutex m;
    return m;
}
inline std::array<WatchRecord, 64> &WatchRecords() {
    static std::array<WatchRecord, 64> records;
    return records;
}
inline int64_t WatchNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// This thread's record, claimed at its first use and handed back when the
// thread ends; nullptr when all are taken (the thread goes unwatched). A role
// names the thread in the report.
inline WatchRecord *ThisThreadRecord(const char *role = nullptr) {
    struct Slot {
        WatchRecord *record = nullptr;
        Slot() {
            std::lock_guard<std::mutex> g(WatchLock());
            for (WatchRecord &r : WatchRecords())
                if (!r.used) {
                    r = {true, static_cast<long>(syscall(SYS_gettid)), nullptr, nullptr, 0, 0};
                    record = &r;
                    return;
                }
        }
        ~Slot() {
            std::lock_guard<std::mutex> g(WatchLock());
            if (record != nullptr)
                *record = {};
        }
    };
    thread_local Slot slot;
    std::lock_guard<std::mutex> g(WatchLock());
    if (slot.record != nullptr && role != nullptr)
        slot.record->role = role;
    return slot.record;
}

// Marks the calling thread as inside `what` for the scope; nests.
struct WatchedCall {
    WatchedCall(const char *what, std::chrono::milliseconds bound) : r(ThisThreadRecord()) {
        std::lock_guard<std::mutex> g(WatchLock());
        if (r != nullptr) {
            saved = *r;
            *r = {true, saved.tid, saved.role, what, WatchNowMs(), bound.count()};
        }
    }
    ~WatchedCall() {
        std::lock_guard<std::mutex> g(WatchLock());
        if (r != nullptr)
            *r = saved;
    }
    WatchRecord *const r;
    WatchRecord saved;
};

// fn() inside a WatchedCall.
template <typename F> auto Watched(const char *what, std::chrono::milliseconds bound, F &&fn) {
    WatchedCall w(what, bound);
    return fn();
}

// Prints every watched thread's call and, when gdb is there, every stack.
inline void DumpThreads(const std::string &note) {
    std::fprintf(stderr, "==== watchdog: %s\n", note.c_str());
    {
        std::lock_guard<std::mutex> g(WatchLock());
        const int64_t now = WatchNowMs();
        for (const WatchRecord &r : WatchRecords()) {
            if (!r.used)
                continue;
            std::fprintf(stderr, "  thread %ld (%s): ", r.tid, r.role != nullptr ? r.role : "?");
            if (r.what == nullptr)
                std::fprintf(stderr, "not in a watched call\n");
            else
                std::fprintf(stderr, "%s for %lld ms (bound %lld ms)\n", r.what,
                             static_cast<long long>(now - r.startMs), static_cast<long long>(r.boundMs));
        }
    }
    std::fflush(stderr);
    if (std::system("command -v gdb >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "  (no gdb: stacks not shown)\n");
        return;
    }
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0); // a restricted ptrace scope lets the child attach
    const std::string cmd = "timeout 120 gdb -nx -batch -p " + std::to_string(getpid()) +
                            " -ex 'set pagination off' -ex 'thread apply all bt' 1>&2 2>/dev/null";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "  (gdb could not show the stacks)\n");
    std::fflush(stderr);
}

// The first call past its bound, described; empty when there is none.
inline std::string OverdueCall() {
    std::lock_guard<std::mutex> g(WatchLock());
    const int64_t now = WatchNowMs();
    for (const WatchRecord &r : WatchRecords())
        if (r.used && r.what != nullptr && now - r.startMs > r.boundMs)
            return std::string(r.what) + " on thread " + std::to_string(r.tid) + " did not return within " +
                   std::to_string(r.boundMs) + " ms";
    return {};
}

// Starts the watchdog thread; the destructor stops it. A call past its bound
// prints the report with `note` and ends the process with status 1.
struct Watchdog {
    explicit Watchdog(std::string note)
        : thread([this, note = std::move(note)] {
              std::unique_lock<std::mutex> g(m);
              while (!cv.wait_for(g, std::chrono::milliseconds(100), [this] { return stop; }))
                  if (const std::string overdue = OverdueCall(); !overdue.empty()) {
                      DumpThreads(overdue + "; " + note);
                      std::fflush(stdout);
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
