#include "tests/support/bare_context.h"

namespace morel_test {

using namespace morel;

std::vector<uint8_t> DeviceFrame(uint16_t kind, uint32_t sequence, uint16_t classId, uint16_t commandId,
                                 uint8_t status, std::vector<uint8_t> data, uint8_t version, uint16_t source) {
    size_t body = 1 + data.size();
    size_t length = std::max<size_t>(kMinFrame, kHeaderSize + body);
    std::vector<uint8_t> f(length, 0);
    f[kOffVersion] = version;
    f[kOffReserved] = 0xFF;
    Put16(&f[kOffClass], classId);
    Put16(&f[kOffCommand], commandId);
    Put16(&f[kOffDestination], kAddrHost);
    Put16(&f[kOffSource], source);
    Put16(&f[kOffKind], kind);
    Put32(&f[kOffSequence], sequence);
    Put32(&f[kOffExtraLength], static_cast<uint32_t>(length - kMinFrame));
    f[kOffBody] = status;
    std::copy(data.begin(), data.end(), f.begin() + kOffBody + 1);
    return f;
}

// A notification's body is its data: the first byte sits where an answer's status does.
std::vector<uint8_t> NotificationFrame(uint16_t eventId, std::vector<uint8_t> data) {
    const uint8_t first = data.empty() ? 0 : data[0];
    if (!data.empty())
        data.erase(data.begin());
    return DeviceFrame(kKindNotification, 0, kNotificationClass, eventId, first, std::move(data), 0x30, 2);
}

ScriptedTransport &ScriptedTransport::Get() {
    static ScriptedTransport t;
    return t;
}

void ScriptedTransport::Reset() {
    std::lock_guard<std::mutex> g(m);
    written.clear();
    onWrite = nullptr;
}

bool ScriptedTransport::WaitWritten(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, timeout, [&] { return written.size() >= n; });
}

void ScriptedTransport::Inject(const std::vector<uint8_t> &bytes, int32_t type) {
    ReceiveCallback(0, bytes.data(), static_cast<int32_t>(bytes.size()), type, 0);
}

namespace {
int32_t TALVO_CALL ScriptedOpen(TalvoReceiveCallback, uint32_t *handle) {
    *handle = 1;
    return 0;
}
int32_t TALVO_CALL ScriptedWrite(uint32_t, const uint8_t *frame, uint32_t length) {
    ScriptedTransport &t = ScriptedTransport::Get();
    std::vector<uint8_t> bytes(frame, frame + length);
    std::function<void(const std::vector<uint8_t> &)> hook;
    {
        std::lock_guard<std::mutex> g(t.m);
        t.written.push_back(bytes);
        hook = t.onWrite;
    }
    t.cv.notify_all();
    if (hook)
        hook(bytes);
    return 0;
}
int32_t TALVO_CALL ScriptedClose(uint32_t) { return 0; }
} // namespace

void BareContextTest::SetUp() {
    ScriptedTransport::Get().Reset();
    SetTransportForTesting(ScriptedOpen, ScriptedWrite, ScriptedClose);
    storage_ = std::make_unique<ContextStorage>();
    ctx = storage_->ctx;
    ctx->deviceAvailable = 1;
    ctx->transportHandle = 1;
    sender_ = std::thread(SenderThread, ctx);
    if (StartReceiver())
        receiver_ = std::thread(ReceiverThread, ctx);
}

void BareContextTest::TearDown() {
    ReleaseWaits(ctx);
    sender_.join();
    if (receiver_.joinable())
        receiver_.join();
    storage_.reset();
    SetTransportForTesting(nullptr, nullptr, nullptr);
    g_timing.replyTimeoutMs = 3000;
}

} // namespace morel_test
