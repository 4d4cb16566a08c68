// Fuzzes the simulated device's side of the wire: arbitrary host bytes in
// arbitrary chunks through sim::HostWrite, on a device of any protocol
// version and configuration, optionally under a fault plan.
//
// Besides the sanitizers, the harness checks what the device sends back when
// no fault distorts it: a stream of whole frames, each addressed to the host,
// from address 2 or 3, of a kind the host accepts and no longer than the host
// can take. A device that broke that would make the host tests lie.
//
// Input: host bytes from the front, choices from the back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/sim.h"

namespace {

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Reassembles the device's stream and checks each frame.
struct StreamCheck {
    std::mutex m;
    bool strict = true;
    std::vector<uint8_t> pending;

    void Take(const uint8_t *data, int32_t count, int32_t type) {
        if (count < 0 || data == nullptr)
            std::abort();
        if (type != TALVO_TYPE_DATA)
            return;
        std::lock_guard<std::mutex> g(m);
        pending.insert(pending.end(), data, data + count);
        while (strict && pending.size() >= sim::kMinFrameBytes) {
            const uint8_t *f = pending.data();
            uint16_t source = Get16(f + 8);
            uint16_t kind = Get16(f + 10);
            uint32_t extra = Get32(f + 16);
            if (Get16(f + 6) != 1 || (source != 2 && source != 3) || (kind != 0 && kind != 2 && kind != 3) ||
                extra > sim::kMaxExtraLength)
                std::abort(); // the device sent a frame the host must refuse
            size_t length = sim::kMinFrameBytes + extra;
            if (pending.size() < length)
                break;
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
        }
    }
};

// Fault actions that keep the stream well formed (the others are fuzzed too,
// with the check off).
constexpr uint32_t kShapePreserving = sim::kRefuse | sim::kFail | sim::kDropAck | sim::kDropResponse |
                                      sim::kDuplicate | sim::kWrongSequence | sim::kSplit | sim::kMerge |
                                      sim::kNotReady | sim::kReportLink | sim::kFailWrite | sim::kWrongVersion |
                                      sim::kAnswerAnyway;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);

    sim::DeviceConfig cfg;
    static const uint8_t kVersions[] = {0x30, 0x21, 0x20, 0x12, 0x11, 0x10};
    cfg.protocolVersion = kVersions[in.ConsumeIntegralInRange<size_t>(0, sizeof kVersions - 1)];
    cfg.contactCount = in.ConsumeIntegral<uint8_t>();
    cfg.recordCount = in.ConsumeIntegralInRange<uint8_t>(0, sim::kMaxRecords);
    cfg.tableCount = in.ConsumeIntegralInRange<uint8_t>(0, sim::kMaxTableEntries);
    cfg.status = in.ConsumeIntegral<uint8_t>();
    cfg.displayMode = static_cast<sim::DisplayMode>(in.ConsumeIntegralInRange<uint8_t>(0, 2));
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    cfg.echoRawData = flags & 1;
    cfg.outgoingAutoConnect = flags & 2;
    cfg.reportSignals = flags & 4;
    cfg.logLimit = 64;

    auto check = std::make_shared<StreamCheck>();
    sim::FaultPlan plan;
    const size_t rules = in.ConsumeIntegralInRange<size_t>(0, 3);
    for (size_t i = 0; i < rules; ++i) {
        sim::FaultRule r;
        r.classId = in.ConsumeIntegralInRange<int>(-1, 7);
        r.commandId = in.ConsumeIntegralInRange<int>(-1, 21);
        r.destination = in.ConsumeIntegralInRange<int>(-1, 3);
        r.includeOneWay = in.ConsumeBool();
        r.skip = in.ConsumeIntegralInRange<uint32_t>(0, 3);
        r.count = in.ConsumeIntegralInRange<uint32_t>(0, 3);
        r.actions = in.ConsumeIntegral<uint32_t>() & ~static_cast<uint32_t>(sim::kDelay);
        r.refuseStatus = in.ConsumeIntegral<uint8_t>();
        r.failStatus = in.ConsumeIntegral<uint8_t>();
        r.sequenceOffset = in.ConsumeIntegral<uint32_t>();
        r.garbageBytes = in.ConsumeIntegralInRange<size_t>(0, 100);
        r.garbageByte = in.ConsumeIntegral<uint8_t>();
        r.chunkSize = in.ConsumeIntegralInRange<size_t>(0, 70);
        r.linkType = in.ConsumeBool() ? TALVO_TYPE_LINK_LOST : TALVO_TYPE_LINK_CHANGED;
        r.notReadyStatus = in.ConsumeIntegral<uint8_t>();
        r.patchAt = in.ConsumeIntegralInRange<size_t>(0, sim::kMaxFrameBytes + 8);
        r.patch = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 24));
        if (r.actions & ~kShapePreserving)
            check->strict = false;
        plan.rules.push_back(r);
    }

    sim::Device *dev = sim::CreateDevice(cfg);
    sim::SetFaultPlan(dev, plan);
    sim::ConnectSink(dev, [check](const uint8_t *bytes, int32_t count, int32_t type) { check->Take(bytes, count, type); });

    while (in.remaining_bytes() > 0) {
        const size_t want = in.ConsumeIntegralInRange<size_t>(0, 800);
        std::vector<uint8_t> chunk = in.ConsumeBytes<uint8_t>(want);
        sim::HostWrite(dev, chunk.data(), chunk.size());
    }
    sim::WaitIdle(dev, std::chrono::milliseconds(2000));
    // The state must still render and copy.
    sim::DeviceState st = sim::Snapshot(dev);
    sim::RenderDisplay(st);
    (void)sim::DisplayText(st);
    sim::DestroyDevice(dev);
    return 0;
}
