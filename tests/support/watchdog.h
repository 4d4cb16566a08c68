// A watchdog for tests that must not hang. Each thread that calls into the
// library marks what it is doing with a WatchedCall (what, and how long it may
// take). A watchdog thread looks at every thread's current call ten times a
// second; a call past its bound ends the process with a report: the seed and
// note the test gave, what every watched thread was doing, and the stacks of
// all threads from gdb when gdb is installed.
#pragma once

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace morel_test {

// One thread's current call. The fields change together under m, so the
// watchdog never pairs one call's name with another's start or bound.
struct WatchRecord {
    std::atomic<bool> used{false};
    std::mutex m;
    long tid = 0;
    const char *role = nullptr;
    const char *what = nullptr; // nullptr: not inside a watched call
    int64_t startMs = 0;
    int64_t boundMs = 0;
};

inline std::array<WatchRecord, 64> &WatchRecords() {
    static std::array<WatchRecord, 64> records;
    return records;
}

inline int64_t WatchNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// This thread's record, claimed at its first watched call and handed back
// when the thread ends; nullptr when all are taken (the thread goes unwatched).
struct WatchSlot {
    WatchRecord *record = nullptr;
    WatchSlot() {
        for (WatchRecord &r : WatchRecords()) {
            bool expected = false;
            if (r.used.compare_exchange_strong(expected, true)) {
                std::lock_guard<std::mutex> g(r.m);
                r.tid = static_cast<long>(syscall(SYS_gettid));
                r.role = nullptr;
                r.what = nullptr;
                record = &r;
                return;
            }
        }
    }
    ~WatchSlot() {
        if (record != nullptr) {
            {
                std::lock_guard<std::mutex> g(record->m);
                record->what = nullptr;
            }
            record->used.store(false);
        }
    }
};

inline WatchRecord *ThisThreadRecord(const char *role = nullptr) {
    thread_local WatchSlot slot;
    if (slot.record != nullptr && role != nullptr) {
        std::lock_guard<std::mutex> g(slot.record->m);
        slot.record->role = role;
    }
    return slot.record;
}

// Marks the calling thread as inside `what` for the scope; nests.
class WatchedCall {
  public:
    WatchedCall(const char *what, std::chrono::milliseconds bound) : r_(ThisThreadRecord()) {
        if (r_ == nullptr)
            return;
        std::lock_guard<std::mutex> g(r_->m);
        prevWhat_ = r_->what;
        prevStart_ = r_->startMs;
        prevBound_ = r_->boundMs;
        r_->what = what;
        r_->startMs = WatchNowMs();
        r_->boundMs = bound.count();
    }
    ~WatchedCall() {
        if (r_ == nullptr)
            return;
        std::lock_guard<std::mutex> g(r_->m);
        r_->what = prevWhat_;
        r_->startMs = prevStart_;
        r_->boundMs = prevBound_;
    }
    WatchedCall(const WatchedCall &) = delete;
    WatchedCall &operator=(const WatchedCall &) = delete;

  private:
    WatchRecord *r_;
    const char *prevWhat_ = nullptr;
    int64_t prevStart_ = 0, prevBound_ = 0;
};

// A copy of a record's call, taken under its lock.
struct WatchView {
    bool used;
    long tid;
    const char *role, *what;
    int64_t startMs, boundMs;
};
inline WatchView View(WatchRecord &r) {
    std::lock_guard<std::mutex> g(r.m);
    return {r.used.load(), r.tid, r.role, r.what, r.startMs, r.boundMs};
}

// Prints every watched thread's call and, when gdb is there, every stack.
inline void DumpThreads(const std::string &note) {
    std::fprintf(stderr, "==== watchdog: %s\n", note.c_str());
    const int64_t now = WatchNowMs();
    for (WatchRecord &r : WatchRecords()) {
        const WatchView v = View(r);
        if (!v.used)
            continue;
        std::fprintf(stderr, "  thread %ld (%s): ", v.tid, v.role != nullptr ? v.role : "?");
        if (v.what == nullptr)
            std::fprintf(stderr, "not in a watched call\n");
        else
            std::fprintf(stderr, "%s for %lld ms (bound %lld ms)\n", v.what, static_cast<long long>(now - v.startMs),
                         static_cast<long long>(v.boundMs));
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

// Starts the watchdog thread; the destructor stops it. A call past its bound
// prints the report with `note` and ends the process with status 1.
class Watchdog {
  public:
    explicit Watchdog(std::string note) : note_(std::move(note)), thread_([this] { Run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

  private:
    void Run() {
        std::unique_lock<std::mutex> g(m_);
        while (!cv_.wait_for(g, std::chrono::milliseconds(100), [this] { return stop_; })) {
            const int64_t now = WatchNowMs();
            for (WatchRecord &r : WatchRecords()) {
                const WatchView v = View(r);
                if (!v.used || v.what == nullptr || now - v.startMs <= v.boundMs)
                    continue;
                DumpThreads(std::string(v.what) + " on thread " + std::to_string(v.tid) + " did not return within " +
                            std::to_string(v.boundMs) + " ms; " + note_);
                std::fflush(stdout);
                std::_Exit(1);
            }
        }
    }

    std::string note_;
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace morel_test
