// Data service commands: system data items, contacts, recorder, network
// camera and operating mode, RTCP, raw data.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

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

// ---- system data ----

// The value of an item as people read it: text items as text, items of 1, 2
// or 4 bytes as a number, other widths as hex.
tools::Value ItemValue(const ItemInfo &item, const uint8_t *bytes) {
    tools::Value v = tools::MakeObject();
    Add(v, "id", MakeUint(item.id));
    Add(v, "width", MakeUint(item.width));
    if (item.width == 0) {
        Add(v, "action", tools::MakeBool(true));
        return v;
    }
    if (item.text)
        Add(v, "value", MakeStr(tools::TextOf(bytes, item.width)));
    else if (item.width == 1)
        Add(v, "value", MakeUint(bytes[0]));
    else if (item.width == 2)
        Add(v, "value", MakeUint(tools::Le16(bytes)));
    else if (item.width == 4)
        Add(v, "value", MakeUint(tools::Le32(bytes)));
    Add(v, "hex", MakeStr(tools::Hex(bytes, item.width)));
    return v;
}

bool ItemArg(Ctx &ctx, size_t index, const ItemInfo **item) {
    uint64_t id = 0;
    if (!ArgNumber(ctx, index, 65535, "item id", &id))
        return false;
    *item = FindItemInfo(static_cast<uint16_t>(id));
    if (*item == nullptr) {
        Usage(ctx, "item " + std::to_string(id) + " is not a setting the library knows (see: spphone item list)");
        return false;
    }
    return true;
}

int ItemGet(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 1, "item get ID"))
        return kUsage;
    const ItemInfo *item = nullptr;
    if (!ItemArg(ctx, 0, &item))
        return kUsage;
    uint8_t buf[129] = {};
    if (int rc = DeviceCall(ctx, "GetSystemData", [&] { return GetSystemData(item->id, buf); }))
        return rc;
    ctx.result = ItemValue(*item, buf);
    return kOk;
}

// The bytes of a value for an item: text for text items, a number for
// numeric ones, "hex:..." for any.
bool ItemBytes(Ctx &ctx, const ItemInfo &item, const std::string &arg, std::vector<uint8_t> *out) {
    std::string why;
    if (item.text || arg.rfind("hex:", 0) == 0) {
        auto bytes = tools::ParseBytes(arg, item.width, item.width, &why);
        if (!bytes) {
            Usage(ctx, "value: " + why);
            return false;
        }
        *out = *bytes;
        return true;
    }
    const uint64_t max = item.width >= 8 ? UINT64_MAX : (uint64_t{1} << (8 * item.width)) - 1;
    auto v = tools::ParseUnsigned(arg, max, &why);
    if (!v) {
        Usage(ctx, "value: " + why);
        return false;
    }
    out->assign(item.width, 0);
    for (size_t k = 0; k < item.width; ++k)
        (*out)[k] = static_cast<uint8_t>(*v >> (8 * k));
    return true;
}

int ItemSet(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 2, "item set ID [VALUE | hex:BYTES]"))
        return kUsage;
    const ItemInfo *item = nullptr;
    if (!ItemArg(ctx, 0, &item))
        return kUsage;
    std::vector<uint8_t> bytes(1, 0);
    if (item->width == 0) {
        if (ctx.args.size() != 1)
            return Usage(ctx, "item " + std::to_string(item->id) + " is an action and takes no value");
    } else {
        if (ctx.args.size() != 2)
            return Usage(ctx, "item set " + std::to_string(item->id) + ": give the value");
        if (!ItemBytes(ctx, *item, ctx.args[1], &bytes))
            return kUsage;
    }
    if (int rc = DeviceCall(ctx, "SetSystemData", [&] { return SetSystemData(item->id, bytes.data()); }))
        return rc;
    return Done(ctx);
}

int ItemChanged(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "item changed"))
        return kUsage;
    uint16_t id = 0;
    uint8_t buf[129] = {};
    if (int rc = Connect(ctx))
        return rc;
    // The library answers from what the device last reported to this
    // process; before a report it has nothing, which is no refusal.
    if (!GetChangedSystemData(&id, buf)) {
        if (!IsSPphoneAvailable())
            return Fail(ctx, kNoDevice, "GetChangedSystemData: no device (the link is down)");
        return Fail(ctx, kNothingYet,
                    "GetChangedSystemData: no change reported yet (the library keeps the last setting the device "
                    "reported changed to this process; spphone shell or watch show them)");
    }
    const ItemInfo *item = FindItemInfo(id);
    if (item == nullptr) { // cannot happen: the library refuses unknown ids
        Add(ctx.result, "id", MakeUint(id));
        return kOk;
    }
    ctx.result = ItemValue(*item, buf);
    return kOk;
}

int ItemList(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "item list"))
        return kUsage;
    size_t count = 0;
    const ItemInfo *items = Items(&count);
    tools::Value list = tools::MakeArray();
    for (size_t k = 0; k < count; ++k) {
        if (items[k].width == 0)
            continue;
        uint8_t buf[129] = {};
        if (int rc = DeviceCall(ctx, "GetSystemData", [&] { return GetSystemData(items[k].id, buf); }))
            return rc;
        Add(list, "", ItemValue(items[k], buf));
    }
    if (ctx.json) {
        Add(ctx.result, "items", list);
        return kOk;
    }
    for (const tools::Value &v : list.items) {
        const tools::Value *value = tools::Find(v, "value");
        const tools::Value *hex = tools::Find(v, "hex");
        std::string shown = value ? (value->kind == tools::Value::Str ? "\"" + value->s + "\"" : tools::ToText(*value))
                                  : "hex:" + hex->s;
        while (!shown.empty() && shown.back() == '\n')
            shown.pop_back();
        char head[32];
        std::snprintf(head, sizeof head, "%5llu  %3llu  ", static_cast<unsigned long long>(tools::Find(v, "id")->u),
                      static_cast<unsigned long long>(tools::Find(v, "width")->u));
        ctx.text += head + shown + "\n";
    }
    return kOk;
}

constexpr Verb kItemVerbs[] = {
    {"get", ItemGet}, {"set", ItemSet}, {"changed", ItemChanged}, {"list", ItemList},
};

int Item(Ctx &ctx) { return RunVerb(ctx, "item", kItemVerbs, std::size(kItemVerbs), nullptr); }

// ---- contacts ----

tools::Value ContactValue(unsigned index, const uint8_t *data1, uint8_t byte, const uint8_t *data2) {
    tools::Value v = tools::MakeObject();
    Add(v, "index", MakeUint(index));
    Add(v, "data1", MakeStr(tools::TextOf(data1, MORELAPI_CONTACT_DATA1_BYTES)));
    Add(v, "byte", MakeUint(byte));
    Add(v, "data2", MakeStr(tools::TextOf(data2, MORELAPI_CONTACT_DATA2_BYTES)));
    return v;
}

int ContactCount(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "contact count"))
        return kUsage;
    uint8_t count = 0;
    if (int rc = DeviceCall(ctx, "GetContactCount", [&] { return GetContactCount(&count); }))
        return rc;
    Add(ctx.result, "count", MakeUint(count));
    return kOk;
}

// What the device refused when a request named contact (or recording)
// index: "no such contact 9 (the device has 3)" when index is beyond the
// count it reports now.
std::string NoSuch(const char *thing, int(MORELAPI_CALL *count)(uint8_t *), uint64_t index) {
    uint8_t n = 0;
    if (index == 255 || !count(&n) || index <= n)
        return "";
    return std::string("no such ") + thing + " " + std::to_string(index) + " (the device has " + std::to_string(n) + ")";
}

int ReadContact(Ctx &ctx, unsigned index, tools::Value *out) {
    uint8_t data1[MORELAPI_CONTACT_DATA1_BYTES] = {};
    uint8_t data2[MORELAPI_CONTACT_DATA2_BYTES] = {};
    uint8_t byte = 0;
    if (int rc = DeviceCall(
            ctx, "GetContact", [&] { return GetContact(static_cast<uint8_t>(index), data1, &byte, data2); }, nullptr,
            [&] { return NoSuch("contact", GetContactCount, index); }))
        return rc;
    *out = ContactValue(index, data1, byte, data2);
    return kOk;
}

int ContactList(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "contact list"))
        return kUsage;
    uint8_t count = 0;
    if (int rc = DeviceCall(ctx, "GetContactCount", [&] { return GetContactCount(&count); }))
        return rc;
    tools::Value list = tools::MakeArray();
    // The library holds contacts 1..100; a larger count cannot be read.
    for (unsigned index = 1; index <= count && index <= 100; ++index) {
        tools::Value c;
        if (int rc = ReadContact(ctx, index, &c))
            return rc;
        Add(list, "", c);
    }
    Add(ctx.result, "count", MakeUint(count));
    Add(ctx.result, "contacts", list);
    return kOk;
}

int ContactGet(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 1, "contact get INDEX"))
        return kUsage;
    uint64_t index = 0;
    if (!ArgNumber(ctx, 0, 100, "index", &index))
        return kUsage;
    if (index == 0)
        return Usage(ctx, "index: give 1..100");
    return ReadContact(ctx, static_cast<unsigned>(index), &ctx.result);
}

int ContactSet(Ctx &ctx) {
    if (!ArgCount(ctx, 3, 3, "contact set DATA1 BYTE DATA2   (texts, or hex:BYTES)"))
        return kUsage;
    std::string why;
    auto data1 = tools::ParseBytes(ctx.args[0], MORELAPI_CONTACT_DATA1_BYTES, MORELAPI_CONTACT_DATA1_BYTES - 1, &why);
    if (!data1)
        return Usage(ctx, "DATA1: " + why);
    uint64_t byte = 0;
    if (!ArgNumber(ctx, 1, 255, "BYTE", &byte))
        return kUsage;
    auto data2 = tools::ParseBytes(ctx.args[2], MORELAPI_CONTACT_DATA2_BYTES, MORELAPI_CONTACT_DATA2_BYTES - 1, &why);
    if (!data2)
        return Usage(ctx, "DATA2: " + why);
    const uint8_t b = static_cast<uint8_t>(byte);
    int64_t answer = 0;
    // SetContact answers the device's byte, 0 when the request failed.
    if (int rc = DeviceCall(ctx, "SetContact", [&] { return SetContact(data1->data(), &b, data2->data()); }, &answer))
        return rc;
    Add(ctx.result, "ok", tools::MakeBool(true));
    Add(ctx.result, "answer", MakeUint(static_cast<uint64_t>(answer)));
    return kOk;
}

int ContactDelete(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 1, "contact delete INDEX|all"))
        return kUsage;
    uint64_t index = 255;
    if (ctx.args[0] != "all") {
        if (!ArgNumber(ctx, 0, 100, "index", &index))
            return kUsage;
        if (index == 0)
            return Usage(ctx, "index: give 1..100 or all");
    }
    if (int rc = DeviceCall(
            ctx, "DeleteContact", [&] { return DeleteContact(static_cast<uint8_t>(index)); }, nullptr,
            [&] { return NoSuch("contact", GetContactCount, index); }))
        return rc;
    return Done(ctx);
}

constexpr Verb kContactVerbs[] = {
    {"list", ContactList}, {"count", ContactCount}, {"get", ContactGet},
    {"set", ContactSet},   {"delete", ContactDelete},
};

int Contact(Ctx &ctx) { return RunVerb(ctx, "contact", kContactVerbs, std::size(kContactVerbs), "list"); }

// ---- recorder ----

bool RecordIndex(Ctx &ctx, const char *usage, uint64_t *index) {
    if (!ArgCount(ctx, 1, 1, usage))
        return false;
    if (!ArgNumber(ctx, 0, 100, "recording", index))
        return false;
    if (*index == 0) {
        Usage(ctx, "recording: give 1..100");
        return false;
    }
    return true;
}

int ReadRecord(Ctx &ctx, unsigned index, tools::Value *out) {
    uint8_t a[8] = {};
    uint8_t b[12] = {};
    uint32_t value = 0;
    if (int rc = DeviceCall(
            ctx, "GetRecordInfo", [&] { return GetRecordInfo(static_cast<uint8_t>(index), a, &value, b); }, nullptr,
            [&] { return NoSuch("recording", GetRecordCount, index); }))
        return rc;
    tools::Value v = tools::MakeObject();
    Add(v, "index", MakeUint(index));
    tools::Value ga = tools::MakeArray();
    Add(ga, "", MakeUint(tools::Le32(a)));
    Add(ga, "", MakeUint(tools::Le16(a + 4)));
    Add(ga, "", MakeUint(a[6]));
    tools::Value gb = tools::MakeArray();
    Add(gb, "", MakeUint(tools::Le32(b)));
    Add(gb, "", MakeUint(tools::Le32(b + 4)));
    Add(gb, "", MakeUint(tools::Le16(b + 8)));
    Add(gb, "", MakeUint(b[10]));
    Add(v, "groupA", ga);
    Add(v, "value", MakeUint(value));
    Add(v, "groupB", gb);
    *out = v;
    return kOk;
}

int RecCount(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "rec count"))
        return kUsage;
    uint8_t count = 0;
    if (int rc = DeviceCall(ctx, "GetRecordCount", [&] { return GetRecordCount(&count); }))
        return rc;
    Add(ctx.result, "count", MakeUint(count));
    return kOk;
}

int RecList(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "rec list"))
        return kUsage;
    uint8_t count = 0;
    if (int rc = DeviceCall(ctx, "GetRecordCount", [&] { return GetRecordCount(&count); }))
        return rc;
    tools::Value list = tools::MakeArray();
    for (unsigned index = 1; index <= count && index <= 100; ++index) {
        tools::Value r;
        if (int rc = ReadRecord(ctx, index, &r))
            return rc;
        Add(list, "", r);
    }
    Add(ctx.result, "count", MakeUint(count));
    Add(ctx.result, "recordings", list);
    return kOk;
}

int RecInfo(Ctx &ctx) {
    uint64_t index = 0;
    if (!RecordIndex(ctx, "rec info INDEX", &index))
        return kUsage;
    return ReadRecord(ctx, static_cast<unsigned>(index), &ctx.result);
}

int RecDelete(Ctx &ctx) {
    if (ctx.args.size() == 1 && ctx.args[0] == "all") {
        if (int rc = DeviceCall(ctx, "DeleteAllRecords", [] { return DeleteAllRecords(); }))
            return rc;
        return Done(ctx);
    }
    uint64_t index = 0;
    if (!RecordIndex(ctx, "rec delete INDEX|all", &index))
        return kUsage;
    if (int rc = DeviceCall(
            ctx, "DeleteRecord", [&] { return DeleteRecord(static_cast<uint8_t>(index)); }, nullptr,
            [&] { return NoSuch("recording", GetRecordCount, index); }))
        return rc;
    return Done(ctx);
}

int RecPlay(Ctx &ctx) {
    uint64_t index = 0;
    if (!RecordIndex(ctx, "rec play INDEX", &index))
        return kUsage;
    if (int rc = DeviceCall(
            ctx, "StartPlayback", [&] { return StartPlayback(static_cast<uint8_t>(index)); }, nullptr,
            [&] { return NoSuch("recording", GetRecordCount, index); }))
        return rc;
    return Done(ctx);
}

int RecPlain(Ctx &ctx, const char *usage, const char *what, int(MORELAPI_CALL *fn)()) {
    if (!ArgCount(ctx, 0, 0, usage))
        return kUsage;
    if (int rc = DeviceCall(ctx, what, [&] { return fn(); }))
        return rc;
    return Done(ctx);
}

int RecStart(Ctx &ctx) { return RecPlain(ctx, "rec start", "StartRecording", StartRecording); }
int RecStop(Ctx &ctx) { return RecPlain(ctx, "rec stop", "StopRecording", StopRecording); }
int RecStopPlay(Ctx &ctx) { return RecPlain(ctx, "rec stop-play", "StopPlayback", StopPlayback); }
int RecPause(Ctx &ctx) { return RecPlain(ctx, "rec pause", "PausePlayback", PausePlayback); }

int RecResume(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 1, "rec resume [VALUE]"))
        return kUsage;
    uint64_t value = 0;
    if (!ctx.args.empty() && !ArgNumber(ctx, 0, UINT32_MAX, "value", &value))
        return kUsage;
    if (int rc = DeviceCall(ctx, "ResumePlayback", [&] { return ResumePlayback(static_cast<uint32_t>(value)); }))
        return rc;
    return Done(ctx);
}

int RecPosition(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "rec pos"))
        return kUsage;
    uint32_t pos = 0;
    if (int rc = DeviceCall(ctx, "GetCurrentPlaybackPos", [&] { return GetCurrentPlaybackPos(&pos); }))
        return rc;
    Add(ctx.result, "position", MakeUint(pos));
    return kOk;
}

int RecVolume(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 1, "rec volume [1..8]"))
        return kUsage;
    if (ctx.args.empty()) {
        uint8_t v = 0;
        if (int rc = DeviceCall(ctx, "GetPlaybackVol", [&] { return GetPlaybackVol(&v); }))
            return rc;
        Add(ctx.result, "volume", MakeUint(v));
        return kOk;
    }
    uint64_t v = 0;
    if (!ArgNumber(ctx, 0, 8, "volume", &v))
        return kUsage;
    if (v == 0)
        return Usage(ctx, "volume: give 1..8");
    if (int rc = DeviceCall(ctx, "SetPlaybackVol", [&] { return SetPlaybackVol(static_cast<uint8_t>(v)); }))
        return rc;
    return Done(ctx);
}

int RecStatus(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "rec status"))
        return kUsage;
    uint32_t status = 0;
    if (int rc = DeviceCall(ctx, "GetRecordOpStatus", [&] { return GetRecordOpStatus(&status); }))
        return rc;
    Add(ctx.result, "status", MakeUint(status));
    return kOk;
}

constexpr Verb kRecVerbs[] = {
    {"list", RecList},       {"count", RecCount},   {"info", RecInfo},       {"delete", RecDelete},
    {"start", RecStart},     {"stop", RecStop},     {"play", RecPlay},       {"stop-play", RecStopPlay},
    {"pause", RecPause},     {"resume", RecResume}, {"pos", RecPosition},    {"volume", RecVolume},
    {"status", RecStatus},
};

int Rec(Ctx &ctx) { return RunVerb(ctx, "rec", kRecVerbs, std::size(kRecVerbs), "list"); }

// ---- network camera and operating mode ----

int CameraGet(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "camera [get]"))
        return kUsage;
    uint32_t v1 = 0, v4 = 0;
    uint16_t v2 = 0, v5 = 0;
    uint8_t v3 = 0;
    uint8_t t1[MORELAPI_CAMERA_TEXT_BYTES] = {}, t2[MORELAPI_CAMERA_TEXT_BYTES] = {};
    if (int rc = DeviceCall(ctx, "GetNwCameraInfo", [&] { return GetNwCameraInfo(&v1, &v2, &v3, t1, t2, &v4, &v5); }))
        return rc;
    Add(ctx.result, "value1", MakeUint(v1));
    Add(ctx.result, "value2", MakeUint(v2));
    Add(ctx.result, "value3", MakeUint(v3));
    Add(ctx.result, "text1", MakeStr(tools::TextOf(t1, sizeof t1)));
    Add(ctx.result, "text2", MakeStr(tools::TextOf(t2, sizeof t2)));
    Add(ctx.result, "value4", MakeUint(v4));
    Add(ctx.result, "value5", MakeUint(v5));
    return kOk;
}

int CameraSet(Ctx &ctx) {
    if (!ArgCount(ctx, 7, 7, "camera set VALUE1 VALUE2 VALUE3 TEXT1 TEXT2 VALUE4 VALUE5"))
        return kUsage;
    uint64_t v1 = 0, v2 = 0, v3 = 0, v4 = 0, v5 = 0;
    if (!ArgNumber(ctx, 0, UINT32_MAX, "VALUE1", &v1) || !ArgNumber(ctx, 1, 65535, "VALUE2", &v2) ||
        !ArgNumber(ctx, 2, 255, "VALUE3", &v3) || !ArgNumber(ctx, 5, UINT32_MAX, "VALUE4", &v4) ||
        !ArgNumber(ctx, 6, 65535, "VALUE5", &v5))
        return kUsage;
    std::string why;
    // 17 bytes each; text of up to 16 characters stays zero-terminated.
    auto t1 = tools::ParseBytes(ctx.args[3], MORELAPI_CAMERA_TEXT_BYTES, MORELAPI_CAMERA_TEXT_BYTES - 1, &why);
    if (!t1)
        return Usage(ctx, "TEXT1: " + why);
    auto t2 = tools::ParseBytes(ctx.args[4], MORELAPI_CAMERA_TEXT_BYTES, MORELAPI_CAMERA_TEXT_BYTES - 1, &why);
    if (!t2)
        return Usage(ctx, "TEXT2: " + why);
    if (int rc = DeviceCall(ctx, "SetNwCameraInfo", [&] {
            return SetNwCameraInfo(static_cast<uint32_t>(v1), static_cast<uint16_t>(v2), static_cast<uint8_t>(v3),
                                   t1->data(), t2->data(), static_cast<uint32_t>(v4), static_cast<uint16_t>(v5));
        }))
        return rc;
    return Done(ctx);
}

constexpr Verb kCameraVerbs[] = {{"get", CameraGet}, {"set", CameraSet}};

int Camera(Ctx &ctx) { return RunVerb(ctx, "camera", kCameraVerbs, std::size(kCameraVerbs), "get"); }

int OpMode(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "opmode"))
        return kUsage;
    if (int rc = Connect(ctx))
        return rc;
    // -1 is both "not ready" and a mode byte of 0xFF; while the link is up
    // it is the value it is.
    int8_t mode = GetOpeMode();
    if (mode == -1 && !IsSPphoneAvailable())
        return Fail(ctx, kNoDevice, "GetOpeMode: no device (the link is down)");
    Add(ctx.result, "mode", tools::MakeInt(mode));
    return kOk;
}

// ---- RTCP ----

int RtcpSend(Ctx &ctx) {
    std::string block;
    bool hasBlock = false;
    if (!TakeOption(ctx, "--block", &block, &hasBlock))
        return kUsage;
    if (!ArgCount(ctx, 1, 1, "rtcp send DATA [--block N]   (84 bytes: hex:BYTES or text)"))
        return kUsage;
    uint64_t id = 1;
    std::string why;
    if (hasBlock) {
        auto v = tools::ParseUnsigned(block, 65535, &why);
        if (!v)
            return Usage(ctx, "--block: " + why);
        id = *v;
    }
    auto data = tools::ParseBytes(ctx.args[0], MORELAPI_RTCP_SEND_BYTES, MORELAPI_RTCP_SEND_BYTES, &why);
    if (!data)
        return Usage(ctx, "DATA: " + why);
    if (int rc = DeviceCall(ctx, "SetRtcpSend", [&] { return SetRtcpSend(static_cast<uint16_t>(id), data->data()); }))
        return rc;
    return Done(ctx);
}

int RtcpReceive(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 1, "rtcp receive [BLOCK]"))
        return kUsage;
    uint64_t id = 1;
    if (!ctx.args.empty() && !ArgNumber(ctx, 0, 65535, "block", &id))
        return kUsage;
    uint8_t buf[MORELAPI_RTCP_RECEIVE_BYTES] = {};
    if (int rc = DeviceCall(ctx, "GetRtcpReceive", [&] { return GetRtcpReceive(static_cast<uint16_t>(id), buf); }))
        return rc;
    if (ctx.json) {
        Add(ctx.result, "block", MakeUint(id));
        Add(ctx.result, "hex", MakeStr(tools::Hex(buf, sizeof buf)));
        return kOk;
    }
    ctx.text = tools::HexDump(buf, sizeof buf);
    return kOk;
}

int RtcpVersion(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "rtcp version"))
        return kUsage;
    uint8_t byte = 0;
    int64_t version = 0;
    if (int rc = DeviceCall(ctx, "GetRtcpVer", [&] { return GetRtcpVer(0, 0, &byte); }, &version)) {
        ctx.error += " (or the device's version is 0)";
        return rc;
    }
    Add(ctx.result, "version", MakeUint(static_cast<uint64_t>(version)));
    Add(ctx.result, "byte", MakeUint(byte));
    return kOk;
}

int RtcpSetVersion(Ctx &ctx) {
    if (!ArgCount(ctx, 3, 3, "rtcp set-version ARG1 ARG2 ARG3"))
        return kUsage;
    uint64_t a1 = 0, a2 = 0, a3 = 0;
    if (!ArgNumber(ctx, 0, 65535, "ARG1", &a1) || !ArgNumber(ctx, 1, UINT32_MAX, "ARG2", &a2) ||
        !ArgNumber(ctx, 2, 255, "ARG3", &a3))
        return kUsage;
    int64_t version = 0;
    if (int rc = DeviceCall(ctx, "SetRtcpVer", [&] {
            return SetRtcpVer(static_cast<uint16_t>(a1), static_cast<uint32_t>(a2), static_cast<uint8_t>(a3));
        }, &version)) {
        ctx.error += " (or the device's version is 0)";
        return rc;
    }
    Add(ctx.result, "version", MakeUint(static_cast<uint64_t>(version)));
    return kOk;
}

constexpr Verb kRtcpVerbs[] = {
    {"send", RtcpSend}, {"receive", RtcpReceive}, {"version", RtcpVersion}, {"set-version", RtcpSetVersion},
};

int Rtcp(Ctx &ctx) { return RunVerb(ctx, "rtcp", kRtcpVerbs, std::size(kRtcpVerbs), nullptr); }

// ---- raw data ----

int RawSend(Ctx &ctx) {
    if (!ArgCount(ctx, 1, 1, "raw send DATA   (128 bytes: hex:BYTES or text)"))
        return kUsage;
    std::string why;
    auto data = tools::ParseBytes(ctx.args[0], MORELAPI_RAW_DATA_BYTES, MORELAPI_RAW_DATA_BYTES, &why);
    if (!data)
        return Usage(ctx, "DATA: " + why);
    if (int rc = DeviceCall(ctx, "SendFixed128RawData", [&] { return SendFixed128RawData(data->data()); }))
        return rc;
    return Done(ctx);
}

int RawReceive(Ctx &ctx) {
    if (!ArgCount(ctx, 0, 0, "raw receive"))
        return kUsage;
    uint8_t buf[MORELAPI_RAW_DATA_BYTES] = {};
    if (int rc = DeviceCall(ctx, "ReceiveFixed128RawData", [&] { return ReceiveFixed128RawData(buf); }))
        return rc;
    if (!SeenEvent(MORELAPI_EVENT_RAW_DATA))
        return Fail(ctx, kNothingYet,
                    "ReceiveFixed128RawData: no raw block received yet (the library keeps the last block the device "
                    "sent to this process; spphone shell or watch show them)");
    if (ctx.json) {
        Add(ctx.result, "hex", MakeStr(tools::Hex(buf, sizeof buf)));
        return kOk;
    }
    ctx.text = tools::HexDump(buf, sizeof buf);
    return kOk;
}

constexpr Verb kRawVerbs[] = {{"send", RawSend}, {"receive", RawReceive}};

int Raw(Ctx &ctx) { return RunVerb(ctx, "raw", kRawVerbs, std::size(kRawVerbs), "receive"); }

constexpr Command kCommands[] = {
    {"item", "item get ID | set ID [VALUE] | changed | list",
     "system data items (text items as text, numbers as numbers, hex:BYTES for any)", Item},
    {"contact", "contact [list | count | get N | set DATA1 BYTE DATA2 | delete N|all]", "the contact list",
     Contact},
    {"rec", "rec [list | count | info N | delete N|all | start | stop | play N | stop-play | pause | resume [V] | "
            "pos | volume [1..8] | status]",
     "recordings, recording and playback", Rec},
    {"camera", "camera [get | set V1 V2 V3 TEXT1 TEXT2 V4 V5]", "the network camera record", Camera},
    {"opmode", "opmode", "the operating mode", OpMode},
    {"rtcp", "rtcp send DATA [--block N] | receive [BLOCK] | version | set-version A1 A2 A3", "RTCP parameters",
     Rtcp},
    {"raw", "raw [send DATA | receive]", "raw 128-byte blocks (receive: the last block the device sent)", Raw},
};

} // namespace

const Command *DataCommands(size_t *count) {
    *count = std::size(kCommands);
    return kCommands;
}

} // namespace spphone
