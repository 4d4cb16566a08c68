// spphone trace: reads a protocol trace line by line and prints each event
// for people (or, with --json, passes the selected lines through as they
// are), pairing each request with its answers by sequence and addresses the
// way the library matches them, then sums the selection up. Whatever the file
// holds, memory stays bounded: a line is at most tools::kMaxTraceLine bytes,
// and what is kept across lines is capped below.
#include "tools/spphone/trace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "morelapi.h"
#include "tools/common/parse.h"
#include "tools/common/trace_line.h"
#include "tools/spphone/items.h"

namespace spphone {

namespace {

// Requests still waiting for their answer, and answers waiting for their
// request's line; beyond this many of either the oldest is forgotten (its
// partner then shows without a round trip).
constexpr size_t kMaxOpen = 4096;
// Round trips kept for the medians: every one up to these counts, then a
// uniform sample of that size (the worst is always exact).
constexpr size_t kMaxSample = 100000;
constexpr size_t kMaxCommandSample = 1000;
// Rows of the summary; the requests of any further command share one row.
constexpr size_t kMaxCommands = 1024;
// Bad lines named on stderr; further ones are only counted.
constexpr uint64_t kMaxBadShown = 100;
// The class of every notification from the device; its command is the event id.
constexpr uint64_t kEventClass = 16;

// The device's notifications the library knows. A frame's event id (its
// command) first..last reaches the application as the event code
// code..code + (last - first), which names it as watch names it; call events
// by the state their code stands for.
struct EventRange {
    uint16_t first, last, code;
    const char *name;
};

constexpr EventRange kEvents[] = {
    {0x0002, 0x0002, MORELAPI_EVENT_RAW_DATA, "raw-data"},
    {0x0104, 0x0104, MORELAPI_EVENT_KEY, "key"},
    {0x0106, 0x0106, MORELAPI_EVENT_DISPLAY, "display"},
    {0x0107, 0x0107, MORELAPI_EVENT_RINGER_VOLUME, "ringer-volume"},
    {0x0108, 0x0108, MORELAPI_EVENT_RECEIVE_VOLUME, "receive-volume"},
    {0x0109, 0x0109, MORELAPI_EVENT_PLAYBACK_VOLUME, "playback-volume"},
    {0x0111, 0x0117, 0x0111, "signal"},
    {0x0121, 0x0128, 0x0121, "signal"},
    {0x0131, 0x0132, 0x0131, "signal"},
    {0x0141, 0x0142, 0x0161, "signal"},
    {0x0201, 0x020A, 0x0201, "call"},
    {0x020B, 0x020D, 0x0210, "call"},
    {0x020E, 0x020E, 0x0213, "call"},
    {0x020F, 0x0212, 0x020C, "call"},
    {0x0213, 0x0217, 0x0214, "call"},
    {0x0218, 0x0218, 0x0219, "call"},
    {0x0219, 0x021E, 0x021A, "call"},
    {0x0301, 0x0301, MORELAPI_EVENT_SYSTEM_DATA, "item"},
    {0x0401, 0x0402, 0x0401, "contacts"},
    {0x0501, 0x0503, 0x0501, "records"},
    {0x0601, 0x060A, 0x0601, "recorder"},
    {0x0701, 0x0701, 0x0701, "rtcp"},
    {0x0801, 0x0804, 0x0141, "signal"},
    {0x0900, 0x0901, 0x0151, "signal"},
    {0x0902, 0x0904, 0x0145, "signal"},
};

std::string Hex(uint64_t v, int digits) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return hex;
}

// "0x020c call ended here", "0x0104 key": the event code the application
// sees and its name; "" for an event id the library does not know.
std::string EventName(uint64_t id) {
    for (const EventRange &r : kEvents) {
        if (id < r.first || id > r.last)
            continue;
        const uint32_t code = static_cast<uint32_t>(r.code + (id - r.first));
        const int state = CallStateOfEvent(code);
        return Hex(code, 4) + " " + r.name + (state >= 0 ? " " + CallStateName(static_cast<uint8_t>(state)) : "");
    }
    return "";
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

enum Dir { kTx, kRx, kStep };

struct CommandFilter {
    std::string name; // a name, or empty for the numbers
    uint64_t classId = 0;
    std::optional<uint64_t> command; // none: every command of the class
};

struct Filter {
    std::vector<CommandFilter> commands; // any of them; empty: every line
    bool dirs[3] = {true, true, true};
    double from = -std::numeric_limits<double>::infinity();
    double to = std::numeric_limits<double>::infinity();
};

// One event line as the filters and the printer see it.
struct Event {
    std::string ev;
    double t = 0;
    Dir dir = kStep;
    bool hasCommand = false; // class and command known
    bool event = false;      // a notification: its command is the event id
    uint64_t classId = 0, command = 0;
    std::string name;      // the command's name, or "event 0xCCNN"
    std::string eventName; // "0x020c call ended here": a notification as the application sees it
};

bool Selected(const Filter &f, const Event &e) {
    if (!f.dirs[e.dir] || e.t < f.from || e.t > f.to)
        return false;
    if (f.commands.empty())
        return true;
    if (!e.hasCommand)
        return false;
    for (const CommandFilter &c : f.commands) {
        if (!c.name.empty()) {
            // An event by its code, its name or the first word of it ("call").
            const std::string_view label = e.eventName;
            const size_t space = label.find(' ');
            const std::string_view rest = space == label.npos ? "" : label.substr(space + 1);
            if (SameName(c.name, e.name) || (!label.empty() && (SameName(c.name, label.substr(0, space)) ||
                                                                SameName(c.name, rest) ||
                                                                SameName(c.name, rest.substr(0, rest.find(' '))))))
                return true;
        } else if (c.classId == e.classId && (!c.command || *c.command == e.command)) {
            return true;
        }
    }
    return false;
}

// Round trips: all up to cap, then a uniform sample (reservoir) of cap.
struct Sample {
    std::vector<double> kept;
    uint64_t seen = 0;
    double worst = 0;
};

void AddSample(Sample &s, double v, size_t cap, uint64_t *rng) {
    s.worst = s.seen == 0 ? v : std::max(s.worst, v);
    ++s.seen;
    if (s.kept.size() < cap) {
        s.kept.push_back(v);
        return;
    }
    *rng = *rng * 6364136223846793005ull + 1442695040888963407ull; // fixed seed: the same file prints the same
    const uint64_t j = (*rng >> 11) % s.seen;
    if (j < cap)
        s.kept[j] = v;
}

double Median(std::vector<double> v) {
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2 != 0)
        return upper;
    return (upper + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid))) / 2;
}

struct CommandStats {
    std::string name;
    uint64_t requests = 0, answered = 0, timeouts = 0;
    Sample rtt;
};

using RequestKey = std::tuple<uint64_t, uint64_t, uint64_t>; // seq, dst, src of the request

// Records by request, oldest first: at most kMaxOpen, the oldest forgotten.
template <typename V>
struct KeyedFifo {
    using Items = std::list<std::pair<RequestKey, V>>;
    Items items;
    std::map<RequestKey, typename Items::iterator> index;

    V *Find(const RequestKey &k) {
        auto it = index.find(k);
        return it == index.end() ? nullptr : &it->second->second;
    }
    V &Put(const RequestKey &k, V v) {
        Erase(k);
        if (items.size() >= kMaxOpen) {
            const RequestKey oldest = items.front().first;
            Erase(oldest);
        }
        items.emplace_back(k, std::move(v));
        index[k] = std::prev(items.end());
        return items.back().second;
    }
    void Erase(const RequestKey &k) {
        if (auto it = index.find(k); it != index.end()) {
            items.erase(it->second);
            index.erase(it);
        }
    }
    void Clear() {
        items.clear();
        index.clear();
    }
};

struct Request {
    uint64_t classId, command;
    double t;
};

// Answers whose request has no line yet. The library writes a request's line
// once its write has returned, so a quick device's answer can come first.
struct EarlyAnswer {
    std::optional<double> ack, closing; // their times
    bool closingSelected = false;
};

struct Reader {
    Filter filter;
    bool json = false;
    std::string file; // as named in messages
    // Pairing within the session.
    KeyedFifo<Request> open;
    KeyedFifo<EarlyAnswer> early;
    bool linkUp = false;
    uint64_t sessions = 0;
    bool columnsShown = false;
    bool formatNamed = false; // an unknown format was named on stderr
    // The summary of the selected lines.
    std::map<std::pair<uint64_t, uint64_t>, CommandStats> commands;
    CommandStats others;
    Sample rtt;
    uint64_t rng = 1;
    uint64_t timeouts = 0, drops = 0, discarded = 0, lost = 0, unmatched = 0, bad = 0;
    std::string out;
};

void Bad(Reader &r, uint64_t lineNo, const std::string &why) {
    if (++r.bad <= kMaxBadShown)
        std::fprintf(stderr, "spphone: %s:%llu: bad trace line: %s\n", r.file.c_str(),
                     static_cast<unsigned long long>(lineNo), why.c_str());
    if (r.bad == kMaxBadShown + 1)
        std::fprintf(stderr, "spphone: %s: more bad trace lines, counted in the summary only\n", r.file.c_str());
}

CommandStats &StatsOf(Reader &r, const Event &e) {
    auto it = r.commands.find({e.classId, e.command});
    if (it == r.commands.end()) {
        if (r.commands.size() >= kMaxCommands)
            return r.others;
        it = r.commands.emplace(std::make_pair(e.classId, e.command), CommandStats{e.name, 0, 0, 0, {}}).first;
    }
    return it->second;
}

// Appends s to the row padded to width (right-aligned when negative) and a
// gap; control characters show as '?', so that an event stays one line.
void Cell(std::string &row, std::string_view s, int width) {
    std::string text(s);
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    const size_t w = static_cast<size_t>(std::abs(width));
    const std::string pad(text.size() < w ? w - text.size() : 0, ' ');
    row += width < 0 ? pad + text : text + pad;
    row += "  ";
}

std::string Ms(double ms) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.3f", ms);
    return buf;
}

void Columns(Reader &r) {
    std::string row;
    for (auto [text, width] : {std::pair{"time ms", -12}, {"", 2}, {"kind", 13}, {"cmd", 9}, {"name", 24},
                               {"seq", -6}, {"status", -6}, {"len", -5}})
        Cell(row, text, width);
    row += "round trip\n";
    r.out += row;
    r.columnsShown = true;
}

// A line's own words for the steps of the library and what it gives up on.
std::string Describe(const tools::TraceLine &l, const Event &e, bool drop) {
    const std::string handle = l.Text("handle", "?");
    const auto version = [&](const char *key) {
        const auto v = l.Unsigned(key);
        return v ? Hex(*v, 2) : std::string("?");
    };
    if (e.ev == "open")
        return l.Text("rc") == "0" ? "transport opened, handle " + handle
                                   : "transport open failed, rc " + l.Text("rc", "?");
    if (e.ev == "close")
        return "transport closed, handle " + handle;
    if (e.ev == "startup" && l.Text("phase") == "begin")
        return "start-up begins at protocol version " + version("version");
    if (e.ev == "startup")
        return std::string(l.Flag("ok") ? "start-up done" : "start-up failed") + " after " +
               l.Text("requests", "?") + " requests, protocol version " + version("version");
    if (e.ev == "version")
        return "protocol version " + version("from") + " -> " + version("to");
    if (e.ev == "backoff")
        return "next attempt in " + l.Text("ms", "?") + " ms";
    if (e.ev == "link")
        return l.Flag("up") ? "link up" : drop ? "link down (dropped)" : "link down";
    if (e.ev == "flush")
        return "bad header: " + l.Text("dropped", "?") + " bytes dropped";
    if (e.ev == "chunk")
        return "received chunk of " + l.Text("dropped", "?") + " bytes dropped";
    if (e.ev == "lost")
        return l.Text("lines", "?") + " trace lines lost here";
    if (e.ev == "end")
        return "end of the trace";
    std::string fields; // a line of a kind this reader does not know: its fields as they are
    for (const auto &[key, value] : l.fields)
        if (key != "t" && key != "ev")
            fields += (fields.empty() ? "" : " ") + key + "=" + value;
    return fields;
}

// A round trip as the last column shows it. A request's line has the time its
// write began, before any answer; a trace written otherwise shows no figure.
std::string RoundTrip(double ms) { return ms >= 0 ? Ms(ms) + " ms" : "-"; }

// What the last column says of a line with a command, other than its pairing.
std::string Note(const tools::TraceLine &l, const Event &e) {
    if (e.ev == "tx" && l.Text("rc", "0") != "0")
        return "write failed, rc " + l.Text("rc");
    if (e.ev == "unmatched")
        return l.Text("kind", "answer") + " that matches no request";
    if (e.ev == "queue-full")
        return "dropped at the full event queue";
    if (e.ev == "unknown-event")
        return "an event the library does not know";
    if (e.ev == "timeout")
        return l.Text("reason") == "link" ? "released at the link's loss" : "no answer";
    return "";
}

void PrintEvent(Reader &r, const tools::TraceLine &l, const Event &e, const std::string &note, bool drop) {
    if (!r.columnsShown)
        Columns(r);
    std::string row;
    Cell(row, Ms(e.t), -12);
    Cell(row, e.dir == kTx ? "->" : e.dir == kRx ? "<-" : "--", 2);
    Cell(row, e.dir != kStep ? l.Text("kind", "?") : e.ev, 13);
    if (!e.hasCommand) {
        row += Describe(l, e, drop);
    } else {
        Cell(row, std::to_string(e.classId) + "/" + (e.event ? Hex(e.command, 4) : std::to_string(e.command)), 9);
        Cell(row, e.eventName.empty() ? e.name : e.eventName, 24);
        Cell(row, l.Text("seq"), -6);
        Cell(row, l.Text("status"), -6);
        Cell(row, l.Text("len"), -5);
        row += note;
    }
    while (!row.empty() && row.back() == ' ')
        row.pop_back();
    r.out += row + "\n";
}

void StartSession(Reader &r, const tools::TraceLine &l, uint64_t lineNo) {
    r.open.Clear();
    r.early.Clear();
    r.linkUp = false;
    ++r.sessions;
    if (auto format = l.Unsigned("format"); (!format || *format != 1) && !r.formatNamed) {
        std::fprintf(stderr, "spphone: %s:%llu: trace format %s, read as format 1\n", r.file.c_str(),
                     static_cast<unsigned long long>(lineNo), l.Text("format", "missing").c_str());
        r.formatNamed = true; // once: the file is read all the same
    }
    if (r.json)
        return;
    if (r.sessions > 1)
        r.out += "\n";
    r.out += "--- session " + std::to_string(r.sessions) + ": started " + l.Text("start", "?") + ", pid " +
             l.Text("pid", "?") + " ---\n";
    r.columnsShown = false;
    Columns(r);
}

// Fills e from the line; false (with why) for a line that lacks what its kind needs.
bool ReadEvent(const tools::TraceLine &l, Event *e, std::string *why) {
    e->ev = l.Text("ev");
    const auto t = l.Number("t");
    if (e->ev.empty() || !t || !std::isfinite(*t)) {
        *why = "no \"ev\" or no time \"t\"";
        return false;
    }
    e->t = *t;
    e->dir = e->ev == "tx" ? kTx : e->ev == "rx" ? kRx : kStep;
    e->name = l.Text("name");
    const auto classId = l.Unsigned("class"), command = l.Unsigned("command");
    if (classId && command) {
        e->hasCommand = true;
        e->classId = *classId;
        e->command = *command;
        e->event = l.Text("kind") == "notification" && *classId == kEventClass;
    } else if (const std::string *id = l.Find("id")) {
        // A notification the library dropped, by its event id.
        const auto v = tools::ParseUnsigned(*id, 0xffff);
        if (!v) {
            *why = "\"id\" is no event id";
            return false;
        }
        e->hasCommand = e->event = true;
        e->classId = kEventClass;
        e->command = *v;
        e->name = "event " + Hex(*v, 4);
    }
    const bool needsCommand = e->dir != kStep || e->ev == "timeout" || e->ev == "unmatched";
    if (needsCommand && (!e->hasCommand || !l.Unsigned("seq"))) {
        *why = "\"" + e->ev + "\" without class, command or seq";
        return false;
    }
    if (e->event)
        e->eventName = EventName(e->command);
    return true;
}

void Count(Reader &r, const Event &e, double rtt) {
    CommandStats &s = StatsOf(r, e);
    ++s.answered;
    if (rtt < 0)
        return;
    AddSample(s.rtt, rtt, kMaxCommandSample, &r.rng);
    AddSample(r.rtt, rtt, kMaxSample, &r.rng);
}

void Take(Reader &r, const std::string &raw, const tools::TraceLine &l, uint64_t lineNo) {
    if (l.Find("trace") != nullptr) {
        StartSession(r, l, lineNo);
        if (r.json)
            r.out += raw + "\n";
        return;
    }
    Event e;
    std::string why;
    if (!ReadEvent(l, &e, &why)) {
        Bad(r, lineNo, why);
        return;
    }
    // Pairing sees every line; the filters decide what is printed and counted.
    const bool selected = Selected(r.filter, e);
    const std::string kind = l.Text("kind");
    const uint64_t seq = l.Unsigned("seq").value_or(0);
    const uint64_t dst = l.Unsigned("dst").value_or(0), src = l.Unsigned("src").value_or(0);
    std::string note = e.hasCommand ? Note(l, e) : "";
    std::optional<double> answered; // the round trip of a request this line ends
    bool drop = false;
    if (e.ev == "tx" && kind == "request") {
        const RequestKey key{seq, dst, src};
        const EarlyAnswer *a = r.early.Find(key);
        if (a != nullptr) {
            note = "answered above: " + RoundTrip(*(a->closing ? a->closing : a->ack) - e.t);
            if (a->closing && a->closingSelected)
                Count(r, e, *a->closing - e.t);
        }
        if (a == nullptr || !a->closing)
            r.open.Put(key, Request{e.classId, e.command, e.t});
        r.early.Erase(key);
    } else if (e.ev == "rx" && (kind == "ack" || kind == "response")) {
        // The answer comes from the request's destination, back to its source.
        const RequestKey key{seq, src, dst};
        // A response ends the request; so does an ack that refuses it.
        const bool closes = kind == "response" || l.Text("status", "0") != "0";
        if (const Request *q = r.open.Find(key)) {
            note = RoundTrip(e.t - q->t);
            if (closes) {
                answered = e.t - q->t;
                r.open.Erase(key);
            }
        } else {
            EarlyAnswer *a = r.early.Find(key);
            if (a == nullptr)
                a = &r.early.Put(key, EarlyAnswer{});
            (closes ? a->closing : a->ack) = e.t;
            a->closingSelected = a->closingSelected || (closes && selected);
        }
    } else if (e.ev == "timeout") {
        auto &items = r.open.items;
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            if (std::get<0>(it->first) == seq && it->second.classId == e.classId && it->second.command == e.command) {
                note += " after " + Ms(e.t - it->second.t) + " ms";
                r.open.Erase(RequestKey(it->first));
                break;
            }
        }
    } else if (e.ev == "link") {
        drop = r.linkUp && !l.Flag("up");
        r.linkUp = l.Flag("up");
    }
    if (!selected)
        return;
    if (r.json)
        r.out += raw + "\n";
    else
        PrintEvent(r, l, e, note, drop);

    if (e.ev == "tx" && kind == "request")
        ++StatsOf(r, e).requests;
    if (answered)
        Count(r, e, *answered);
    if (e.ev == "timeout") {
        ++StatsOf(r, e).timeouts;
        ++r.timeouts;
    }
    r.unmatched += e.ev == "unmatched";
    r.drops += drop;
    if (e.ev == "flush" || e.ev == "chunk")
        r.discarded += l.Unsigned("dropped").value_or(0);
    if (e.ev == "lost")
        r.lost += l.Unsigned("lines").value_or(0);
}

void SummaryRow(std::string &out, const std::string &name, const std::string &cmd, const CommandStats &s) {
    std::string row = "  ";
    Cell(row, name, 24);
    Cell(row, cmd, 7);
    Cell(row, std::to_string(s.requests), -8);
    Cell(row, std::to_string(s.answered), -8);
    Cell(row, std::to_string(s.timeouts), -9);
    Cell(row, s.rtt.seen ? Ms(Median(s.rtt.kept)) : "-", -10);
    Cell(row, s.rtt.seen ? Ms(s.rtt.worst) : "-", -10);
    while (row.back() == ' ')
        row.pop_back();
    out += row + "\n";
}

void Summary(Reader &r) {
    r.out += r.sessions > 0 ? "\nsummary\n" : "summary\n";
    std::string head = "  ";
    for (auto [text, width] : {std::pair{"command", 24}, {"cmd", 7}, {"requests", -8}, {"answered", -8},
                               {"time-outs", -9}, {"median ms", -10}, {"worst ms", -10}})
        Cell(head, text, width);
    while (head.back() == ' ')
        head.pop_back();
    r.out += head + "\n";
    CommandStats all;
    for (const auto &[key, s] : r.commands) {
        SummaryRow(r.out, s.name.empty() ? "?" : s.name, std::to_string(key.first) + "/" + std::to_string(key.second),
                   s);
        all.requests += s.requests;
        all.answered += s.answered;
        all.timeouts += s.timeouts;
    }
    if (r.others.requests + r.others.answered + r.others.timeouts > 0) {
        SummaryRow(r.out, "(further commands)", "", r.others);
        all.requests += r.others.requests;
        all.answered += r.others.answered;
        all.timeouts += r.others.timeouts;
    }
    all.rtt = std::move(r.rtt);
    SummaryRow(r.out, "all", "", all);
    r.out += "time-outs " + std::to_string(r.timeouts) + ", link drops " + std::to_string(r.drops) +
             ", discarded bytes " + std::to_string(r.discarded) + ", lost trace lines " + std::to_string(r.lost) +
             ", unmatched answers " + std::to_string(r.unmatched) + ", bad lines " + std::to_string(r.bad) + "\n";
}

void Flush(Reader &r) {
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    r.out.clear();
}

// Reads one line without its '\n', keeping at most kMaxTraceLine bytes of it
// (*tooLong: more were skipped). False at the end of the input.
bool ReadLine(FILE *in, std::string *line, bool *tooLong) {
    line->clear();
    *tooLong = false;
    int c = 0;
    bool any = false;
    while ((c = getc_unlocked(in)) != EOF) {
        any = true;
        if (c == '\n')
            return true;
        if (line->size() < tools::kMaxTraceLine)
            line->push_back(static_cast<char>(c));
        else
            *tooLong = true;
    }
    return any;
}

bool TakeAll(Ctx &ctx, const char *name, std::vector<std::string> *values) {
    for (;;) {
        std::string value;
        bool present = false;
        if (!TakeOption(ctx, name, &value, &present))
            return false;
        if (!present)
            return true;
        values->push_back(value);
    }
}

bool Refuse(Ctx &ctx, const std::string &message) {
    Usage(ctx, message);
    return false;
}

bool ParseFilter(Ctx &ctx, Filter *f) {
    std::vector<std::string> commands, classes, dirs, from, to;
    if (!TakeAll(ctx, "--command", &commands) || !TakeAll(ctx, "--class", &classes) ||
        !TakeAll(ctx, "--dir", &dirs) || !TakeAll(ctx, "--from", &from) || !TakeAll(ctx, "--to", &to))
        return false;
    std::string why;
    for (const std::string &c : commands) {
        const size_t slash = c.find('/');
        if (slash == std::string::npos) {
            if (c.empty())
                return Refuse(ctx, "--command: give CLASS/COMMAND or a name");
            f->commands.push_back({c, 0, std::nullopt});
            continue;
        }
        const auto classId = tools::ParseUnsigned(std::string_view(c).substr(0, slash), 0xffff, &why);
        const auto command = classId ? tools::ParseUnsigned(std::string_view(c).substr(slash + 1), 0xffff, &why)
                                     : std::nullopt;
        if (!command)
            return Refuse(ctx, "--command: " + why);
        f->commands.push_back({"", *classId, *command});
    }
    for (const std::string &c : classes) {
        const auto classId = tools::ParseUnsigned(c, 0xffff, &why);
        if (!classId)
            return Refuse(ctx, "--class: " + why);
        f->commands.push_back({"", *classId, std::nullopt});
    }
    if (!dirs.empty())
        std::fill(std::begin(f->dirs), std::end(f->dirs), false);
    for (const std::string &list : dirs) {
        for (size_t start = 0; start <= list.size();) {
            const size_t comma = std::min(list.find(',', start), list.size());
            const std::string d = list.substr(start, comma - start);
            if (d != "tx" && d != "rx" && d != "step")
                return Refuse(ctx, "--dir: '" + d + "' is not tx, rx or step");
            f->dirs[d == "tx" ? kTx : d == "rx" ? kRx : kStep] = true;
            start = comma + 1;
        }
    }
    for (auto [values, bound] : {std::pair{&from, &f->from}, {&to, &f->to}}) {
        if (values->size() > 1)
            return Refuse(ctx, "--from and --to are given once each");
        if (values->empty())
            continue;
        char *end = nullptr;
        const std::string &v = values->front();
        *bound = std::strtod(v.c_str(), &end);
        if (v.empty() || end != v.c_str() + v.size() || !std::isfinite(*bound) || *bound < 0)
            return Refuse(ctx, "--from, --to: '" + v + "' is no time in milliseconds");
    }
    if (f->from > f->to)
        return Refuse(ctx, "--from is after --to");
    return true;
}

} // namespace

int RunTrace(Ctx &ctx) {
    Reader r;
    r.json = ctx.json;
    if (!ParseFilter(ctx, &r.filter) || !ArgCount(ctx, 1, 1, kTraceUsage))
        return kUsage;
    if (ctx.shell)
        return Usage(ctx, "trace: run it outside the shell");
    const std::string &path = ctx.args[0];
    r.file = path == "-" ? "stdin" : path;
    FILE *in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return Usage(ctx, "trace: cannot read " + path + ": " + std::strerror(errno));
    std::string raw, why;
    bool tooLong = false;
    for (uint64_t lineNo = 1; ReadLine(in, &raw, &tooLong); ++lineNo) {
        if (tooLong) {
            Bad(r, lineNo, "longer than " + std::to_string(tools::kMaxTraceLine) + " bytes");
            continue;
        }
        if (raw.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (auto line = tools::ParseTraceLine(raw, &why))
            Take(r, raw, *line, lineNo);
        else
            Bad(r, lineNo, why);
        if (r.out.size() >= (1 << 16))
            Flush(r);
    }
    const int readError = std::ferror(in) ? errno : 0;
    if (in != stdin)
        std::fclose(in);
    if (!r.json && readError == 0)
        Summary(r);
    Flush(r);
    ctx.printed = true;
    if (readError != 0)
        return Usage(ctx, "trace: cannot read " + path + ": " + std::strerror(readError));
    return kOk;
}

} // namespace spphone
