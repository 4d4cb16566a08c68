#include "tools/spphone-sim/console.h"

#include <cstdio>
#include <iterator>
#include <vector>

#include "tools/common/output.h"
#include "tools/common/parse.h"

namespace simconsole {

namespace {

using Words = std::vector<std::string>;

Reply Ok(std::string text = "ok") {
    Reply r;
    r.text = std::move(text);
    return r;
}

Reply Error(const std::string &text) {
    Reply r;
    r.ok = false;
    r.text = "error: " + text;
    return r;
}

// A number argument in [min, max], or an error reply naming what.
bool Number(const std::string &s, uint64_t min, uint64_t max, const char *what, uint64_t *out, Reply *error) {
    std::string why;
    auto v = tools::ParseUnsigned(s, max, &why);
    if (!v || *v < min) {
        *error = Error(std::string(what) + ": " +
                       (v ? "'" + s + "' is below " + std::to_string(min) : why));
        return false;
    }
    *out = *v;
    return true;
}

Reply Ring(Console &c, const Words &w) {
    if (w.size() != 2)
        return Error("usage: ring NUMBER");
    if (w[1].size() >= sim::kCallTextBytes)
        return Error("number: at most " + std::to_string(sim::kCallTextBytes - 1) + " characters");
    uint8_t id = sim::Ring(c.dev, w[1]);
    if (id == 0)
        return Error("two calls are live already");
    return Ok("ok call " + std::to_string(id) + " ringing");
}

Reply Answer(Console &c, const Words &w) {
    if (w.size() != 1)
        return Error("usage: answer");
    if (!sim::FarEndAnswer(c.dev))
        return Error("no dialled call waits for an answer");
    return Ok();
}

Reply Hangup(Console &c, const Words &w) {
    if (w.size() > 2)
        return Error("usage: hangup [CALL-ID]");
    uint64_t id = 0;
    Reply e;
    if (w.size() == 2 && !Number(w[1], 1, sim::kMaxCallId, "call id", &id, &e))
        return e;
    if (!sim::FarEndHangUp(c.dev, static_cast<uint8_t>(id)))
        return Error(id ? "no live call has that id" : "no live call");
    return Ok();
}

Reply CallState(Console &c, const Words &w) {
    uint64_t id = 0, state = 0;
    Reply e;
    if (w.size() != 3)
        return Error("usage: callstate CALL-ID STATE");
    if (!Number(w[1], 1, sim::kMaxCallId, "call id", &id, &e) || !Number(w[2], 0, 255, "state", &state, &e))
        return e;
    if (!sim::SetCallState(c.dev, static_cast<uint8_t>(id), static_cast<uint8_t>(state)))
        return Error("no live call has that id, or no event reports that state");
    return Ok();
}

Reply Key(Console &c, const Words &w) {
    if (w.size() < 2 || w.size() > 3)
        return Error("usage: key KEY [ACTION]");
    std::string why;
    auto key = tools::ParseKey(w[1], &why);
    if (!key)
        return Error(why);
    uint64_t action = 0;
    Reply e;
    if (w.size() == 3 && !Number(w[2], 0, 255, "action", &action, &e))
        return e;
    sim::PressKey(c.dev, *key, static_cast<uint8_t>(action));
    return Ok();
}

struct Wheel {
    const char *name;
    sim::VolumeRange range;
    bool (*turn)(sim::Device *, uint8_t);
};

constexpr Wheel kWheels[] = {
    {"ringer", sim::kRingerVolumes, sim::SetRingerVolume},
    {"receive", sim::kReceiveVolumes, sim::SetReceiveVolume},
    {"playback", sim::kPlaybackVolumes, sim::SetPlaybackVolume},
};

Reply Volume(Console &c, const Words &w) {
    if (w.size() != 3)
        return Error("usage: volume ringer|receive|playback N");
    for (const Wheel &wheel : kWheels) {
        if (w[1] != wheel.name)
            continue;
        uint64_t v = 0;
        Reply e;
        const std::string what = std::string(wheel.name) + " volume (" + std::to_string(wheel.range.min) + ".." +
                                 std::to_string(wheel.range.max) + ")";
        if (!Number(w[2], wheel.range.min, wheel.range.max, what.c_str(), &v, &e))
            return e;
        wheel.turn(c.dev, static_cast<uint8_t>(v));
        return Ok();
    }
    return Error("volume: ringer, receive or playback");
}

// An item's new value: hex:BYTES for any item, text for the wide (text)
// items, a little-endian number for the others. Without a value: shows it.
Reply Item(Console &c, const Words &w) {
    if (w.size() != 2 && w.size() != 3)
        return Error("usage: item ID [VALUE]   (a number, a text, or hex:BYTES)");
    uint64_t id = 0;
    Reply e;
    if (!Number(w[1], 0, 65535, "item id", &id, &e))
        return e;
    sim::DeviceState st = sim::Snapshot(c.dev);
    const sim::SystemItem *item = sim::FindItem(st, static_cast<uint16_t>(id));
    if (item == nullptr)
        return Error("the device stores no item " + std::to_string(id));
    if (w.size() == 2)
        return Ok("ok item " + std::to_string(id) + " width " + std::to_string(item->width) + " hex " +
                  tools::Hex(item->value.data(), item->width));
    std::vector<uint8_t> bytes;
    std::string why;
    if (w[2].rfind("hex:", 0) == 0 || item->width >= 32) {
        auto b = tools::ParseBytes(w[2], item->width, item->width, &why);
        if (!b)
            return Error("value: " + why);
        bytes = *b;
    } else {
        const uint64_t max = item->width >= 8 ? UINT64_MAX : (uint64_t{1} << (8 * item->width)) - 1;
        auto v = tools::ParseUnsigned(w[2], max, &why);
        if (!v)
            return Error("value: " + why);
        for (size_t k = 0; k < item->width; ++k)
            bytes.push_back(static_cast<uint8_t>(*v >> (8 * k)));
    }
    if (!sim::ChangeItem(c.dev, static_cast<uint16_t>(id), bytes.data(), bytes.size()))
        return Error("the device refused the item");
    return Ok();
}

Reply Raw(Console &c, const Words &w) {
    if (w.size() != 2)
        return Error("usage: raw DATA   (128 bytes: hex:BYTES or text)");
    std::string why;
    auto b = tools::ParseBytes(w[1], sim::kRawBlockBytes, sim::kRawBlockBytes, &why);
    if (!b)
        return Error(why);
    sim::SendRawData(c.dev, b->data());
    return Ok();
}

Reply Redraw(Console &c, const Words &w) {
    if (w.size() != 1)
        return Error("usage: redraw");
    sim::RedrawDisplay(c.dev);
    return Ok();
}

Reply Readiness(Console &c, const Words &w, uint8_t fallback) {
    if (w.size() > 2)
        return Error("usage: " + w[0] + " [STATUS]");
    uint64_t status = fallback;
    Reply e;
    if (w.size() == 2 && !Number(w[1], 0, 255, "status", &status, &e))
        return e;
    sim::SetStatus(c.dev, static_cast<uint8_t>(status), true);
    return Ok("ok status " + std::to_string(status));
}

// 12 is one of the statuses a device reports while not ready; 2 is ready.
Reply NotReady(Console &c, const Words &w) { return Readiness(c, w, 12); }
Reply Ready(Console &c, const Words &w) { return Readiness(c, w, 2); }

Reply Drop(Console &c, const Words &w) {
    if (w.size() != 1)
        return Error("usage: drop");
    sim::DropLink(c.dev);
    return Ok();
}

Reply Version(Console &c, const Words &w) {
    if (w.size() > 2)
        return Error("usage: version [0x10..0x30]");
    if (w.size() == 1) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "ok version 0x%02x", sim::Snapshot(c.dev).protocolVersion);
        return Ok(buf);
    }
    uint64_t v = 0;
    Reply e;
    if (!Number(w[1], 0x10, 0x30, "version", &v, &e))
        return e;
    sim::Update(c.dev, [v](sim::DeviceState &st) { st.protocolVersion = static_cast<uint8_t>(v); });
    return Ok();
}

Reply Notify(Console &c, const Words &w) {
    if (w.size() < 2 || w.size() > 3)
        return Error("usage: notify EVENT [hex:DATA]");
    uint64_t id = 0;
    Reply e;
    if (!Number(w[1], 0, 65535, "event", &id, &e))
        return e;
    std::vector<uint8_t> data;
    if (w.size() == 3) {
        std::string why;
        auto b = tools::ParseByteString(w[2], sim::kMaxFrameBytes - sim::kHeaderBytes, &why);
        if (!b)
            return Error(why);
        data = *b;
    }
    if (!sim::SendNotification(c.dev, static_cast<uint16_t>(id), data.data(), data.size()))
        return Error("not sent (no host, or the data is too long)");
    return Ok();
}

Reply Garbage(Console &c, const Words &w) {
    if (w.size() < 2 || w.size() > 3)
        return Error("usage: garbage COUNT [BYTE]");
    uint64_t n = 0, byte = 0xEE;
    Reply e;
    if (!Number(w[1], 1, 4096, "count", &n, &e) || (w.size() == 3 && !Number(w[2], 0, 255, "byte", &byte, &e)))
        return e;
    std::vector<uint8_t> bytes(n, static_cast<uint8_t>(byte));
    sim::SendRawBytes(c.dev, bytes.data(), bytes.size());
    return Ok();
}

// ---- faults ----

struct ActionName {
    const char *name;
    uint32_t bits;
};

constexpr ActionName kActions[] = {
    {"refuse", sim::kRefuse},
    {"fail", sim::kFail},
    {"drop-ack", sim::kDropAck},
    {"drop-response", sim::kDropResponse},
    {"no-answer", sim::kNoAnswer},
    {"delay", sim::kDelay},
    {"duplicate", sim::kDuplicate},
    {"wrong-sequence", sim::kWrongSequence},
    {"wrong-version", sim::kWrongVersion},
    {"garbage-before", sim::kGarbageBefore},
    {"garbage-after", sim::kGarbageAfter},
    {"split", sim::kSplit},
    {"merge", sim::kMerge},
    {"report-link", sim::kReportLink},
    {"fail-write", sim::kFailWrite},
    {"not-ready", sim::kNotReady},
    {"answer-anyway", sim::kAnswerAnyway},
};

std::string ActionList() {
    std::string s;
    for (const ActionName &a : kActions)
        s += std::string(s.empty() ? "" : ", ") + a.name;
    return s;
}

// "key=value" settings of a rule.
bool RuleSetting(sim::FaultRule &rule, const std::string &word, Reply *error) {
    const size_t eq = word.find('=');
    if (word == "oneway") {
        rule.includeOneWay = true;
        return true;
    }
    if (eq == std::string::npos) {
        *error = Error("fault: '" + word + "' is not key=value");
        return false;
    }
    const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    uint64_t v = 0;
    auto num = [&](uint64_t min, uint64_t max) { return Number(value, min, max, key.c_str(), &v, error); };
    if (key == "class" || key == "cmd" || key == "dest") {
        if (!num(0, 65535))
            return false;
        (key == "class" ? rule.classId : key == "cmd" ? rule.commandId : rule.destination) = static_cast<int>(v);
    } else if (key == "skip" || key == "count") {
        if (!num(0, UINT32_MAX))
            return false;
        (key == "skip" ? rule.skip : rule.count) = static_cast<uint32_t>(v);
    } else if (key == "ms") {
        std::string why;
        auto d = tools::ParseDuration(value.find_first_not_of("0123456789") == std::string::npos ? value + "ms" : value,
                                      &why);
        if (!d) {
            *error = Error("ms: " + why);
            return false;
        }
        rule.delayMs = static_cast<uint32_t>(d->count());
    } else if (key == "status") {
        if (!num(1, 255))
            return false;
        rule.refuseStatus = rule.failStatus = static_cast<uint8_t>(v);
    } else if (key == "offset") {
        if (!num(0, UINT32_MAX))
            return false;
        rule.sequenceOffset = static_cast<uint32_t>(v);
    } else if (key == "garbage") {
        if (!num(1, 4096))
            return false;
        rule.garbageBytes = v;
    } else if (key == "byte") {
        if (!num(0, 255))
            return false;
        rule.garbageByte = static_cast<uint8_t>(v);
    } else if (key == "chunk") {
        if (!num(1, 4096))
            return false;
        rule.chunkSize = v;
    } else if (key == "link") {
        if (!num(6, 7))
            return false;
        rule.linkType = static_cast<int32_t>(v);
    } else if (key == "notready") {
        if (!num(0, 255))
            return false;
        rule.notReadyStatus = static_cast<uint8_t>(v);
    } else if (key == "at") {
        if (!num(21, sim::kMaxFrameBytes - 1))
            return false;
        rule.patchAt = v;
    } else if (key == "patch") {
        std::string why;
        auto b = tools::ParseByteString(value, sim::kMaxFrameBytes - 21, &why);
        if (!b || b->empty()) {
            *error = Error("patch: " + (b ? std::string("give at least one byte") : why));
            return false;
        }
        rule.patch = *b;
    } else {
        *error = Error("fault: unknown setting '" + key +
                       "' (class, cmd, dest, skip, count, ms, status, offset, garbage, byte, chunk, link, notready, "
                       "at, patch, oneway)");
        return false;
    }
    return true;
}

std::string RuleText(const sim::FaultRule &r) {
    std::string actions;
    for (const ActionName &a : kActions)
        if ((r.actions & a.bits) == a.bits && a.bits != sim::kNoAnswer)
            actions += std::string(actions.empty() ? "" : "+") + a.name;
    auto any = [](int v) { return v < 0 ? std::string("any") : std::to_string(v); };
    std::string text = actions + " class=" + any(r.classId) + " cmd=" + any(r.commandId) +
                       " dest=" + any(r.destination) + " skip=" + std::to_string(r.skip) +
                       " count=" + std::to_string(r.count);
    if (!r.patch.empty())
        text += " at=" + std::to_string(r.patchAt) + " patch=hex:" + tools::Hex(r.patch.data(), r.patch.size());
    return text;
}

// A rule as it stands: what it still lets pass and how often it still applies.
std::string RuleLeftText(const sim::FaultRuleLeft &r) {
    std::string text = RuleText(r.rule) + " left=" + (r.rule.count == 0 ? "every" : std::to_string(r.usesLeft));
    if (r.skipLeft)
        text += " after=" + std::to_string(r.skipLeft);
    return text;
}

Reply Fault(Console &c, const Words &w) {
    if (w.size() < 2)
        return Error("usage: fault ACTION[+ACTION...] [key=value...] | fault opens N | fault clear | fault list");
    if (w[1] == "clear" && w.size() == 2) {
        c.plan = {};
        sim::ClearFaults(c.dev);
        return Ok();
    }
    if (w[1] == "list" && w.size() == 2) {
        const sim::FaultsLeft left = sim::GetFaultsLeft(c.dev);
        std::string text = "ok " + std::to_string(left.rules.size()) + " rules, " +
                           std::to_string(left.failOpens) + " failing opens";
        for (const sim::FaultRuleLeft &r : left.rules)
            text += "\n  " + RuleLeftText(r);
        return Ok(text);
    }
    if (w[1] == "opens") {
        uint64_t n = 0;
        Reply e;
        if (w.size() != 3 || !Number(w[2], 0, 1000000, "opens", &n, &e))
            return w.size() != 3 ? Error("usage: fault opens N") : e;
        c.plan.failOpens = static_cast<uint32_t>(n);
        sim::SetFailOpens(c.dev, c.plan.failOpens);
        return Ok();
    }
    sim::FaultRule rule;
    std::string actions = w[1];
    size_t start = 0;
    while (start <= actions.size()) {
        size_t end = actions.find('+', start);
        if (end == std::string::npos)
            end = actions.size();
        const std::string name = actions.substr(start, end - start);
        bool found = false;
        for (const ActionName &a : kActions) {
            if (name == a.name) {
                rule.actions |= a.bits;
                found = true;
            }
        }
        if (!found)
            return Error("fault: unknown action '" + name + "' (" + ActionList() + ")");
        start = end + 1;
    }
    for (size_t k = 2; k < w.size(); ++k) {
        Reply e;
        if (!RuleSetting(rule, w[k], &e))
            return e;
    }
    if (c.replay && rule.actions != sim::kFailWrite)
        return Error("fault: a replayed trace answers the requests; only fail-write applies");
    // Added behind what the earlier rules have left; their counts go on.
    c.plan.rules.push_back(rule);
    sim::AddFaultRule(c.dev, rule);
    return Ok("ok " + RuleText(rule));
}

// ---- looking at the device ----

// One line, so that scripts can read it as one reply.
Reply State(Console &c, const Words &w) {
    if (w.size() != 1)
        return Error("usage: state");
    const sim::DeviceState st = sim::Snapshot(c.dev);
    char head[200];
    std::snprintf(head, sizeof head,
                  "ok protocol 0x%02x status %u error %u ringer %u receive %u playback %u mute %u contacts %u "
                  "records %u key %u/%u",
                  st.protocolVersion, st.status, st.errorCode, st.ringerVolume, st.receiveVolume, st.playbackVolume,
                  st.mute, st.contactCount, st.recordCount, st.keyCode, st.keyAction);
    std::string text = head;
    for (const sim::Call &call : st.calls) {
        if (!call.live)
            continue;
        text += " | call " + std::to_string(call.id) + " state " + std::to_string(call.state) + " " +
                (call.outgoing ? "outgoing " : "incoming ") +
                tools::TextOf(call.text.data(), call.text.size());
    }
    return Ok(text);
}

Reply Display(Console &c, const Words &w) {
    if (w.size() != 1)
        return Error("usage: display");
    const sim::DeviceState st = sim::Snapshot(c.dev);
    std::string text = sim::DisplayText(st);
    std::string out = "ok";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out += "\n  " + text.substr(start, end - start);
        start = end + 1;
    }
    return Ok(out);
}

Reply Counters(Console &c, const Words &w) {
    if (w.size() != 1)
        return Error("usage: log");
    const sim::Counters n = sim::GetCounters(c.dev);
    auto u = [](uint64_t v) { return std::to_string(v); };
    return Ok("ok frames " + u(n.hostFrames) + " keepalives " + u(n.keepAlives) + " discarded " +
              u(n.discardedBytes) + " acks " + u(n.acks) + " responses " + u(n.responses) + " notifications " +
              u(n.notifications) + " faults " + u(n.faultsApplied) + " opens " + u(n.opens));
}

// ---- flow ----

Reply WaitHost(Console &, const Words &w) {
    if (w.size() > 2)
        return Error("usage: wait-host [TIMEOUT]");
    Reply r = Ok("");
    r.control = Control::WaitHost;
    r.duration = std::chrono::milliseconds(30000);
    if (w.size() == 2) {
        std::string why;
        auto d = tools::ParseDuration(w[1], &why);
        if (!d)
            return Error(why);
        r.duration = *d;
    }
    return r;
}

Reply Sleep(Console &, const Words &w) {
    std::string why;
    std::optional<std::chrono::milliseconds> d;
    if (w.size() != 2 || !(d = tools::ParseDuration(w[1], &why)))
        return Error(w.size() != 2 ? "usage: sleep DURATION" : why);
    Reply r = Ok("");
    r.control = Control::Sleep;
    r.duration = *d;
    return r;
}

Reply Quit(Console &, const Words &) {
    Reply r = Ok("ok bye");
    r.control = Control::Quit;
    return r;
}

Reply Help(Console &, const Words &) { return Ok(ConsoleHelp()); }

struct ConsoleCommand {
    const char *name;
    Reply (*run)(Console &, const Words &);
    const char *help;
};

constexpr ConsoleCommand kCommands[] = {
    {"ring", Ring, "ring NUMBER            an incoming call"},
    {"answer", Answer, "answer                 the far end answers the dialled call"},
    {"hangup", Hangup, "hangup [CALL-ID]       the far end hangs up (call ids 1..6)"},
    {"callstate", CallState, "callstate ID STATE     put a call into any state"},
    {"key", Key, "key KEY [ACTION]       a key pressed at the device"},
    {"volume", Volume, "volume ringer|receive|playback N   a volume wheel turned (0..3, 1..8, 1..8)"},
    {"item", Item, "item ID [VALUE]        a setting changed at the device (no value: show it)"},
    {"raw", Raw, "raw DATA               a raw 128-byte block from the device"},
    {"redraw", Redraw, "redraw                 redraw and report the display"},
    {"notready", NotReady, "notready [STATUS]      report a not-ready status (default 12)"},
    {"ready", Ready, "ready [STATUS]         report ready again (default 2)"},
    {"drop", Drop, "drop                   drop the link (the host reconnects)"},
    {"version", Version, "version [V]            show or set the protocol version (0x10..0x30)"},
    {"fault", Fault,
     "fault ACTION[+...] [class=N cmd=N count=N skip=N ms=N at=N patch=DATA ...] | opens N | list | clear"},
    {"notify", Notify, "notify EVENT [hex:DATA]  send any notification"},
    {"garbage", Garbage, "garbage COUNT [BYTE]   send bytes that are no frame"},
    {"state", State, "state                  what the device holds"},
    {"display", Display, "display                the display as text"},
    {"log", Counters, "log                    frame and answer counters"},
    {"wait-host", WaitHost, "wait-host [TIMEOUT]    hold the next lines until a host has connected and read the device"},
    {"sleep", Sleep, "sleep DURATION         hold the next lines for a while"},
    {"help", Help, "help                   this list"},
    {"quit", Quit, "quit                   stop the device"},
};

} // namespace

std::string ConsoleHelp() {
    std::string text = "ok commands:";
    for (const ConsoleCommand &c : kCommands)
        text += std::string("\n  ") + c.help;
    return text;
}

Reply RunLine(Console &console, const std::string &line) {
    Words words;
    if (!tools::SplitWords(line, &words))
        return Error("unterminated quote");
    if (words.empty() || words[0][0] == '#')
        return Ok("");
    if (words[0] == "exit")
        words[0] = "quit";
    if (console.replay && (words[0] == "state" || words[0] == "display" || (words[0] == "version" && words.size() > 1)))
        return Error(words[0] + ": the device answers from a trace, not from a state of its own");
    for (const ConsoleCommand &c : kCommands)
        if (words[0] == c.name)
            return c.run(console, words);
    return Error("unknown command '" + words[0] + "' (try help)");
}

} // namespace simconsole
