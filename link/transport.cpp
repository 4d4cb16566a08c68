#include "link/transport.h"

#include "core/context.h"
#include "core/trace.h"

#include <atomic>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace morel {

namespace {
std::mutex g_loadMutex;
bool g_loadTried = false;
TransportOps g_loaded{};
TransportOps g_testOps{};
std::atomic<const TransportOps *> g_current{nullptr};
} // namespace

void LoadTransport() {
    std::lock_guard<std::mutex> g(g_loadMutex);
    if (g_loadTried)
        return;
    g_loadTried = true;
#if defined(_WIN32)
    HMODULE module = LoadLibraryA("TALVO.dll");
    if (module == nullptr)
        return;
    auto open = reinterpret_cast<TalvoOpenFn>(reinterpret_cast<void *>(GetProcAddress(module, MAKEINTRESOURCEA(1))));
    auto write = reinterpret_cast<TalvoWriteFn>(reinterpret_cast<void *>(GetProcAddress(module, MAKEINTRESOURCEA(2))));
    auto close = reinterpret_cast<TalvoCloseFn>(reinterpret_cast<void *>(GetProcAddress(module, MAKEINTRESOURCEA(3))));
#else
    void *module = dlopen("libtalvo.so", RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        return;
    auto open = reinterpret_cast<TalvoOpenFn>(dlsym(module, "TransportOpen"));
    auto write = reinterpret_cast<TalvoWriteFn>(dlsym(module, "TransportWrite"));
    auto close = reinterpret_cast<TalvoCloseFn>(dlsym(module, "TransportClose"));
#endif
    if (open == nullptr || write == nullptr || close == nullptr)
        return; // the module stays loaded; it is never freed
    g_loaded = TransportOps{open, write, close};
    if (g_current.load() == nullptr)
        g_current.store(&g_loaded);
}

void SetTransportForTesting(TalvoOpenFn open, TalvoWriteFn write, TalvoCloseFn close) {
    std::lock_guard<std::mutex> g(g_loadMutex);
    if (open == nullptr || write == nullptr || close == nullptr) {
        g_current.store(g_loaded.open != nullptr ? &g_loaded : nullptr);
        return;
    }
    g_testOps = TransportOps{open, write, close};
    g_current.store(&g_testOps);
}

const TransportOps *CurrentTransport() { return g_current.load(); }

void CloseConnection(ApiContext *ctx) {
    const uint32_t handle = ctx->transportHandle.exchange(0);
    const TransportOps *ops = CurrentTransport();
    if (handle == 0 || ops == nullptr)
        return;
    ops->close(handle);
    if (TraceOn())
        TraceValue("close", "handle", handle);
}

} // namespace morel
