#include "bench/handoff.h"

namespace morel_bench {

HandoffRing::HandoffRing() {
    for (int i = 0; i < kHelpers; ++i) {
        helpers_[i] = std::thread([this, i] {
            for (;;) {
                morel::EventWait(hops_[i], -1);
                // The event's lock orders these plain fields between threads.
                if (stop_)
                    return;
                if (i == kHelpers - 1)
                    stamp_ = Clock::now();
                morel::EventSet(hops_[i + 1]);
            }
        });
    }
}

HandoffRing::~HandoffRing() {
    stop_ = true;
    for (int i = 0; i < kHelpers; ++i) {
        morel::EventSet(hops_[i]);
        helpers_[i].join();
    }
}

HandoffRing::Sample HandoffRing::Run() {
    const Clock::time_point start = Clock::now();
    morel::EventSet(hops_[0]);
    morel::EventWait(hops_[kHelpers], -1);
    const Clock::time_point end = Clock::now();
    return Sample{Micros(end - start), Micros(stamp_ - start)};
}

} // namespace morel_bench
