// Library start and stop, the guards and the small status exports.
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/context.h"
#include "events/notify.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/ring.h"
#include "link/send.h"
#include "link/transport.h"

namespace morel {

std::atomic<ApiContext *> callbackContext{nullptr};

namespace {

// Static storage: the context is constructed in place at each start and
// destroyed at each stop; the buffers beside it live for the process.
alignas(ApiContext) unsigned char g_contextStorage[sizeof(ApiContext)];
ReceiveRing g_ringDescriptor;
uint8_t g_ringStorage[kRingSize];
uint8_t g_txFrame[kTxFrameSize];
uint8_t g_rxFrame[kRxFrameSize];
uint8_t g_displayBuffer[kDisplayBytes];
ContactRecord g_contactTable[kContactCountMax];
RecordTable g_recordTable;
uint8_t g_rawReceiveBuffer[128];

std::atomic<ApiContext *> contextPointer{nullptr};
std::mutex g_lifecycle;

// Exported calls in progress (ContextRef).
std::atomic<int> g_refs{0};
std::mutex g_refMutex;
std::condition_variable g_refIdle;

constexpr int kWorkers = 4;
// Never destroyed: an application may end its process with the library still
// running, and a joinable std::thread destroyed at exit aborts the process.
std::thread *const g_threads = new std::thread[kWorkers];

// When TerminateUsbApiLib runs on one of the worker threads (from an
// application callback), that thread cannot join itself: it is detached and
// destroys the context itself once it has left its loop.
std::mutex g_reapMutex;
std::condition_variable g_reapDone;
bool g_reapPending = false;
std::thread::id g_reapThread;

thread_local bool t_worker = false;

// Tests: the worker with this index fails to start (-1: none).
std::atomic<int> g_failWorkerStart{-1};

using WorkerFn = void (*)(ApiContext *);

void DestroyContextStorage(ApiContext *ctx) { ctx->~ApiContext(); }

void WorkerMain(WorkerFn fn, ApiContext *ctx) {
    MarkWorkerThread();
    fn(ctx);
    std::lock_guard<std::mutex> g(g_reapMutex);
    if (g_reapPending && g_reapThread == std::this_thread::get_id()) {
        DestroyContextStorage(ctx);
        g_reapPending = false;
        g_reapDone.notify_all();
    }
}

void WakeEverything(ApiContext *ctx) {
    ctx->stopping.store(true);
    EventSet(ctx->stopEvent);
    EventSet(ctx->sendEvent);
    EventSet(ctx->replyEvent);
    EventSet(ctx->ringEvent);
    EventSet(ctx->linkEvent);
    EventSet(ctx->notifyEvent);
    EventSet(ctx->roomEvent);
    EventSet(ctx->turnEvent);
    EventSet(ctx->startedEvent);
    EventSet(ctx->discardedEvent);
    {
        std::lock_guard<std::mutex> g(ctx->slotLock);
    }
    ctx->slotIdle.notify_all();
}

// Stops and joins the started workers (all but the calling thread), closes
// the transport and frees the lists. Returns true when the calling thread is
// one of the workers and so must destroy the context itself later.
bool StopWorkers(ApiContext *ctx) {
    WakeEverything(ctx);
    {
        std::unique_lock<std::mutex> g(g_refMutex);
        g_refIdle.wait(g, [] { return g_refs.load() == 0; });
    }
    bool self = false;
    for (int i = 0; i < kWorkers; ++i) {
        std::thread &t = g_threads[i];
        if (!t.joinable())
            continue;
        if (t.get_id() == std::this_thread::get_id()) {
            self = true;
            std::lock_guard<std::mutex> g(g_reapMutex);
            g_reapPending = true;
            g_reapThread = t.get_id();
            t.detach();
        } else {
            t.join();
        }
    }
    uint32_t handle = ctx->transportHandle.exchange(0);
    const TransportOps *ops = CurrentTransport();
    if (handle != 0 && ops != nullptr)
        ops->close(handle);
    callbackContext.store(nullptr);
    FlushPackets(ctx);
    FlushEventQueue(ctx);
    return self;
}

ApiContext *CreateContext() {
    g_ringDescriptor.start = g_ringStorage;
    g_ringDescriptor.readPtr = 0;
    g_ringDescriptor.writePtr = 0;
    g_ringDescriptor.used.store(0);

    auto *ctx = new (g_contextStorage) ApiContext();
    callbackContext.store(ctx);
    ctx->ring = &g_ringDescriptor;
    ctx->txFrame = g_txFrame;
    ctx->rxFrame = g_rxFrame;
    std::memset(g_rxFrame, 0, sizeof g_rxFrame);
    ctx->displayBuffer = g_displayBuffer;
    ctx->contactTable = g_contactTable;
    ctx->recordTable = &g_recordTable;
    ctx->rawReceiveBuffer = g_rawReceiveBuffer;
    ctx->nextSequence.store(1);
    ctx->protocolVersion.store(0x30);
    ctx->syncComplete.store(1);

    EventInit(ctx->sendEvent, false);
    EventInit(ctx->replyEvent, false);
    EventInit(ctx->ringEvent, false);
    EventInit(ctx->linkEvent, true);
    EventInit(ctx->notifyEvent, false);
    EventInit(ctx->roomEvent, false);
    EventInit(ctx->stopEvent, true);
    EventInit(ctx->turnEvent, false);
    EventInit(ctx->startedEvent, false);
    EventInit(ctx->discardedEvent, false);

    const WorkerFn workers[kWorkers] = {SenderThread, ReceiverThread, EventThread, LinkThread};
    int started = 0;
    try {
        for (; started < kWorkers; ++started) {
            if (g_failWorkerStart.load() == started)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            g_threads[started] = std::thread(WorkerMain, workers[started], ctx);
        }
    } catch (const std::system_error &) {
        StopWorkers(ctx);
        DestroyContextStorage(ctx);
        return nullptr;
    }
    auto allStarted = [ctx] {
        return ctx->senderStarted.load() && ctx->receiverStarted.load() && ctx->eventStarted.load() &&
               ctx->linkStarted.load();
    };
    while (!allStarted())
        EventWait(ctx->startedEvent, -1);
    EventSet(ctx->linkEvent);
    return ctx;
}

} // namespace

bool OnWorkerThread() { return t_worker; }
void FailWorkerStartForTesting(int index) { g_failWorkerStart.store(index); }
void MarkWorkerThread() { t_worker = true; }

ApiContext *AcquireContext() {
    g_refs.fetch_add(1);
    ApiContext *ctx = contextPointer.load();
    if (ctx == nullptr)
        ReleaseContext();
    return ctx;
}

void ReleaseContext() {
    if (g_refs.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> g(g_refMutex);
        g_refIdle.notify_all();
    }
}

bool CanIssueCommand(const ApiContext *ctx) {
    return ctx != nullptr && ctx->commandActive.load() == 0 && ctx->deviceAvailable.load() == 1 &&
           ctx->syncComplete.load() == 1 && !ctx->stopping.load();
}

bool IsDeviceReady(const ApiContext *ctx) {
    return ctx != nullptr && ctx->deviceAvailable.load() == 1 && ctx->syncComplete.load() == 1;
}

bool SleepUnlessStopping(ApiContext *ctx, uint32_t ms) {
    if (SleepHook hook = GetSleepHook())
        ms = hook(ms);
    return EventWait(ctx->stopEvent, ms) == WaitResult::Timeout;
}

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) InitializeUsbApiLib(void) {
    ApiContext *current = contextPointer.load();
    if (current != nullptr)
        return 1;
    if (OnWorkerThread())
        return 0; // a callback of a library being stopped cannot start a new one
    std::lock_guard<std::mutex> g(g_lifecycle);
    if (contextPointer.load() != nullptr)
        return 1;
    {
        std::unique_lock<std::mutex> r(g_reapMutex);
        g_reapDone.wait(r, [] { return !g_reapPending; });
    }
    LoadTransport();
    ApiContext *ctx = CreateContext();
    if (ctx == nullptr)
        return 0;
    contextPointer.store(ctx);
    return 1;
}

MORELAPI_API(void) TerminateUsbApiLib(void) {
    ApiContext *ctx = contextPointer.load();
    if (ctx == nullptr)
        return;
    // A worker's callback calling in while another thread already stops the
    // library returns at once; that thread is waiting to join this one.
    if (OnWorkerThread() && ctx->stopping.load())
        return;
    std::lock_guard<std::mutex> g(g_lifecycle);
    ctx = contextPointer.load();
    if (ctx == nullptr)
        return;
    contextPointer.store(nullptr);
    if (!StopWorkers(ctx))
        DestroyContextStorage(ctx);
}

MORELAPI_API(int) IsSPphoneAvailable(void) {
    ContextRef ctx;
    return ctx && ctx->deviceAvailable.load() == 1 ? 1 : 0;
}

MORELAPI_API(int) IsCommandActive(void) {
    ContextRef ctx;
    return ctx && ctx->commandActive.load() == 1 ? 1 : 0;
}

MORELAPI_API(int) IsProductDefault(void) {
    ContextRef ctx;
    return ctx && ctx->deviceAvailable.load() == 1 && ctx->syncComplete.load() == 1 && ctx->productDefault.load() == 1
               ? 1
               : 0;
}

MORELAPI_API(int) DoCancelCommand(void) { return 1; }

} // extern "C"
