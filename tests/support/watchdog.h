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

struct WatchRecord {
    std::atomic<bool> used{false};
    std::atomic<long> tid{0};
    std::atomic<const char *> role{nullptr};
    std::atomic<const char *> what{nullptr}; // nullptr: not inside a watched call
    std::atomic<int64_t> startMs{0};
    std::atomic<int64_t> boundMs{0};
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
                r.tid.store(static_cast<long>(syscall(SYS_gettid)));
                r.what.store(nullptr);
                record = &r;
                return;
            }
        }
    }
    ~WatchSlot() {
        if (record != nullptr) {
            record->what.store(nullptr);
            record->used.store(false);
        }
    }
};

inline WatchRecord *ThisThreadRecord(const char *role = nullptr) {
    thread_local WatchSlot slot;
    if (slot.record != nullptr && role != nullptr)
        slot.record->role.store(role);
    return slot.record;
}

// Marks the calling thread as inside `what` for the scope; nests.
class WatchedCall {
  public:
    WatchedCall(const char *what, std::chrono::milliseconds bound) : r_(ThisThreadRecord()) {
        if (r_ == nullptr)
            return;
        prevWhat_ = r_->what.load();
        prevStart_ = r_->startMs.load();
        prevBound_ = r_->boundMs.load();
        r_->startMs.store(WatchNowMs());
        r_->boundMs.store(bound.count());
        r_->what.store(what);
    }
    ~WatchedCall() {
        if (r_ == nullptr)
            return;
        r_->what.store(nullptr);
        r_->startMs.store(prevStart_);
        r_->boundMs.store(prevBound_);
        r_->what.store(prevWhat_);
    }
    WatchedCall(const WatchedCall &) = delete;
    WatchedCall &operator=(const WatchedCall &) = delete;

  private:
    WatchRecord *r_;
    const char *prevWhat_ = nullptr;
    int64_t prevStart_ = 0, prevBound_ = 0;
};

// Prints every watched thread's call and, when gdb is there, every stack.
inline void DumpThreads(const std::string &note) {
    std::fprintf(stderr, "==== watchdog: %s\n", note.c_str());
    const int64_t now = WatchNowMs();
    for (WatchRecord &r : WatchRecords()) {
        if (!r.used.load())
            continue;
        const char *what = r.what.load();
        const char *role = r.role.load();
        std::fprintf(stderr, "  thread %ld (%s): ", r.tid.load(), role != nullptr ? role : "?");
        if (what == nullptr)
            std::fprintf(stderr, "not in a watched call\n");
        else
            std::fprintf(stderr, "%s for %lld ms (bound %lld ms)\n", what,
                         static_cast<long long>(now - r.startMs.load()), static_cast<long long>(r.boundMs.load()));
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
                const char *what = r.what.load();
                if (!r.used.load() || what == nullptr || now - r.startMs.load() <= r.boundMs.load())
                    continue;
                DumpThreads(std::string(what) + " on thread " + std::to_string(r.tid.load()) +
                            " did not return within " + std::to_string(r.boundMs.load()) + " ms; " + note_);
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
