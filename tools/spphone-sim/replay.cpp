#include "tools/spphone-sim/replay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

#include "tools/common/trace_line.h"

namespace simreplay {

namespace {

constexpr size_t kOffVersion = 0, kOffClass = 2, kOffCommand = 4, kOffDestination = 6, kOffSource = 8,
                 kOffKind = 10, kOffSequence = 12, kOffExtra = 16, kOffBody = 20;
constexpr uint16_t kKindNotification = 0, kKindRequest = 1, kKindAck = 2, kKindResponse = 3;

// The longest wait kept between an answer and what followed it.
constexpr double kMaxDelayMs = 3600e3;

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t *p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }
void Put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t *p, uint32_t v) {
    Put16(p, static_cast<uint16_t>(v));
    Put16(p + 2, static_cast<uint16_t>(v >> 16));
}

// One line of at most tools::kMaxTraceLine bytes into *line; a longer one is
// read to its end and reported, so that no line takes more memory than that.
enum class Read { Line, TooLong, End };
Read ReadLine(std::FILE *f, std::string *line) {
    line->clear();
    char buf[4096];
    bool any = false, tooLong = false;
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
        any = true;
        std::string_view piece(buf);
        const bool ends = !piece.empty() && piece.back() == '\n';
        if (ends)
            piece.remove_suffix(1);
        if (line->size() + piece.size() > tools::kMaxTraceLine)
            tooLong = true;
        else
            line->append(piece);
        if (ends)
            break;
    }
    if (!any)
        return Read::End;
    return tooLong ? Read::TooLong : Read::Line;
}

// The frame of a tx or rx line: whole, as long as its header says, within
// what the host and the device exchange.
std::optional<std::vector<uint8_t>> FrameOf(const tools::TraceLine &l) {
    auto bytes = tools::ParseHexBytes(l.Text("hex"));
    if (!bytes || bytes->size() < sim::kMinFrameBytes || bytes->size() > sim::kMaxFrameBytes ||
        bytes->size() != sim::kMinFrameBytes + Get32(bytes->data() + kOffExtra))
        return std::nullopt;
    return bytes;
}

std::pair<uint16_t, uint16_t> KeyOf(const std::vector<uint8_t> &f) {
    return {Get16(f.data() + kOffClass), Get16(f.data() + kOffCommand)};
}

// Answers traced before their request: the library writes a request's line
// once the transport's write has returned, and a quick device has answered
// by then. They wait here for the request's line.
struct Early {
    std::pair<uint16_t, uint16_t> key;
    std::vector<Recorded> sent;
    double anchor = 0;
};

struct Loader {
    Replay *r = nullptr;
    size_t bytes = 0;
    bool versionKnown = false;
    std::map<uint32_t, size_t> bySequence; // the latest request of each sequence
    std::map<uint32_t, Early> early;       // by sequence
    // What comes now follows: the early answers of a sequence, else a request.
    std::optional<uint32_t> currentEarly;
    std::optional<size_t> current;
    std::vector<std::string> bodies; // by request, until the tracks are made

    std::vector<Recorded> *Following() {
        if (currentEarly)
            return &early[*currentEarly].sent;
        return current ? &r->requests[*current].sent : nullptr;
    }
};

bool HasAnswer(const std::vector<Recorded> &sent, uint16_t kind) {
    return std::any_of(sent.begin(), sent.end(),
                       [kind](const Recorded &x) { return x.answer && Get16(x.bytes.data() + kOffKind) == kind; });
}

bool Fail(std::string *error, const std::string &why) {
    *error = why;
    return false;
}

bool Take(Loader &ld, size_t n, std::string *error) {
    ld.bytes += n;
    if (ld.bytes > kMaxLoadedBytes)
        return Fail(error, "the session holds more than " + std::to_string(kMaxLoadedBytes >> 20) +
                               " MiB of frames (the most a replay loads)");
    return true;
}

// One line of the session being loaded; false stops the load with *error.
bool Apply(Loader &ld, const tools::TraceLine &l, std::string *error) {
    Replay &r = *ld.r;
    const std::string ev = l.Text("ev");
    const std::optional<double> t = l.Number("t");
    if (!t || !std::isfinite(*t)) {
        ++r.skippedLines;
        return true;
    }
    if (ev == "tx" || ev == "rx") {
        auto frame = FrameOf(l);
        if (!frame) {
            ++r.skippedLines;
            return true;
        }
        const uint16_t kind = Get16(frame->data() + kOffKind);
        const uint32_t sequence = Get32(frame->data() + kOffSequence);
        const auto key = KeyOf(*frame);
        if (ev == "tx") {
            // A request the transport did not take never reached the device.
            if (kind != kKindRequest || l.Number("rc").value_or(0) != 0)
                return true;
            if (r.requests.size() >= kMaxRequests)
                return Fail(error, "the session holds more than " + std::to_string(kMaxRequests) +
                                       " requests (the most a replay loads)");
            if (!Take(ld, 2 * frame->size(), error))
                return false;
            Request q{key.first, key.second, (*frame)[kOffVersion], sequence, {}, *t};
            auto e = ld.early.find(sequence);
            if (e != ld.early.end()) {
                if (e->second.key == key) {
                    q.sent = std::move(e->second.sent);
                    q.anchor = e->second.anchor;
                }
                ld.early.erase(e);
            }
            ld.currentEarly.reset();
            r.requests.push_back(std::move(q));
            ld.bodies.emplace_back(frame->begin() + kOffBody, frame->end());
            ld.current = ld.bySequence[sequence] = r.requests.size() - 1;
            if (const std::string *name = l.Find("name"))
                r.names[key] = *name;
            return true;
        }
        if (!ld.versionKnown) {
            r.version = (*frame)[kOffVersion];
            ld.versionKnown = true;
        }
        if (kind == kKindAck || kind == kKindResponse) {
            auto it = ld.bySequence.find(sequence);
            Request *q = it != ld.bySequence.end() ? &r.requests[it->second] : nullptr;
            std::vector<Recorded> *sent = nullptr;
            double *anchor = nullptr;
            if (q && q->classId == key.first && q->commandId == key.second && !HasAnswer(q->sent, kind)) {
                if (q->timedOut) // a late answer: the library had given up on it
                    return true;
                sent = &q->sent;
                anchor = &q->anchor;
            } else {
                Early &e = ld.early[sequence];
                if (e.sent.empty())
                    e.key = key;
                else if (e.key != key || HasAnswer(e.sent, kind))
                    return true;
                sent = &e.sent;
                anchor = &e.anchor;
                ld.currentEarly = sequence;
            }
            if (!Take(ld, frame->size(), error))
                return false;
            sent->push_back({std::move(*frame), TALVO_TYPE_DATA, *t, true});
            *anchor = *t;
            return true;
        }
        // The version report is the device's own doing at every connection
        // and at each frame it cannot read: the replaying device sends it too.
        std::vector<Recorded> *following = ld.Following();
        if (kind != kKindNotification || !following ||
            (key.first == sim::kNotificationClass && key.second == sim::kEventVersionNotice))
            return true;
        if (!Take(ld, frame->size(), error))
            return false;
        following->push_back({std::move(*frame), TALVO_TYPE_DATA, *t, false});
        return true;
    }
    if (ev == "timeout") {
        auto it = ld.bySequence.find(static_cast<uint32_t>(l.Unsigned("seq").value_or(UINT64_MAX)));
        if (it != ld.bySequence.end())
            r.requests[it->second].timedOut = true;
    } else if (ev == "link" && !l.Flag("up") && ld.Following()) {
        if (!Take(ld, sim::kMinFrameBytes, error))
            return false;
        ld.Following()->push_back({{}, TALVO_TYPE_LINK_LOST, *t, false});
        ld.current.reset(); // what comes next comes on another connection
        ld.currentEarly.reset();
    } else if (ev == "close") {
        ld.current.reset();
        ld.currentEarly.reset();
    }
    return true;
}

std::string Describe(const Replay &r, uint16_t cls, uint16_t cmd, uint32_t sequence) {
    std::string text = std::to_string(cls) + "/" + std::to_string(cmd);
    auto name = r.names.find({cls, cmd});
    if (name != r.names.end())
        text += " " + name->second;
    return text + " seq " + std::to_string(sequence);
}

void Say(Replay &r, std::string text) {
    if (r.messages.size() >= kMaxMessages)
        r.messages.erase(r.messages.begin());
    r.messages.push_back(std::move(text));
}

size_t FirstUnused(const Replay &r, Replay::Queue &q) {
    while (q.cursor < q.order.size() && r.requests[q.order[q.cursor]].used)
        ++q.cursor;
    return q.cursor < q.order.size() ? q.order[q.cursor] : SIZE_MAX;
}

} // namespace

bool Load(const std::string &path, size_t session, Replay *replay, std::string *error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f)
        return Fail(error, "cannot read " + path);
    Loader ld;
    ld.r = replay;
    std::string line;
    size_t number = 0;
    for (Read got; (got = ReadLine(f.get(), &line)) != Read::End;) {
        ++number;
        const bool inSession = replay->sessions == session;
        if (got == Read::TooLong) {
            replay->skippedLines += inSession;
            continue;
        }
        if (line.empty() || (!inSession && line.find("\"trace\"") == std::string::npos))
            continue;
        auto parsed = tools::ParseTraceLine(line);
        if (!parsed) {
            replay->skippedLines += inSession;
            continue;
        }
        if (parsed->Find("trace") != nullptr) {
            if (inSession)
                break; // the next session begins
            if (++replay->sessions == session && parsed->Text("format") != "1")
                return Fail(error, path + ": line " + std::to_string(number) + ": trace format " +
                                       parsed->Text("format", "(none)") + ", this program reads format 1");
            continue;
        }
        if (inSession) {
            std::string why;
            if (!Apply(ld, *parsed, &why))
                return Fail(error, path + ": line " + std::to_string(number) + ": " + why);
        }
    }
    if (replay->sessions < session)
        return Fail(error, path + " holds " + std::to_string(replay->sessions) + " trace session" +
                               (replay->sessions == 1 ? "" : "s") + ", not session " + std::to_string(session));
    // A request above the device's version is answered by its version report.
    for (size_t i = 0; i < replay->requests.size(); ++i) {
        const Request &q = replay->requests[i];
        if (q.version > replay->version)
            continue;
        Replay::Track &track = replay->tracks[{q.classId, q.commandId}];
        track.all.order.push_back(i);
        track.byBody[std::move(ld.bodies[i])].order.push_back(i);
    }
    return true;
}

void AnswerRequest(Replay &r, const uint8_t *f, size_t length, std::vector<sim::Outgoing> *out) {
    std::lock_guard<std::mutex> lk(r.m);
    if (length < sim::kMinFrameBytes)
        return;
    const uint16_t cls = Get16(f + kOffClass), cmd = Get16(f + kOffCommand);
    const uint32_t sequence = Get32(f + kOffSequence);
    const uint16_t from = Get16(f + kOffSource), to = Get16(f + kOffDestination);
    size_t pick = SIZE_MAX;
    auto track = r.tracks.find({cls, cmd});
    if (track != r.tracks.end()) {
        auto same = track->second.byBody.find(std::string(f + kOffBody, f + length));
        if (same != track->second.byBody.end())
            pick = FirstUnused(r, same->second);
        if (pick == SIZE_MAX)
            pick = FirstUnused(r, track->second.all);
    }
    if (pick == SIZE_MAX) {
        // Refused as the device refuses a request it cannot take.
        std::vector<uint8_t> ack(sim::kMinFrameBytes, 0);
        ack[kOffVersion] = r.version;
        std::copy(f + kOffClass, f + kOffClass + 4, ack.begin() + kOffClass);
        Put16(&ack[kOffDestination], from);
        Put16(&ack[kOffSource], to);
        Put16(&ack[kOffKind], kKindAck);
        Put32(&ack[kOffSequence], sequence);
        ack[kOffBody] = 1;
        out->push_back({std::move(ack), TALVO_TYPE_DATA, std::chrono::milliseconds(0)});
        Say(r, "replay: no recorded answer for " + Describe(r, cls, cmd, sequence) + " (refused)");
        return;
    }
    Request &q = r.requests[pick];
    q.used = true;
    bool answered = false;
    for (const Recorded &rec : q.sent) {
        sim::Outgoing o{rec.bytes, rec.type, std::chrono::milliseconds(0)};
        if (rec.answer) {
            // The request's own sequence, and the addresses as the device swaps them.
            Put16(&o.bytes[kOffDestination], from);
            Put16(&o.bytes[kOffSource], to);
            Put32(&o.bytes[kOffSequence], sequence);
            answered = true;
        } else {
            o.delay = std::chrono::milliseconds(std::llround(std::clamp(rec.t - q.anchor, 0.0, kMaxDelayMs)));
        }
        out->push_back(std::move(o));
    }
    if (!answered)
        Say(r, "replay: " + Describe(r, cls, cmd, sequence) + " went unanswered in the trace");
}

std::vector<std::string> TakeMessages(Replay &r) {
    std::lock_guard<std::mutex> lk(r.m);
    return std::exchange(r.messages, {});
}

} // namespace simreplay
