// The device's engine: the connection and its delivery thread, cutting the
// host's bytes into frames, answering them under the fault plan, and the log
// that tests watch.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/internal.h"

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {

struct Chunk {
    std::vector<uint8_t> bytes;
    int32_t type;
    Clock::time_point due;
};

struct RuleState {
    FaultRule rule;
    uint32_t seen; // matching frames so far
};

} // namespace

struct Device {
    DeviceConfig cfg;
    std::mutex mu;
    std::condition_variable wake;    // the delivery thread
    bool deferWake = false;          // a WriteLock is held: wake after it is released
    bool wakePending = false;        // something was queued meanwhile
    std::condition_variable changed; // waiters on the log
    DeviceState st;
    std::vector<RuleState> rules;
    uint32_t failOpens = 0;
    std::vector<uint8_t> rx;  // host bytes not yet cut into frames
    bool headMatched = false; // the frame at rx[0] has been matched against the rules already
    int headRule = -1;
    std::deque<Chunk> out; // by due time, then by order queued
    size_t outBytes = 0;   // bytes in out
    std::shared_ptr<const Sink> sink;
    bool delivering = false;
    bool stop = false;
    bool selfDestroy = false;
    uint32_t noteSequence = 0;
    Log log{};
    std::thread worker;
    std::thread::id workerId;
};

namespace {

bool Has(const FaultRule *rule, uint32_t action) { return rule && (rule->actions & action) == action; }

void UpdateIdle(Device *d) {
    if (d->out.empty())
        d->outBytes = 0;
    d->log.idle = d->out.empty() && !d->delivering;
    d->changed.notify_all();
}

void Queue(Device *d, std::vector<uint8_t> bytes, int32_t type, Clock::time_point due) {
    auto pos = std::upper_bound(d->out.begin(), d->out.end(), due,
                                [](Clock::time_point t, const Chunk &c) { return t < c.due; });
    d->outBytes += bytes.size();
    d->out.insert(pos, Chunk{std::move(bytes), type, due});
    if (d->deferWake)
        d->wakePending = true;
    else
        d->wake.notify_one();
    UpdateIdle(d);
}

// The device's lock for a host write: the delivery thread is woken for what
// the write queued only once the lock is released, so that it does not wake
// just to block on the lock the writer still holds.
struct WriteLock {
    Device *d;
    explicit WriteLock(Device *dev) : d(dev) {
        d->mu.lock();
        d->deferWake = true;
    }
    ~WriteLock() {
        d->deferWake = false;
        const bool wake = std::exchange(d->wakePending, false);
        d->mu.unlock();
        if (wake)
            d->wake.notify_one();
    }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;
};

std::vector<uint8_t> NoteFrame(Device *d, uint16_t eventId, const std::vector<uint8_t> &data) {
    ++d->log.counters.notifications;
    if (eventId == kEventVersionNotice)
        ++d->log.counters.versionNotices;
    size_t n = std::min(data.size(), kMaxFrameBytes - kHeaderBytes);
    return MakeFrame(d->st.protocolVersion, kNotificationClass, eventId, kAddrHost, kAddrDevice, kKindNotification,
                     ++d->noteSequence, data.data(), n);
}

void QueueVersionNotice(Device *d) {
    Queue(d, NoteFrame(d, kEventVersionNotice, {d->st.protocolVersion}), TALVO_TYPE_DATA, Clock::now());
}

void QueueLink(Device *d, int32_t type, Clock::time_point due) {
    ++d->log.counters.linkReports;
    Queue(d, {}, type, due);
}

// Runs a console operation: the effects go out as notifications at once.
template <class Fn> auto Console(Device *d, Fn fn) {
    std::lock_guard<std::mutex> lk(d->mu);
    Exchange ex{d->st, d->cfg};
    auto result = fn(ex);
    if (d->st.displayAuto)
        RenderDisplay(d->st);
    for (const Note &n : ex.notes)
        Queue(d, NoteFrame(d, n.eventId, n.data), TALVO_TYPE_DATA, Clock::now());
    return result;
}

// A frame start: what the host writes and nothing else.
bool LooksLikeHeader(const uint8_t *h) {
    uint16_t dst = Get16(h + kOffDestination);
    uint16_t kind = Get16(h + kOffKind);
    return Get16(h + kOffSource) == kAddrHost && (dst == 2 || dst == 3) &&
           (kind == kKindNotification || kind == kKindRequest) && Get32(h + kOffExtra) <= kMaxExtraLength;
}

// Counts the frame against every rule it matches; returns the index of the
// first rule whose window covers it, or -1.
int MatchRule(Device *d, const uint8_t *h) {
    uint16_t cls = Get16(h + kOffClass), cmd = Get16(h + kOffCommand), dst = Get16(h + kOffDestination);
    bool oneWay = Get16(h + kOffKind) != kKindRequest;
    int applied = -1;
    for (size_t i = 0; i < d->rules.size(); ++i) {
        RuleState &rs = d->rules[i];
        const FaultRule &r = rs.rule;
        if ((oneWay && !r.includeOneWay) || (r.classId >= 0 && r.classId != cls) ||
            (r.commandId >= 0 && r.commandId != cmd) || (r.destination >= 0 && r.destination != dst))
            continue;
        uint32_t seen = ++rs.seen;
        if (applied < 0 && seen > r.skip && (r.count == 0 || seen - r.skip <= r.count))
            applied = static_cast<int>(i);
    }
    return applied;
}

void LogFrame(Device *d, const uint8_t *f, size_t len) {
    HostFrame hf;
    hf.bytes.assign(f, f + len);
    hf.version = f[kOffVersion];
    hf.classId = Get16(f + kOffClass);
    hf.commandId = Get16(f + kOffCommand);
    hf.destination = Get16(f + kOffDestination);
    hf.kind = Get16(f + kOffKind);
    hf.sequence = Get32(f + kOffSequence);
    hf.length = static_cast<uint32_t>(len);
    hf.time = Clock::now();
    d->log.frames.push_back(std::move(hf));
    while (d->log.frames.size() > d->cfg.logLimit)
        d->log.frames.pop_front();
    ++d->log.counters.hostFrames;
}

std::vector<std::vector<uint8_t>> Pieces(std::vector<uint8_t> chunk, const FaultRule *rule) {
    std::vector<std::vector<uint8_t>> out;
    if (!Has(rule, kSplit) || rule->chunkSize == 0 || chunk.size() <= rule->chunkSize) {
        out.push_back(std::move(chunk));
        return out;
    }
    for (size_t at = 0; at < chunk.size(); at += rule->chunkSize) {
        size_t n = std::min(rule->chunkSize, chunk.size() - at);
        out.emplace_back(chunk.begin() + at, chunk.begin() + at + n);
    }
    return out;
}

// Writes the rule's patch over the answer data (which starts at frame offset
// 21), within the largest frame.
void Patch(std::vector<uint8_t> &data, const FaultRule &rule) {
    constexpr size_t kDataAt = kOffBody + 1;
    constexpr size_t kRoom = kMaxFrameBytes - kDataAt;
    for (size_t i = 0; i < rule.patch.size(); ++i) {
        const size_t at = rule.patchAt + i;
        if (at < kDataAt)
            continue;
        if (at - kDataAt >= kRoom || at < rule.patchAt) // also an offset that wrapped
            break;
        if (data.size() <= at - kDataAt)
            data.resize(at - kDataAt + 1, 0);
        data[at - kDataAt] = rule.patch[i];
    }
}

// Carries out one request and queues what the device sends for it.
void Answer(Device *d, const uint8_t *f, size_t len, const FaultRule *rule) {
    uint16_t cls = Get16(f + kOffClass), cmd = Get16(f + kOffCommand);
    Clock::time_point due = Clock::now();
    if (Has(rule, kDelay))
        due += std::chrono::milliseconds(rule->delayMs);
    if (Has(rule, kReportLink)) {
        QueueLink(d, rule->linkType, due);
        return;
    }

    Exchange ex{d->st, d->cfg, f, len};
    if (Has(rule, kRefuse)) {
        ex.ackStatus = rule->refuseStatus ? rule->refuseStatus : 1;
    } else if (Has(rule, kFail)) {
        ex.respStatus = rule->failStatus ? rule->failStatus : 1;
    } else {
        if (CommandFn fn = FindCommandFn(cls, cmd))
            fn(ex);
        else
            ex.Refuse();
        // A handler refuses or fails before it changes anything, so what it
        // had put together is answered as it stands.
        if (Has(rule, kAnswerAnyway))
            ex.ackStatus = ex.respStatus = 0;
    }
    if (ex.ackStatus || ex.respStatus) {
        ex.data.clear();
        ex.notes.clear();
    } else if (d->st.displayAuto) {
        RenderDisplay(d->st);
    }
    if (Has(rule, kNotReady) && cls == 1 && (cmd == 9 || cmd == 13) && !ex.data.empty())
        ex.data[0] = rule->notReadyStatus;

    uint8_t version = d->st.protocolVersion;
    if (Has(rule, kWrongVersion))
        version = static_cast<uint8_t>(std::min(0xFF, f[kOffVersion] + 1));
    uint32_t sequence = Get32(f + kOffSequence) + (Has(rule, kWrongSequence) ? rule->sequenceOffset : 0);
    uint16_t source = Get16(f + kOffDestination);

    std::vector<std::vector<uint8_t>> answer;
    if (!Has(rule, kDropAck)) {
        answer.push_back(MakeFrame(version, cls, cmd, kAddrHost, source, kKindAck, sequence, &ex.ackStatus, 1));
        ++d->log.counters.acks;
    }
    if (ex.ackStatus == 0 && !Has(rule, kDropResponse)) {
        if (rule)
            Patch(ex.data, *rule);
        size_t n = std::min(ex.data.size(), kMaxFrameBytes - kHeaderBytes - 1);
        std::vector<uint8_t> body(1 + n);
        body[0] = ex.respStatus;
        std::copy_n(ex.data.begin(), n, body.begin() + 1);
        answer.push_back(MakeFrame(version, cls, cmd, kAddrHost, source, kKindResponse, sequence, body.data(),
                                   body.size()));
        ++d->log.counters.responses;
    }
    if (Has(rule, kMerge) && answer.size() > 1) {
        std::vector<uint8_t> merged;
        for (const auto &fr : answer)
            merged.insert(merged.end(), fr.begin(), fr.end());
        answer.assign(1, std::move(merged));
    }
    if (Has(rule, kDuplicate)) {
        size_t n = answer.size();
        for (size_t i = 0; i < n; ++i)
            answer.push_back(answer[i]);
        d->log.counters.acks += Has(rule, kDropAck) ? 0 : 1;
        d->log.counters.responses += (ex.ackStatus == 0 && !Has(rule, kDropResponse)) ? 1 : 0;
    }

    std::vector<std::vector<uint8_t>> chunks;
    if (Has(rule, kGarbageBefore))
        chunks.emplace_back(rule->garbageBytes, rule->garbageByte);
    for (auto &fr : answer)
        chunks.push_back(std::move(fr));
    for (const Note &n : ex.notes)
        chunks.push_back(NoteFrame(d, n.eventId, n.data));
    if (Has(rule, kGarbageAfter))
        chunks.emplace_back(rule->garbageBytes, rule->garbageByte);
    for (auto &chunk : chunks)
        for (auto &piece : Pieces(std::move(chunk), rule))
            if (!piece.empty())
                Queue(d, std::move(piece), TALVO_TYPE_DATA, due);
}

// Sends what the configured answerer gives for a request, counted by kind.
void AnswerInstead(Device *d, const uint8_t *f, size_t len) {
    std::vector<Outgoing> out;
    d->cfg.answerRequest(f, len, &out);
    const Clock::time_point now = Clock::now();
    for (Outgoing &o : out) {
        const Clock::time_point due = now + std::max(o.delay, std::chrono::milliseconds(0));
        if (o.type != TALVO_TYPE_DATA) {
            QueueLink(d, o.type, due);
            continue;
        }
        if (o.bytes.empty())
            continue;
        const uint16_t kind = o.bytes.size() >= kHeaderBytes ? Get16(o.bytes.data() + kOffKind) : 0xFFFF;
        d->log.counters.acks += kind == kKindAck;
        d->log.counters.responses += kind == kKindResponse;
        d->log.counters.notifications += kind == kKindNotification;
        Queue(d, std::move(o.bytes), TALVO_TYPE_DATA, due);
    }
}

void ProcessFrame(Device *d, const uint8_t *f, size_t len, int ruleIndex) {
    LogFrame(d, f, len);
    const FaultRule *rule =
        ruleIndex >= 0 && static_cast<size_t>(ruleIndex) < d->rules.size() ? &d->rules[ruleIndex].rule : nullptr;
    if (rule)
        ++d->log.counters.faultsApplied;
    // An older device cannot read a newer frame; it reports its own version.
    if (f[kOffVersion] > d->st.protocolVersion) {
        QueueVersionNotice(d);
        return;
    }
    if (Get16(f + kOffKind) == kKindNotification) {
        if (Get16(f + kOffClass) == 0 && Get16(f + kOffCommand) == 1)
            ++d->log.counters.keepAlives;
        if (Has(rule, kReportLink))
            QueueLink(d, rule->linkType, Clock::now());
        return;
    }
    if (d->cfg.answerRequest) {
        AnswerInstead(d, f, len);
        return;
    }
    Answer(d, f, len, rule);
}

void DropConnection(Device *d, std::unique_lock<std::mutex> &lk) {
    d->sink.reset();
    d->out.clear();
    if (std::this_thread::get_id() != d->workerId)
        d->changed.wait(lk, [d] { return !d->delivering; });
    d->out.clear();
    d->rx.clear();
    d->headMatched = false;
    UpdateIdle(d);
}

void Deliver(Device *d) {
    static const uint8_t kNoBytes[1] = {0};
    std::unique_lock<std::mutex> lk(d->mu);
    while (!d->stop) {
        if (d->out.empty()) {
            d->wake.wait(lk);
            continue;
        }
        Clock::time_point due = d->out.front().due;
        if (due > Clock::now()) {
            d->wake.wait_until(lk, due);
            continue;
        }
        Chunk c = std::move(d->out.front());
        d->out.pop_front();
        d->outBytes -= c.bytes.size();
        std::shared_ptr<const Sink> sink = d->sink;
        if (sink) {
            d->delivering = true;
            lk.unlock();
            (*sink)(c.bytes.empty() ? kNoBytes : c.bytes.data(), static_cast<int32_t>(c.bytes.size()), c.type);
            sink.reset();
            lk.lock();
            d->delivering = false;
            ++d->log.counters.chunksDelivered;
            d->log.counters.bytesDelivered += c.bytes.size();
        }
        UpdateIdle(d);
    }
    if (d->selfDestroy) {
        lk.unlock();
        delete d;
    }
}

} // namespace

Device *CreateDevice(const DeviceConfig &cfg) {
    Device *d = new Device;
    d->cfg = cfg;
    d->st = DefaultState(cfg);
    d->log.idle = true;
    d->worker = std::thread(Deliver, d);
    d->workerId = d->worker.get_id();
    return d;
}

void DestroyDevice(Device *d) {
    if (!d)
        return;
    {
        std::lock_guard<std::mutex> lk(d->mu);
        d->stop = true;
        d->sink.reset();
        d->out.clear();
        d->wake.notify_all();
        d->changed.notify_all();
        if (std::this_thread::get_id() == d->workerId) {
            // From inside its own callback: the delivery thread frees the
            // device once the callback has returned.
            d->selfDestroy = true;
            d->worker.detach();
            return;
        }
    }
    d->worker.join();
    delete d;
}

bool ConnectSink(Device *d, Sink sink) {
    if (!d || !sink)
        return false;
    std::unique_lock<std::mutex> lk(d->mu);
    if (d->failOpens) {
        --d->failOpens;
        return false;
    }
    DropConnection(d, lk);
    d->sink = std::make_shared<const Sink>(std::move(sink));
    ++d->log.counters.opens;
    QueueVersionNotice(d);
    return true;
}

bool Connect(Device *d, TalvoReceiveCallback callback) {
    if (!callback)
        return false;
    return ConnectSink(d, [callback](const uint8_t *data, int32_t count, int32_t type) {
        callback(0, data, count, type, 0);
    });
}

void Disconnect(Device *d) {
    if (!d)
        return;
    std::unique_lock<std::mutex> lk(d->mu);
    DropConnection(d, lk);
}

bool IsConnected(Device *d) {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->sink != nullptr;
}

bool HostWrite(Device *d, const uint8_t *bytes, size_t n) {
    WriteLock lk(d);
    if (!d->sink || (n && !bytes)) {
        ++d->log.counters.failedWrites;
        d->changed.notify_all();
        return false;
    }
    if (n == 0)
        return true;
    // A write fault refuses the frame that begins the chunk, as a transport
    // refuses a whole frame.
    if (d->rx.empty() && n >= kHeaderBytes && LooksLikeHeader(bytes)) {
        d->headRule = MatchRule(d, bytes);
        d->headMatched = true;
        if (d->headRule >= 0 && Has(&d->rules[d->headRule].rule, kFailWrite)) {
            d->headMatched = false;
            ++d->log.counters.failedWrites;
            ++d->log.counters.faultsApplied;
            d->changed.notify_all();
            return false;
        }
    }
    d->rx.insert(d->rx.end(), bytes, bytes + n);
    size_t pos = 0;
    while (d->rx.size() - pos >= kHeaderBytes) {
        const uint8_t *h = d->rx.data() + pos;
        if (!LooksLikeHeader(h)) {
            ++pos;
            ++d->log.counters.discardedBytes;
            continue;
        }
        size_t len = kMinFrameBytes + Get32(h + kOffExtra);
        if (d->rx.size() - pos < len)
            break;
        int rule = (pos == 0 && d->headMatched) ? d->headRule : MatchRule(d, h);
        d->headMatched = false;
        ProcessFrame(d, h, len, rule);
        pos += len;
    }
    d->rx.erase(d->rx.begin(), d->rx.begin() + static_cast<std::ptrdiff_t>(pos));
    d->changed.notify_all();
    return true;
}

DeviceState Snapshot(Device *d) {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->st;
}

void Update(Device *d, const std::function<void(DeviceState &)> &fn) {
    std::lock_guard<std::mutex> lk(d->mu);
    fn(d->st);
    if (d->st.displayAuto)
        RenderDisplay(d->st);
}

void SetFaultPlan(Device *d, const FaultPlan &plan) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->rules.clear();
    for (const FaultRule &r : plan.rules)
        d->rules.push_back({r, 0});
    d->failOpens = plan.failOpens;
    d->headMatched = false;
}

void AddFaultRule(Device *d, const FaultRule &rule) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->rules.push_back({rule, 0});
}

void SetFailOpens(Device *d, uint32_t opens) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->failOpens = opens;
}

FaultsLeft GetFaultsLeft(Device *d) {
    std::lock_guard<std::mutex> lk(d->mu);
    FaultsLeft left{{}, d->failOpens};
    for (const RuleState &rs : d->rules) {
        const FaultRule &r = rs.rule;
        const uint32_t skipLeft = rs.seen < r.skip ? r.skip - rs.seen : 0;
        const uint32_t used = rs.seen > r.skip ? rs.seen - r.skip : 0;
        if (r.count != 0 && used >= r.count)
            continue;
        left.rules.push_back({r, skipLeft, r.count == 0 ? 0 : r.count - used});
    }
    return left;
}

void ClearFaults(Device *d) { SetFaultPlan(d, FaultPlan{}); }

Log GetLog(Device *d) {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->log;
}

Counters GetCounters(Device *d) {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->log.counters;
}

size_t QueuedBytes(Device *d) {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->outBytes;
}

void ClearLog(Device *d) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->log.frames.clear();
    d->log.counters = Counters{};
}

bool WaitUntil(Device *d, const std::function<bool(const Log &)> &pred, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(d->mu);
    return d->changed.wait_for(lk, timeout, [&] { return pred(d->log); });
}

bool WaitForFrames(Device *d, uint64_t hostFrames, std::chrono::milliseconds timeout) {
    return WaitUntil(d, [hostFrames](const Log &l) { return l.counters.hostFrames >= hostFrames; }, timeout);
}

bool WaitIdle(Device *d, std::chrono::milliseconds timeout) {
    return WaitUntil(d, [](const Log &l) { return l.idle; }, timeout);
}

bool SendNotification(Device *d, uint16_t eventId, const uint8_t *data, size_t n) {
    if (n > kMaxFrameBytes - kHeaderBytes || (n && !data))
        return false;
    std::lock_guard<std::mutex> lk(d->mu);
    if (!d->sink)
        return false;
    Queue(d, NoteFrame(d, eventId, std::vector<uint8_t>(data, data + n)), TALVO_TYPE_DATA, Clock::now());
    return true;
}

void SendRawBytes(Device *d, const uint8_t *bytes, size_t n) {
    if (!n || !bytes)
        return;
    std::lock_guard<std::mutex> lk(d->mu);
    Queue(d, std::vector<uint8_t>(bytes, bytes + n), TALVO_TYPE_DATA, Clock::now());
}

void ReportLink(Device *d, int32_t type) {
    std::lock_guard<std::mutex> lk(d->mu);
    QueueLink(d, type, Clock::now());
}

uint8_t Ring(Device *d, const std::string &number) {
    return Console(d, [&](Exchange &ex) -> uint8_t {
        Call *c = StartCall(ex, kCallRinging, false, 1, reinterpret_cast<const uint8_t *>(number.data()),
                            number.size(), 0);
        return c ? c->id : 0;
    });
}

bool FarEndAnswer(Device *d) {
    return Console(d, [](Exchange &ex) {
        for (Call &c : ex.st.calls) {
            if (c.live && (c.state == kCallDialling || c.state == kCallAlerting)) {
                EnterCallState(ex, c, kCallConnected);
                return true;
            }
        }
        return false;
    });
}

bool FarEndHangUp(Device *d, uint8_t callId) {
    return Console(d, [callId](Exchange &ex) {
        for (Call &c : ex.st.calls) {
            if (c.live && (callId == 0 || c.id == callId)) {
                EnterCallState(ex, c, kCallEndedFar);
                return true;
            }
        }
        return false;
    });
}

bool SetCallState(Device *d, uint8_t callId, uint8_t state) {
    return Console(d, [callId, state](Exchange &ex) {
        Call *c = FindLiveCall(ex.st, callId);
        if (!c || !CallEventFor(state))
            return false;
        EnterCallState(ex, *c, state);
        return true;
    });
}

void PressKey(Device *d, uint8_t keyCode, uint8_t action) {
    Console(d, [keyCode, action](Exchange &ex) {
        ex.st.keyAction = action;
        ex.st.keyCode = keyCode;
        ex.Notify(0x0104, {action, keyCode});
        NoteDisplay(ex);
        return 0;
    });
}

namespace {
bool SetVolume(Device *d, uint8_t DeviceState::*field, VolumeRange range, uint16_t eventId, uint8_t volume) {
    if (!InRange(volume, range))
        return false;
    Console(d, [=](Exchange &ex) {
        ex.st.*field = volume;
        ex.Notify(eventId, {volume});
        return 0;
    });
    return true;
}
} // namespace

bool SetRingerVolume(Device *d, uint8_t volume) {
    return SetVolume(d, &DeviceState::ringerVolume, kRingerVolumes, 0x0107, volume);
}
bool SetReceiveVolume(Device *d, uint8_t volume) {
    return SetVolume(d, &DeviceState::receiveVolume, kReceiveVolumes, 0x0108, volume);
}
bool SetPlaybackVolume(Device *d, uint8_t volume) {
    return SetVolume(d, &DeviceState::playbackVolume, kPlaybackVolumes, 0x0109, volume);
}

bool ChangeItem(Device *d, uint16_t id, const uint8_t *value, size_t n) {
    return Console(d, [&](Exchange &ex) {
        SystemItem *it = FindItem(ex.st, id);
        if (!it || !value || n < it->width)
            return false;
        std::copy(value, value + it->width, it->value.begin());
        ex.st.lastChangedItem = id;
        std::vector<uint8_t> note;
        Append16(note, id);
        note.insert(note.end(), value, value + it->width);
        ex.Notify(0x0301, std::move(note));
        return true;
    });
}

void SendRawData(Device *d, const uint8_t *block128) {
    if (!block128)
        return;
    Console(d, [block128](Exchange &ex) {
        ex.Notify(0x0002, std::vector<uint8_t>(block128, block128 + kRawBlockBytes));
        return 0;
    });
}

void RedrawDisplay(Device *d) {
    Console(d, [](Exchange &ex) {
        NoteDisplay(ex);
        return 0;
    });
}

void SetStatus(Device *d, uint8_t status, bool announce) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->st.status = status;
    if (d->st.displayAuto)
        RenderDisplay(d->st);
    if (announce)
        QueueLink(d, TALVO_TYPE_LINK_CHANGED, Clock::now());
}

void DropLink(Device *d) { ReportLink(d, TALVO_TYPE_LINK_LOST); }

} // namespace sim
