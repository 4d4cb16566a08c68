// The Windows DLLs under wine64 (.ci/windows.sh): loads MORELAPI.dll, takes
// the exports it drives by their undecorated names and drives the library on
// the simulated device of TALVO.dll (loaded by name, taken by ordinal), with
// the protocol trace written to a file. One line per failed check and a
// summary; exit status 0 when every check held.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "morelapi.h"

namespace {

int g_checks = 0;
int g_failures = 0;

void Check(bool ok, const char *what, int line) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        std::printf("FAILED (line %d): %s\n", line, what);
    }
}
#define CHECK(cond) Check((cond), #cond, __LINE__)

// The exports this program drives, taken by name from the loaded DLL.
#define MORELAPI_USED(X)                                                                                               \
    X(InitializeUsbApiLib) X(TerminateUsbApiLib) X(IsSPphoneAvailable) X(RegisterEvent) X(UnregisterEvent)             \
    X(GetSPphoneStatus) X(GetLCDdata) X(SetRingerVol) X(GetRingerVol) X(MakeCall) X(GetCallInfo) X(EndCall)
struct Api {
#define MORELAPI_FN(name) decltype(&::name) name = nullptr;
    MORELAPI_USED(MORELAPI_FN)
#undef MORELAPI_FN
};

struct Seen {
    uint32_t code, value;
};

std::mutex g_m;
std::condition_variable g_cv;
std::vector<Seen> g_events;

// The events waited for here hand a pointer to a one-byte value.
void MORELAPI_CALL OnEvent(uint32_t code, uint32_t slot, void *data) {
    const bool byte = slot == MORELAPI_SLOT_CALL || code == MORELAPI_EVENT_LINK || code == MORELAPI_EVENT_RINGER_VOLUME;
    const uint32_t value = data != nullptr && byte ? *static_cast<const uint8_t *>(data) : 0;
    std::lock_guard<std::mutex> g(g_m);
    g_events.push_back({code, value});
    g_cv.notify_all();
}

// Waits for event code (with value unless anyValue); the value of the last
// such event, or -1 when none came.
long WaitEvent(uint32_t code, uint32_t value, bool anyValue = false) {
    std::unique_lock<std::mutex> lock(g_m);
    long found = -1;
    g_cv.wait_for(lock, std::chrono::seconds(10), [&] {
        for (const Seen &e : g_events)
            if (e.code == code && (anyValue || e.value == value))
                found = e.value;
        return found >= 0;
    });
    return found;
}

void StartAndLink(const Api &api) {
    {
        std::lock_guard<std::mutex> g(g_m);
        g_events.clear();
    }
    CHECK(api.InitializeUsbApiLib() == 1);
    for (uint16_t slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        CHECK(api.RegisterEvent(slot, OnEvent, slot, nullptr) == 1);
    CHECK(api.IsSPphoneAvailable() == 1 || WaitEvent(MORELAPI_EVENT_LINK, 1) >= 0);
}

constexpr const char *kTracePath = "morelapi_trace.jsonl";

// The trace of the two sessions: each begins with its header and ends with
// `end` once TerminateUsbApiLib has returned, with the frames between.
void CheckTrace() {
    std::ifstream file(kTracePath);
    std::string line, last;
    int headers = 0, ends = 0, tx = 0, rx = 0;
    while (std::getline(file, line)) {
        headers += line.rfind("{\"trace\":\"morelapi\",\"format\":1,", 0) == 0;
        ends += line.find("\"ev\":\"end\"}") != std::string::npos;
        tx += line.find("\"ev\":\"tx\"") != std::string::npos;
        rx += line.find("\"ev\":\"rx\"") != std::string::npos;
        last = line;
    }
    CHECK(headers == 2 && ends == 2);
    CHECK(tx > 0 && rx > 0);
    CHECK(last.find("\"ev\":\"end\"}") != std::string::npos);
}

} // namespace

int main() {
    if (std::getenv("TALVO_DEVICE") == nullptr)
        _putenv("TALVO_DEVICE=sim");
    std::remove(kTracePath);
    _putenv_s("MORELAPI_TRACE", kTracePath);

    HMODULE dll = LoadLibraryA("MORELAPI.dll");
    CHECK(dll != nullptr);
    if (dll == nullptr) {
        std::printf("MORELAPI.dll did not load (error %lu)\n", GetLastError());
        return 1;
    }
    Api api;
#define MORELAPI_TAKE(name)                                                                                            \
    api.name = reinterpret_cast<decltype(api.name)>(reinterpret_cast<void *>(GetProcAddress(dll, #name)));           \
    CHECK(api.name != nullptr);
    MORELAPI_USED(MORELAPI_TAKE)
#undef MORELAPI_TAKE
    if (g_failures != 0) {
        std::printf("%d of %d checks failed before the library was started\n", g_failures, g_checks);
        return 1;
    }

    StartAndLink(api);

    // Out-parameters of one byte and of a whole display.
    uint8_t status = 0xEE;
    CHECK(api.GetSPphoneStatus(&status) == 1 && status != 0xEE);
    uint8_t image[MORELAPI_DISPLAY_BYTES] = {};
    CHECK(api.GetLCDdata(image) == 1);
    CHECK(std::strstr(reinterpret_cast<const char *>(image), "READY") != nullptr);

    // A volume: the cache follows the device's event.
    CHECK(api.SetRingerVol(3) == 1);
    CHECK(WaitEvent(MORELAPI_EVENT_RINGER_VOLUME, 3) >= 0);
    uint8_t ringer = 0;
    CHECK(api.GetRingerVol(&ringer) == 1 && ringer == 3);

    // A call: placed, reported on slot 2 with its id, read, ended.
    uint8_t number[MORELAPI_CALL_TEXT_BYTES] = "5551234";
    CHECK(api.MakeCall(0, 0, number) == 1);
    const long callId = WaitEvent(MORELAPI_EVENT_CALL_0201, 0, true);
    CHECK(callId > 0);
    uint8_t state = 0;
    uint8_t text[MORELAPI_CALL_TEXT_BYTES] = {};
    uint32_t callValue = 0;
    CHECK(api.GetCallInfo(static_cast<uint8_t>(callId), &state, text, &callValue) == 1 && state != 0);
    CHECK(std::strcmp(reinterpret_cast<const char *>(text), "5551234") == 0);
    CHECK(api.EndCall(static_cast<uint8_t>(callId)) == 1);

    // Stop, and start again in the same process.
    api.TerminateUsbApiLib();
    CHECK(api.IsSPphoneAvailable() == 0);
    CHECK(api.GetSPphoneStatus(&status) == 0);
    CHECK(api.RegisterEvent(1, OnEvent, 1, nullptr) == 0);
    StartAndLink(api);
    CHECK(api.GetSPphoneStatus(&status) == 1);
    api.TerminateUsbApiLib();
    CheckTrace();

    std::printf("%s: %d of %d checks held\n", g_failures ? "FAILED" : "ok", g_checks - g_failures, g_checks);
    return g_failures ? 1 : 0;
}
