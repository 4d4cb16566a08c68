// Fuzzes the receive path: arbitrary bytes in arbitrary chunks through
// ReceiveCallback into the ring, frame extraction, dispatch to the matcher
// (every command handler decoding arbitrary answers) and to the notification
// intake and its handlers, with the device available or not and requests
// pending or not.
//
// The whole path runs on the fuzzer's thread: the harness plays the receiver
// and event threads itself, so every input behaves the same each time.
//
// Input: the bytes of the stream come from the front of the input; the
// choices (flags, chunk sizes and types, when to drain) from the back
// (FuzzedDataProvider), so a seed made of whole frames stays readable.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/context.h"
#include "events/notify.h"
#include "link/frame.h"
#include "link/ring.h"
#include "link/send.h"
#include "tests/support/context_storage.h"

using namespace morel;

namespace {

constexpr size_t kValueBytes[8] = {1, 1, 1, 2, 1, 1, 1, 1}; // slot 3 carries a u16

// The application's callback: touches what it was handed, as an application
// would, so that a bad pointer shows up under the sanitizer.
volatile uint32_t g_sink;
void MORELAPI_CALL Touch(uint32_t code, uint32_t userWord, void *data) {
    uint32_t sum = code ^ userWord;
    if (data != nullptr) {
        const auto *p = static_cast<const uint8_t *>(data);
        for (size_t i = 0; i < kValueBytes[userWord & 7]; ++i)
            sum += p[i];
    }
    g_sink = sum;
}

struct Harness {
    ContextStorage storage;
    ApiContext &ctx = *storage.ctx;
    std::vector<std::unique_ptr<uint8_t[]>> slotBuffers;

    Harness() {
        ctx.transportHandle = 0; // nothing is written: a re-read of the display finds no transport
    }

    // Registers the eight slots; with buffers, each exactly as large as the
    // value its events carry.
    void RegisterSlots(bool withBuffers) {
        for (uint32_t slot = 0; slot < 8; ++slot) {
            void *buffer = nullptr;
            if (withBuffers) {
                slotBuffers.emplace_back(new uint8_t[kValueBytes[slot]]);
                buffer = slotBuffers.back().get();
            }
            ctx.eventSlots[slot] = EventSlot{Touch, slot, buffer};
        }
    }

    // A pending request of every command of the table, to each of the two
    // device addresses, with sequences 1, 2, 3, ... in table order: answers
    // with those sequences reach every handler.
    void AddPendingRequests(bool accepted, size_t awaited) {
        std::vector<CommandPacket *> made;
        for (uint16_t c = 0; c < 8; ++c) {
            const CommandClassEntry &row = ctx.protocol->commands[c];
            for (uint16_t i = 0; i < row.commandCount; ++i)
                for (uint16_t address : {kAddrApp, kAddrSync})
                    if (CommandPacket *pkt = BuildCommand(&ctx, address, row.commands[i].command))
                        made.push_back(pkt);
        }
        LockGuard g(ctx.queueLock);
        CommandPacket **tail = &ctx.pendingList;
        for (CommandPacket *pkt : made) {
            if (accepted)
                Put16(pkt->frame + kOffKind, kKindAck);
            *tail = pkt;
            tail = &pkt->next;
        }
        if (!made.empty())
            ctx.awaitedPacket = made[awaited % made.size()];
    }

    // What the receiver thread and then the event thread would do.
    void Drain() {
        while (ExtractFrame(&ctx) == 1)
            DispatchFrame(&ctx);
        for (EventRecord *rec = NextEventRecord(&ctx, nullptr); rec != nullptr; rec = NextEventRecord(&ctx, rec)) {
            ctx.currentEvent = rec;
            if (rec->handler != nullptr)
                rec->handler(&ctx, 1);
            ctx.currentEvent = nullptr;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A display notification without its image makes the handler re-read the
    // image; with no time to wait, that read fails at once instead of
    // stalling the fuzzer.
    g_timing.replyTimeoutMs = 0;
    g_timing.displayRetryMs = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    auto h = std::make_unique<Harness>();
    ApiContext &ctx = h->ctx;

    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    static const uint8_t kVersions[] = {0x30, 0x21, 0x20, 0x12, 0x11, 0x10};
    ctx.protocolVersion = kVersions[in.ConsumeIntegralInRange<size_t>(0, sizeof kVersions - 1)];
    ctx.deviceAvailable = (flags & 1) ? 1 : 0;
    if (flags & 2)
        h->AddPendingRequests((flags & 4) != 0, in.ConsumeIntegral<uint8_t>());
    if (flags & 8)
        h->RegisterSlots((flags & 16) != 0);

    while (in.remaining_bytes() > 0) {
        const uint8_t op = in.ConsumeIntegral<uint8_t>();
        if ((op & 0x0F) == 0x0F) {
            // A link-state report in the middle of the data.
            ReceiveCallback(0, nullptr, 0, (op & 0x10) ? TALVO_TYPE_LINK_LOST : TALVO_TYPE_LINK_CHANGED, 0);
            continue;
        }
        const size_t want = in.ConsumeIntegralInRange<size_t>(0, kMaxFrame + 64);
        std::vector<uint8_t> chunk = in.ConsumeBytes<uint8_t>(want);
        // The harness is also the consumer: make room first, so the producer
        // never waits for a thread that is not there.
        if (ctx.ring.used.load() + chunk.size() > kRingSize)
            h->Drain();
        ReceiveCallback(0, chunk.data(), static_cast<int32_t>(chunk.size()), TALVO_TYPE_DATA, 0);
        if (op & 0x80)
            h->Drain();
    }
    h->Drain();
    return 0;
}
