// Device control commands: status and identity, keys and display, calls,
// audio settings.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

#include "morelapi.h"
#include "tools/common/output.h"
#include "tools/common/parse.h"
#include "tools/spphone/commands.h"
#include "tools/spphone/events.h"
#include "tools/spphone/items.h"

namespace spphone {

using tools::Add;
using tools::MakeStr;
using tools::MakeUint;

namespace {

std::string HexNumber(uint64_t v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

// ---- status and identity ----

int Status(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "status"))
        return kUsage;
    uint8_t status = 0, status2 = 0;
    if (int rc = DeviceCall(ctx, "GetSPphoneStatus2", [&] { return GetSPphoneStatus2(&status, &status2); }))
        return rc;
    // ErrorCode answers 0 both for "no error" and for a failed request.
    uint16_t error = ErrorCode();
    Add(ctx.result, "available", tools::MakeBool(IsSPphoneAvailable() == 1));
    Add(ctx.result, "status", MakeUint(status));
    Add(ctx.result, "status2", MakeUint(status2));
    Add(ctx.result, "errorCode", MakeUint(error));
    Add(ctx.result, "productDefault", tools::MakeBool(IsProductDefault() == 1));
    return kOk;
}

int Versions(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "versions"))
        return kUsage;
    tools::Value list = tools::MakeArray();
    for (uint8_t which = 0; which < 3; ++which) {
        uint16_t v = 0;
        if (int rc = DeviceCall(ctx, "GetVersionSpeakerphone", [&] { return GetVersionSpeakerphone(which, &v); }))
            return rc;
        Add(list, "", MakeStr(HexNumber(v, 4)));
    }
    uint8_t cti = 0;
    if (int rc = DeviceCall(ctx, "GetCTIVersion", [&] { return GetCTIVersion(&cti); }))
        return rc;
    Add(ctx.result, "device", list);
    Add(ctx.result, "protocol", MakeStr(HexNumber(cti, 2)));
    char lib[32];
    std::snprintf(lib, sizeof lib, "%d.%d.%d", MORELAPI_VERSION_MAJOR, MORELAPI_VERSION_MINOR,
                  MORELAPI_VERSION_PATCH);
    Add(ctx.result, "library", MakeStr(lib));
    return kOk;
}

int Network(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 1, "network [ITEM 1..7]"))
        return kUsage;
    uint64_t first = 1, last = 7;
    if (ctx.args.size() == 1) {
        if (!ArgNumber(ctx, 0, 7, "item", &first))
            return kUsage;
        if (first == 0)
            return Usage(ctx, "item: give 1..7");
        last = first;
    }
    tools::Value list = tools::MakeArray();
    for (uint64_t item = first; item <= last; ++item) {
        uint8_t buf[6] = {};
        if (int rc = DeviceCall(ctx, "GetIPnetworkInfo",
                                [&] { return GetIPnetworkInfo(static_cast<uint8_t>(item), buf); }))
            return rc;
        tools::Value e = tools::MakeObject();
        Add(e, "item", MakeUint(item));
        if (item == 1) {
            Add(e, "hex", MakeStr(tools::Hex(buf, 6)));
            Add(e, "value", MakeUint(tools::Le32(buf)));
            Add(e, "value2", MakeUint(tools::Le16(buf + 4)));
        } else {
            Add(e, "hex", MakeStr(tools::Hex(buf, 4)));
            Add(e, "value", MakeUint(tools::Le32(buf)));
        }
        Add(list, "", e);
    }
    if (first == last)
        ctx.result = list.items[0];
    else
        Add(ctx.result, "items", list);
    return kOk;
}

int Destination(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "destination"))
        return kUsage;
    uint8_t code = 0;
    uint16_t value = 0;
    if (int rc = DeviceCall(ctx, "GetDestination", [&] { return GetDestination(&code, &value); }))
        return rc;
    Add(ctx.result, "code", MakeUint(code));
    Add(ctx.result, "value", MakeUint(value));
    return kOk;
}

int Entries(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "entries"))
        return kUsage;
    uint8_t table[MORELAPI_UNICODE_TABLE_BYTES] = {};
    uint8_t count = 0;
    if (int rc = DeviceCall(ctx, "ActiveUnicode", [&] { return ActiveUnicode(table, &count); }))
        return rc;
    const size_t shown = count < 10 ? count : 10; // the buffer holds 10 entries
    Add(ctx.result, "count", MakeUint(count));
    tools::Value list = tools::MakeArray();
    for (size_t k = 0; k < shown; ++k) {
        const uint8_t *e = table + k * MORELAPI_UNICODE_ENTRY_BYTES;
        tools::Value entry = tools::MakeObject();
        Add(entry, "index", MakeUint(k + 1));
        std::string text = tools::Utf16AsciiText(e, MORELAPI_UNICODE_ENTRY_BYTES);
        if (text.empty() && tools::LooksLikeText(e, MORELAPI_UNICODE_ENTRY_BYTES))
            text = tools::TextOf(e, MORELAPI_UNICODE_ENTRY_BYTES);
        if (!text.empty())
            Add(entry, "text", MakeStr(text));
        Add(entry, "hex", MakeStr(tools::Hex(e, MORELAPI_UNICODE_ENTRY_BYTES)));
        Add(list, "", entry);
    }
    Add(ctx.result, "entries", list);
    return kOk;
}

int Reboot(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "reboot"))
        return kUsage;
    if (int rc = DeviceCall(ctx, "Reboot", [] { return ::Reboot(); }))
        return rc;
    return Done(ctx);
}

// ---- keys and display ----

int Key(Ctx &ctx) {
    std::string action, hold;
    bool hasAction = false, hasHold = false;
    if (!TakeOption(ctx, "--action", &action, &hasAction) || !TakeOption(ctx, "--hold", &hold, &hasHold))
        return kUsage;
    const bool down = TakeFlag(ctx, "--down");
    const bool up = TakeFlag(ctx, "--up");
    if (!ArgCount(ctx, 0, 1, "key [KEY [--down | --up | --action N | --hold DURATION]]"))
        return kUsage;
    if (ctx.args.empty()) {
        if (hasAction || hasHold || down || up)
            return Usage(ctx, "key: name the key to press");
        uint8_t code = 0, act = 0;
        if (int rc = DeviceCall(ctx, "GetKey", [&] { return GetKey(&code, &act); }))
            return rc;
        // The library keeps the last key the device reported to this
        // process; before one, it answers zeros.
        if (!SeenEvent(MORELAPI_EVENT_KEY))
            return Fail(ctx, kNothingYet,
                        "GetKey: no key reported yet (the library keeps the last key the device reported to this "
                        "process; spphone shell or watch show them)");
        ctx.result = KeyValue(code, act);
        return kOk;
    }
    if (int(hasAction) + int(hasHold) + int(down) + int(up) > 1)
        return Usage(ctx, "key: give at most one of --down, --up, --action, --hold");
    std::string why;
    auto key = tools::ParseKey(ctx.args[0], &why);
    if (!key)
        return Usage(ctx, why);
    auto press = [&](uint8_t a) { return DeviceCall(ctx, "SetKey", [&] { return SetKey(*key, a); }); };
    if (hasHold) {
        auto d = tools::ParseDuration(hold, &why);
        if (!d)
            return Usage(ctx, "--hold: " + why);
        if (int rc = press(1))
            return rc;
        std::this_thread::sleep_for(*d);
        if (int rc = press(2))
            return rc;
        return Done(ctx);
    }
    // The library times a press between its down and its up and sends it
    // on the up: both must come from one library, which a one-shot command
    // does not outlive.
    if ((down || up) && !ctx.shell)
        return Usage(ctx, std::string("key: ") + (down ? "--down" : "--up") +
                              " needs the library to live on until the other half; use --hold DURATION, or "
                              "--down and --up in spphone shell");
    uint8_t a = 0;
    if (down)
        a = 1;
    else if (up)
        a = 2;
    else if (hasAction) {
        auto v = tools::ParseUnsigned(action, 255, &why);
        if (!v)
            return Usage(ctx, "--action: " + why);
        a = static_cast<uint8_t>(*v);
    }
    // The shell's library holds a press from its --down to its --up; an up
    // without a down is refused by the library, not by the device.
    static bool held[256] = {};
    if (up && !held[*key])
        return Usage(ctx, "key: " + ctx.args[0] + " is not held down (key " + ctx.args[0] + " --down first)");
    if (int rc = press(a))
        return rc;
    if (down || up)
        held[*key] = down;
    return Done(ctx);
}

int Display(Ctx &ctx) {
    const bool hexOnly = TakeFlag(ctx, "--hex");
    const bool textOnly = TakeFlag(ctx, "--text");
    if (!ArgCount(ctx, 0, 0, "display [--hex | --text]"))
        return kUsage;
    uint8_t image[MORELAPI_DISPLAY_BYTES] = {};
    if (int rc = DeviceCall(ctx, "GetLCDdata", [&] { return GetLCDdata(image); }))
        return rc;
    // The text as watch shows a display event: one line, " | " between the
    // display's lines.
    const std::string text = DisplayLine(image, sizeof image);
    if (ctx.json) {
        if (!hexOnly)
            Add(ctx.result, "text", MakeStr(text));
        if (!textOnly)
            Add(ctx.result, "hex", MakeStr(tools::Hex(image, sizeof image)));
        return kOk;
    }
    if (!hexOnly)
        ctx.text += text + "\n";
    if (!hexOnly && !textOnly)
        ctx.text += "\n";
    if (!textOnly)
        ctx.text += tools::HexDump(image, sizeof image);
    return kOk;
}

// ---- calls ----

int CallDial(Ctx &ctx) {
    std::string p1, p2;
    bool has1 = false, has2 = false;
    if (!TakeOption(ctx, "--param1", &p1, &has1) || !TakeOption(ctx, "--param2", &p2, &has2))
        return kUsage;
    if (!ArgCount(ctx, 1, 1, "call dial NUMBER [--param1 N] [--param2 N]"))
        return kUsage;
    std::string why;
    uint8_t param1 = 0, param2 = 0;
    if (has1) {
        auto v = tools::ParseUnsigned(p1, 255, &why);
        if (!v)
            return Usage(ctx, "--param1: " + why);
        param1 = static_cast<uint8_t>(*v);
    }
    if (has2) {
        auto v = tools::ParseUnsigned(p2, 255, &why);
        if (!v)
            return Usage(ctx, "--param2: " + why);
        param2 = static_cast<uint8_t>(*v);
    }
    auto number = tools::ParseBytes(ctx.args[0], MORELAPI_CALL_TEXT_BYTES, MORELAPI_CALL_TEXT_BYTES - 1, &why);
    if (!number)
        return Usage(ctx, "number: " + why);
    if (int rc = DeviceCall(ctx, "MakeCall", [&] { return MakeCall(param1, param2, number->data()); }))
        return rc;
    return Done(ctx);
}

// "no such call N" when the device holds no call of that id (asked after
// the device refused a request naming it).
std::string NoSuchCall(uint8_t id) {
    uint8_t state = 0;
    uint8_t text[MORELAPI_CALL_TEXT_BYTES] = {};
    uint32_t value = 0;
    if (id != 0 && (!GetCallInfo(id, &state, text, &value) || state == 0))
        return "no such call " + std::to_string(id);
    return "";
}

int CallParamVerb(Ctx &ctx, const char *usage, const char *what, int(MORELAPI_CALL *fn)(uint8_t), bool isCallId) {
    if (!ArgCount(ctx, 0, 1, usage))
        return kUsage;
    uint64_t param = 0;
    if (!ctx.args.empty() && !ArgNumber(ctx, 0, 255, isCallId ? "call id" : "parameter", &param))
        return kUsage;
    const uint8_t p = static_cast<uint8_t>(param);
    if (int rc = DeviceCall(ctx, what, [&] { return fn(p); }, nullptr,
                            [&] { return isCallId ? NoSuchCall(p) : std::string(); }))
        return rc;
    return Done(ctx);
}

int CallPlainVerb(Ctx &ctx, const char *usage, const char *what, int(MORELAPI_CALL *fn)()) {
    if (!ArgCount(ctx, 0, 0, usage))
        return kUsage;
    if (int rc = DeviceCall(ctx, what, [&] { return fn(); }))
        return rc;
    return Done(ctx);
}

int CallEnd(Ctx &ctx) { return CallParamVerb(ctx, "call end [CALL-ID]", "EndCall", EndCall, true); }
int CallHold(Ctx &ctx) { return CallParamVerb(ctx, "call hold [PARAM]", "HoldOperate", HoldOperate, false); }
int CallAnswer(Ctx &ctx) { return CallPlainVerb(ctx, "call answer", "AnswerCall", AnswerCall); }
int CallReject(Ctx &ctx) { return CallPlainVerb(ctx, "call reject", "RejectCall", RejectCall); }
int CallJoin(Ctx &ctx) { return CallPlainVerb(ctx, "call join", "JoinCall", JoinCall); }
int CallConference(Ctx &ctx) {
    return CallPlainVerb(ctx, "call conference", "InviteConference", InviteConference);
}

tools::Value CallValue(uint8_t id, uint8_t state, const uint8_t *text, uint32_t value) {
    tools::Value v = tools::MakeObject();
    Add(v, "id", MakeUint(id));
    Add(v, "state", MakeUint(state));
    Add(v, "stateName", MakeStr(CallStateName(state)));
    Add(v, "text", MakeStr(tools::TextOf(text, MORELAPI_CALL_TEXT_BYTES)));
    Add(v, "value", MakeUint(value));
    return v;
}

int CallInfo(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 1, "call info [CALL-ID]"))
        return kUsage;
    uint64_t only = 0;
    if (!ctx.args.empty() && !ArgNumber(ctx, 0, 255, "call id", &only))
        return kUsage;
    tools::Value list = tools::MakeArray();
    // Without an id: every id the device hands out (1..6), those in a state.
    for (uint64_t id = only ? only : 1; id <= (only ? only : 6); ++id) {
        uint8_t state = 0;
        uint8_t text[MORELAPI_CALL_TEXT_BYTES] = {};
        uint32_t value = 0;
        if (int rc = DeviceCall(
                ctx, "GetCallInfo", [&] { return GetCallInfo(static_cast<uint8_t>(id), &state, text, &value); },
                nullptr, [&] { return "no such call " + std::to_string(id); }))
            return rc;
        if (only || state != 0)
            Add(list, "", CallValue(static_cast<uint8_t>(id), state, text, value));
    }
    if (only)
        ctx.result = list.items[0];
    else
        Add(ctx.result, "calls", list);
    return kOk;
}

constexpr Verb kCallVerbs[] = {
    {"dial", CallDial},   {"answer", CallAnswer}, {"reject", CallReject},         {"hold", CallHold},
    {"join", CallJoin},   {"end", CallEnd},       {"conference", CallConference}, {"info", CallInfo},
};

int Call(Ctx &ctx) { return RunVerb(ctx, "call", kCallVerbs, std::size(kCallVerbs), nullptr); }

// ---- audio settings ----

int AudioShow(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "audio"))
        return kUsage;
    uint8_t ringer = 0, receive = 0, slow = 0, enhancer = 0;
    if (int rc = DeviceCall(ctx, "GetRingerVol", [&] { return GetRingerVol(&ringer); }))
        return rc;
    if (int rc = DeviceCall(ctx, "GetReceiveVol", [&] { return GetReceiveVol(&receive); }))
        return rc;
    if (int rc = DeviceCall(ctx, "GetSlowTalk", [&] { return GetSlowTalk(&slow); }))
        return rc;
    if (int rc = DeviceCall(ctx, "GetSoundEnhancer", [&] { return GetSoundEnhancer(&enhancer); }))
        return rc;
    Add(ctx.result, "ringer", MakeUint(ringer));
    Add(ctx.result, "receive", MakeUint(receive));
    Add(ctx.result, "slowtalk", MakeUint(slow));
    Add(ctx.result, "enhancer", MakeUint(enhancer));
    return kOk;
}

// A setting with a getter (cache or device) and a setter of a value from a
// small accepted set.
struct AudioSetting {
    const char *name;
    const char *getName;
    int(MORELAPI_CALL *get)(uint8_t *);
    const char *setName;
    int(MORELAPI_CALL *set)(uint8_t);
    const char *accepted; // for the usage message
    bool (*ok)(uint64_t);
};

int RunAudioSetting(Ctx &ctx, const AudioSetting &s) {
    std::string usage = std::string("audio ") + s.name + " [" + s.accepted + "]";
    if (!ArgCount(ctx, 0, 1, usage.c_str()))
        return kUsage;
    if (ctx.args.empty()) {
        uint8_t v = 0;
        if (int rc = DeviceCall(ctx, s.getName, [&] { return s.get(&v); }))
            return rc;
        Add(ctx.result, s.name, MakeUint(v));
        return kOk;
    }
    uint64_t v = 0;
    if (!ArgNumber(ctx, 0, 255, s.name, &v))
        return kUsage;
    if (!s.ok(v))
        return Usage(ctx, std::string(s.name) + ": give " + s.accepted);
    if (int rc = DeviceCall(ctx, s.setName, [&] { return s.set(static_cast<uint8_t>(v)); }))
        return rc;
    return Done(ctx);
}

const AudioSetting kRinger{"ringer", "GetRingerVol", GetRingerVol, "SetRingerVol", SetRingerVol, "0..3",
                           [](uint64_t v) { return v <= 3; }};
const AudioSetting kReceive{"receive", "GetReceiveVol", GetReceiveVol, "SetReceiverVol", SetReceiverVol, "1..8",
                            [](uint64_t v) { return v >= 1 && v <= 8; }};
const AudioSetting kSlowTalk{"slowtalk", "GetSlowTalk", GetSlowTalk, "SetSlowTalk", SetSlowTalk, "0, 2 or 3",
                             [](uint64_t v) { return v == 0 || v == 2 || v == 3; }};
const AudioSetting kEnhancer{"enhancer", "GetSoundEnhancer", GetSoundEnhancer, "SetSoundEnhancer",
                             SetSoundEnhancer, "0..2", [](uint64_t v) { return v <= 2; }};

int AudioRinger(Ctx &ctx) { return RunAudioSetting(ctx, kRinger); }
int AudioReceive(Ctx &ctx) { return RunAudioSetting(ctx, kReceive); }
int AudioSlowTalk(Ctx &ctx) { return RunAudioSetting(ctx, kSlowTalk); }
int AudioEnhancer(Ctx &ctx) { return RunAudioSetting(ctx, kEnhancer); }

int AudioMute(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 1, "audio mute on|off"))
        return kUsage;
    auto on = tools::ParseSwitch(ctx.args[0]);
    if (!on)
        return Usage(ctx, "mute: give on or off");
    if (int rc = DeviceCall(ctx, "SetMute", [&] { return SetMute(*on ? 1 : 0); }))
        return rc;
    return Done(ctx);
}

constexpr Verb kAudioVerbs[] = {
    {"show", AudioShow},         {"mute", AudioMute},         {"ringer", AudioRinger},
    {"receive", AudioReceive},   {"slowtalk", AudioSlowTalk}, {"enhancer", AudioEnhancer},
};

int Audio(Ctx &ctx) { return RunVerb(ctx, "audio", kAudioVerbs, std::size(kAudioVerbs), "show"); }

constexpr Command kCommands[] = {
    {"status", "status", "device status, second status, error code, factory-settings flag", Status},
    {"versions", "versions", "device versions, protocol version, library version", Versions},
    {"network", "network [ITEM]", "network items 1..7 (item 1: 6 bytes, others 32-bit)", Network},
    {"destination", "destination", "destination code and value", Destination},
    {"entries", "entries", "the table of 44-byte entries", Entries},
    {"key", "key [KEY [--down | --up | --action N | --hold 1.2s]]",
     "press a key (short press by default); without KEY: the last key the device reported", Key},
    {"display", "display [--hex | --text]", "the 721-byte display image as text and as a hex dump", Display},
    {"call", "call dial NUMBER | answer | reject | hold [P] | join | conference | end [ID] | info [ID]",
     "call control and call information", Call},
    {"audio", "audio [mute on|off | ringer [0..3] | receive [1..8] | slowtalk [0|2|3] | enhancer [0..2]]",
     "audio settings (without a verb: all of them)", Audio},
    {"reboot", "reboot", "restart the device", Reboot},
};

} // namespace

const Command *DeviceCommands(size_t *count) {
    *count = std::size(kCommands);
    return kCommands;
}

} // namespace spphone
