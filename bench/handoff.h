// The floor of this design: the thread hand-offs of a request done by a bare
// program with the library's own event primitive and no protocol work.
//
//   application -> "sender" -> "device" -> "receiver" -> application
//
// Each hop is an auto-reset morel::Event that one thread sets and the next
// waits on, exactly as the library's threads pass a request along. The third
// helper stamps the time when it is woken, which gives the floor of a
// notification (device -> receiver -> event thread, three hops after the
// sender) from the same run.
#pragma once

#include <thread>

#include "bench/bench_util.h"
#include "core/platform.h"

namespace morel_bench {

class HandoffRing {
  public:
    HandoffRing();
    ~HandoffRing();
    HandoffRing(const HandoffRing &) = delete;
    HandoffRing &operator=(const HandoffRing &) = delete;

    struct Sample {
        double roundTripUs; // four hops, back on the calling thread
        double threeHopsUs; // until the third helper was woken
    };
    Sample Run();

  private:
    static constexpr int kHelpers = 3;
    morel::Event hops_[kHelpers + 1];
    Clock::time_point stamp_{}; // written by the last helper before its hop
    bool stop_ = false;         // read by the helpers after a hop
    std::thread helpers_[kHelpers];
};

} // namespace morel_bench
