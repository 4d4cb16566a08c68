// Fuzzes the exported functions with arbitrary arguments against the whole
// library running on an in-process simulated device, interleaved with what
// the device does on its own (calls, keys, settings, arbitrary notifications,
// stray bytes, link drops) and with faults armed on the next request.
//
// Every buffer handed to the library is exactly as large as the public
// header documents (or null now and then), so a write or read beyond it is
// caught by AddressSanitizer. A replaced event buffer is freed as soon as
// RegisterEvent returns, which catches a callback writing into it later.
//
// The library and the device live across inputs (starting them costs a
// whole start-up synchronisation); each input ends with the faults cleared
// and the link up again, and aborts when the link does not come back.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "api/handlers.h"
#include "core/platform.h"
#include "link/transport.h"
#include "morelapi.h"
#include "sim/sim.h"
#include "transport/sim_transport.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::unique_ptr<uint8_t[]>;

sim::Device *g_dev = nullptr;
std::mutex g_slotMutex;
std::array<Bytes, 8> g_slotBuffers; // the buffers currently registered

constexpr size_t kValueBytes[8] = {1, 1, 1, 2, 1, 1, 1, 1};

volatile uint32_t g_sink;
void MORELAPI_CALL Touch(uint32_t code, uint32_t userWord, void *data) {
    uint32_t sum = code;
    if (data != nullptr) {
        const auto *p = static_cast<const uint8_t *>(data);
        for (size_t i = 0; i < kValueBytes[userWord & 7]; ++i)
            sum += p[i];
    }
    // A callback may call the library: read the image it was told of.
    if (code == MORELAPI_EVENT_DISPLAY) {
        Bytes image(new uint8_t[MORELAPI_DISPLAY_BYTES]);
        sum += static_cast<uint32_t>(GetLCDdata(image.get()));
    }
    g_sink = sum;
}

// Registers slot with a fresh buffer of the value's size (or none), and frees
// the one it replaces once RegisterEvent has returned.
void Register(uint16_t slot, bool withBuffer, SPphoneEventCallback cb) {
    Bytes buffer(withBuffer ? new uint8_t[kValueBytes[slot & 7]] : nullptr);
    RegisterEvent(slot, cb, slot, buffer.get());
    if (slot < 8) {
        std::lock_guard<std::mutex> g(g_slotMutex);
        g_slotBuffers[slot] = std::move(buffer);
    }
}

void RegisterAll() {
    for (uint16_t slot = 0; slot < 8; ++slot)
        Register(slot, slot % 2 == 0, Touch);
}

bool WaitLinkUp(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> g(m);
    while (IsSPphoneAvailable() != 1 || IsCommandActive() != 0) {
        if (Clock::now() >= deadline)
            return false;
        cv.wait_for(g, std::chrono::milliseconds(5));
    }
    return true;
}

// A buffer of n bytes (its content from the input when `fill`), or null now
// and then.
Bytes Buffer(FuzzedDataProvider &in, size_t n, bool fill = false) {
    if (in.ConsumeIntegral<uint8_t>() < 12)
        return nullptr;
    Bytes b(new uint8_t[n]);
    std::memset(b.get(), 0xCD, n);
    if (fill) {
        std::vector<uint8_t> v = in.ConsumeBytes<uint8_t>(n);
        if (!v.empty())
            std::memcpy(b.get(), v.data(), v.size());
    }
    return b;
}
template <typename T> T *As(const Bytes &b) { return reinterpret_cast<T *>(b.get()); }

// The room GetSystemData / SetSystemData need for an item.
size_t ItemBytes(uint16_t id) {
    uint16_t offset, width;
    morel::LookupSystemDataItem(id, &offset, &width);
    return std::max<size_t>(1, width + (morel::IsTextItem(id) ? 1u : 0u));
}

void DeviceActs(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange<int>(0, 13)) {
    case 0: sim::Ring(g_dev, in.ConsumeRandomLengthString(40)); break;
    case 1: sim::FarEndAnswer(g_dev); break;
    case 2: sim::FarEndHangUp(g_dev, in.ConsumeIntegralInRange<uint8_t>(0, 7)); break;
    case 3: sim::SetCallState(g_dev, in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>()); break;
    case 4: sim::PressKey(g_dev, in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>()); break;
    case 5: sim::SetRingerVolume(g_dev, in.ConsumeIntegral<uint8_t>()); break;
    case 6: sim::SetPlaybackVolume(g_dev, in.ConsumeIntegral<uint8_t>()); break;
    case 7: {
        uint16_t id = in.ConsumeIntegralInRange<uint16_t>(0, 140);
        std::vector<uint8_t> v = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 130));
        sim::ChangeItem(g_dev, id, v.data(), v.size());
        break;
    }
    case 8: {
        std::vector<uint8_t> v = in.ConsumeBytes<uint8_t>(128);
        v.resize(128);
        sim::SendRawData(g_dev, v.data());
        break;
    }
    case 9: sim::RedrawDisplay(g_dev); break;
    case 10: {
        // Any event id with any data, the image-carrying length included.
        uint16_t id = in.ConsumeIntegral<uint16_t>();
        std::vector<uint8_t> v = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 722));
        sim::SendNotification(g_dev, id, v.data(), v.size());
        break;
    }
    case 11: {
        std::vector<uint8_t> v = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 200));
        sim::SendRawBytes(g_dev, v.data(), v.size());
        break;
    }
    case 12: sim::SetStatus(g_dev, in.ConsumeIntegral<uint8_t>() % 4 == 0 ? 12 : 2, in.ConsumeBool()); break;
    default: sim::DropLink(g_dev); break;
    }
}

void ArmFault(FuzzedDataProvider &in) {
    static const uint32_t kActions[] = {
        sim::kRefuse,        sim::kFail,        sim::kDropAck,       sim::kDropResponse,
        sim::kNoAnswer,      sim::kDuplicate,   sim::kWrongSequence, sim::kWrongVersion,
        sim::kGarbageBefore, sim::kGarbageAfter, sim::kSplit,        sim::kMerge,
        sim::kReportLink,    sim::kFailWrite,   sim::kDelay,
    };
    sim::FaultRule r;
    r.destination = 3;
    r.count = 1;
    r.actions = kActions[in.ConsumeIntegralInRange<size_t>(0, sizeof kActions / sizeof kActions[0] - 1)];
    r.delayMs = in.ConsumeIntegralInRange<uint32_t>(0, 60);
    r.chunkSize = in.ConsumeIntegralInRange<size_t>(1, 70);
    r.garbageBytes = in.ConsumeIntegralInRange<size_t>(1, 100);
    r.garbageByte = in.ConsumeIntegral<uint8_t>();
    r.refuseStatus = in.ConsumeIntegralInRange<uint8_t>(1, 255);
    r.failStatus = in.ConsumeIntegralInRange<uint8_t>(1, 255);
    sim::AddFaultRule(g_dev, r);
}

void CallExport(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange<int>(0, 44)) {
    case 0: {
        Bytes s = Buffer(in, 1);
        GetSPphoneStatus(As<uint8_t>(s));
        break;
    }
    case 1: {
        Bytes s = Buffer(in, 1), s2 = Buffer(in, 1);
        GetSPphoneStatus2(As<uint8_t>(s), As<uint8_t>(s2));
        break;
    }
    case 2: {
        Bytes v = Buffer(in, 2);
        GetVersionSpeakerphone(in.ConsumeIntegral<uint8_t>(), As<uint16_t>(v));
        break;
    }
    case 3: {
        Bytes v = Buffer(in, 1);
        GetCTIVersion(As<uint8_t>(v));
        break;
    }
    case 4: {
        Bytes c = Buffer(in, 1), v = Buffer(in, 2);
        GetDestination(As<uint8_t>(c), As<uint16_t>(v));
        break;
    }
    case 5: {
        uint8_t item = in.ConsumeIntegral<uint8_t>();
        Bytes info = Buffer(in, item == 1 ? 6 : 4);
        GetIPnetworkInfo(item, info.get());
        break;
    }
    case 6: {
        Bytes t = Buffer(in, MORELAPI_UNICODE_TABLE_BYTES), c = Buffer(in, 1);
        ActiveUnicode(t.get(), As<uint8_t>(c));
        break;
    }
    case 7: ErrorCode(); break;
    case 8: Reboot(); break;
    case 9: g_sink = IsSPphoneAvailable() + IsCommandActive() + IsProductDefault() + DoCancelCommand(); break;
    case 10: {
        Bytes k = Buffer(in, 1), a = Buffer(in, 1);
        GetKey(As<uint8_t>(k), As<uint8_t>(a));
        break;
    }
    case 11: {
        uint8_t key = in.ConsumeBool() ? 'F' : in.ConsumeIntegral<uint8_t>();
        SetKey(key, in.ConsumeIntegralInRange<uint8_t>(0, 3));
        break;
    }
    case 12: {
        Bytes image = Buffer(in, MORELAPI_DISPLAY_BYTES);
        GetLCDdata(image.get());
        break;
    }
    case 13: {
        uint8_t p1 = in.ConsumeIntegral<uint8_t>(), p2 = in.ConsumeIntegral<uint8_t>();
        Bytes number = Buffer(in, MORELAPI_CALL_TEXT_BYTES, true);
        MakeCall(p1, p2, number.get());
        break;
    }
    case 14: EndCall(in.ConsumeIntegral<uint8_t>()); break;
    case 15: AnswerCall(); break;
    case 16: HoldOperate(in.ConsumeIntegral<uint8_t>()); break;
    case 17: JoinCall(); break;
    case 18: InviteConference(); break;
    case 19: RejectCall(); break;
    case 20: SetMute(in.ConsumeIntegral<uint8_t>()); break;
    case 21: {
        Bytes m = Buffer(in, 1);
        in.ConsumeBool() ? GetSlowTalk(As<uint8_t>(m)) : SetSlowTalk(in.ConsumeIntegral<uint8_t>());
        break;
    }
    case 22: {
        Bytes m = Buffer(in, 1);
        in.ConsumeBool() ? GetSoundEnhancer(As<uint8_t>(m)) : SetSoundEnhancer(in.ConsumeIntegral<uint8_t>());
        break;
    }
    case 23: {
        Bytes v = Buffer(in, 1);
        in.ConsumeBool() ? GetRingerVol(As<uint8_t>(v)) : SetRingerVol(in.ConsumeIntegral<uint8_t>());
        break;
    }
    case 24: {
        Bytes v = Buffer(in, 1);
        in.ConsumeBool() ? GetReceiveVol(As<uint8_t>(v)) : SetReceiverVol(in.ConsumeIntegral<uint8_t>());
        break;
    }
    case 25: {
        uint16_t id = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 140) : in.ConsumeIntegral<uint16_t>();
        Bytes b = Buffer(in, ItemBytes(id));
        GetSystemData(id, b.get());
        break;
    }
    case 26: {
        uint16_t id = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 140) : in.ConsumeIntegral<uint16_t>();
        Bytes b = Buffer(in, ItemBytes(id), true);
        SetSystemData(id, b.get());
        break;
    }
    case 27: {
        Bytes id = Buffer(in, 2), b = Buffer(in, 129);
        GetChangedSystemData(As<uint16_t>(id), b.get());
        break;
    }
    case 28: {
        Bytes s = Buffer(in, 1), t = Buffer(in, MORELAPI_CALL_TEXT_BYTES), v = Buffer(in, 4);
        GetCallInfo(in.ConsumeIntegral<uint8_t>(), As<uint8_t>(s), t.get(), As<uint32_t>(v));
        break;
    }
    case 29: {
        Bytes c = Buffer(in, 1);
        GetContactCount(As<uint8_t>(c));
        break;
    }
    case 30: {
        Bytes d1 = Buffer(in, MORELAPI_CONTACT_DATA1_BYTES), b = Buffer(in, 1),
              d2 = Buffer(in, MORELAPI_CONTACT_DATA2_BYTES);
        GetContact(in.ConsumeIntegral<uint8_t>(), d1.get(), As<uint8_t>(b), d2.get());
        break;
    }
    case 31: {
        Bytes d1 = Buffer(in, MORELAPI_CONTACT_DATA1_BYTES, true), b = Buffer(in, 1, true),
              d2 = Buffer(in, MORELAPI_CONTACT_DATA2_BYTES, true);
        SetContact(d1.get(), As<uint8_t>(b), d2.get());
        break;
    }
    case 32: DeleteContact(in.ConsumeIntegral<uint8_t>()); break;
    case 33: {
        Bytes c = Buffer(in, 1);
        GetRecordCount(As<uint8_t>(c));
        break;
    }
    case 34: {
        Bytes a = Buffer(in, 7), v = Buffer(in, 4), b = Buffer(in, 11);
        GetRecordInfo(in.ConsumeIntegral<uint8_t>(), a.get(), As<uint32_t>(v), b.get());
        break;
    }
    case 35: in.ConsumeBool() ? DeleteRecord(in.ConsumeIntegral<uint8_t>()) : DeleteAllRecords(); break;
    case 36: in.ConsumeBool() ? StartRecording() : StopRecording(); break;
    case 37:
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: StartPlayback(in.ConsumeIntegral<uint8_t>()); break;
        case 1: StopPlayback(); break;
        case 2: PausePlayback(); break;
        default: ResumePlayback(in.ConsumeIntegral<uint32_t>()); break;
        }
        break;
    case 38: {
        Bytes p = Buffer(in, 4), v = Buffer(in, 1);
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: GetCurrentPlaybackPos(As<uint32_t>(p)); break;
        case 1: GetPlaybackVol(As<uint8_t>(v)); break;
        case 2: SetPlaybackVol(in.ConsumeIntegral<uint8_t>()); break;
        default: GetRecordOpStatus(As<uint32_t>(p)); break;
        }
        break;
    }
    case 39: {
        Bytes t1 = Buffer(in, MORELAPI_CAMERA_TEXT_BYTES, true), t2 = Buffer(in, MORELAPI_CAMERA_TEXT_BYTES, true);
        if (in.ConsumeBool()) {
            SetNwCameraInfo(in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint16_t>(),
                            in.ConsumeIntegral<uint8_t>(), t1.get(), t2.get(), in.ConsumeIntegral<uint32_t>(),
                            in.ConsumeIntegral<uint16_t>());
        } else {
            Bytes v1 = Buffer(in, 4), v2 = Buffer(in, 2), v3 = Buffer(in, 1), v4 = Buffer(in, 4), v5 = Buffer(in, 2);
            GetNwCameraInfo(As<uint32_t>(v1), As<uint16_t>(v2), As<uint8_t>(v3), t1.get(), t2.get(),
                            As<uint32_t>(v4), As<uint16_t>(v5));
        }
        g_sink = static_cast<uint32_t>(GetOpeMode());
        break;
    }
    case 40: {
        uint16_t id = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 3) : in.ConsumeIntegral<uint16_t>();
        if (in.ConsumeBool()) {
            Bytes d = Buffer(in, MORELAPI_RTCP_SEND_BYTES, true);
            SetRtcpSend(id, d.get());
        } else {
            Bytes b = Buffer(in, MORELAPI_RTCP_RECEIVE_BYTES);
            GetRtcpReceive(id, b.get());
        }
        break;
    }
    case 41: {
        if (in.ConsumeBool()) {
            SetRtcpVer(in.ConsumeIntegral<uint16_t>(), in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint8_t>());
        } else {
            Bytes v = Buffer(in, 1);
            GetRtcpVer(in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint32_t>(), As<uint8_t>(v));
        }
        break;
    }
    case 42: {
        Bytes b = Buffer(in, MORELAPI_RAW_DATA_BYTES, true);
        in.ConsumeBool() ? SendFixed128RawData(b.get()) : ReceiveFixed128RawData(b.get());
        break;
    }
    case 43: {
        uint16_t slot = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 8) : in.ConsumeIntegral<uint16_t>();
        if (in.ConsumeBool())
            UnregisterEvent(slot);
        else
            Register(slot, in.ConsumeBool(), in.ConsumeIntegral<uint8_t>() < 32 ? nullptr : Touch);
        break;
    }
    default: {
        // Now and then the application stops and starts the library.
        if (in.ConsumeIntegral<uint8_t>() == 0x5A) {
            TerminateUsbApiLib();
            InitializeUsbApiLib();
            RegisterAll();
        }
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_dev = sim::CreateDevice();
    SimTransportBind(g_dev);
    morel::SetTransportForTesting(SimTransportOpen, SimTransportWrite, SimTransportClose);
    if (InitializeUsbApiLib() != 1)
        std::abort();
    RegisterAll();
    if (!WaitLinkUp(std::chrono::seconds(30)))
        std::abort();
    // Short waits for the answers that a fault drops; the in-process device
    // answers within a millisecond or two.
    morel::g_timing.replyTimeoutMs = 40;
    // libFuzzer ends with exit(): stop the library before the statics go.
    std::atexit([] {
        TerminateUsbApiLib();
        SimTransportBind(nullptr);
        sim::DestroyDevice(g_dev);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    for (int ops = 0; ops < 48 && in.remaining_bytes() > 0; ++ops) {
        const uint8_t kind = in.ConsumeIntegral<uint8_t>();
        if (kind < 160)
            CallExport(in);
        else if (kind < 230)
            DeviceActs(in);
        else
            ArmFault(in);
    }
    sim::ClearFaults(g_dev);
    sim::SetStatus(g_dev, 2);
    RegisterAll();
    // Whatever happened, the library must find its device again.
    if (!WaitLinkUp(std::chrono::seconds(20)))
        std::abort();
    return 0;
}
