// The device's state: its defaults, the stored settings, the display and the
// call model.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/internal.h"

namespace sim {
namespace {

// The stored settings in store order, with their widths.
struct ItemRow {
    uint16_t id;
    uint8_t width;
};
constexpr ItemRow kItemRows[kSystemItemCount] = {
    {1, 1},   {2, 5},   {3, 1},   {4, 1},   {5, 1},   {6, 1},   {7, 1},   {19, 1},  {8, 1},   {9, 1},   {10, 1},
    {17, 1},  {18, 1},  {33, 1},  {34, 1},  {49, 1},  {50, 1},  {51, 1},  {52, 1},  {53, 1},  {65, 1},  {66, 4},
    {67, 4},  {68, 4},  {69, 1},  {70, 4},  {71, 4},  {81, 1},  {82, 128}, {83, 4}, {84, 128}, {85, 2}, {86, 4},
    {87, 128}, {88, 2}, {89, 4},  {90, 128}, {91, 2}, {92, 1},  {93, 32}, {94, 32}, {95, 32}, {97, 1},  {98, 1},
    {101, 2}, {102, 2}, {103, 2}, {104, 1}, {109, 1}, {113, 2}, {114, 1}, {115, 1}, {116, 1}, {117, 1}, {118, 1},
};

bool IsTextItem(uint16_t id) {
    return id == 82 || id == 84 || id == 87 || id == 90 || id == 93 || id == 94 || id == 95;
}

// Device state number -> the event that reports it. Events 0x0201..0x021E in order.
constexpr uint8_t kStateOfEvent[30] = {8,  9,  2,  10, 0,  16, 12, 11, 13, 15, 18, 19, 20, 17, 4,
                                       5,  6,  7,  22, 23, 24, 25, 26, 21, 27, 28, 29, 30, 31, 32};

template <size_t N> void PutText(std::array<uint8_t, N> &dst, const char *text) {
    dst.fill(0);
    std::memcpy(dst.data(), text, std::min(N, std::strlen(text)));
}

const char *CallStateName(uint8_t state) {
    switch (state) {
    case kCallConnected: return "CONNECTED";
    case kCallDialling: return "DIALLING";
    case kCallRinging: return "RINGING";
    case kCallRetrieved: return "ACTIVE";
    case kCallHeld: return "HELD";
    case kCallJoined: return "JOINED";
    case kCallConference: return "CONFERENCE";
    case kCallAlerting: return "ALERTING";
    default: return nullptr;
    }
}

bool IsReadyStatus(uint8_t status) {
    return !(status == 0 || status == 1 || status == 9 || status == 12 || status == 13);
}

} // namespace

std::vector<uint8_t> MakeFrame(uint8_t version, uint16_t classId, uint16_t commandId, uint16_t destination,
                               uint16_t source, uint16_t kind, uint32_t sequence, const uint8_t *body,
                               size_t bodyLength) {
    size_t length = std::max(kMinFrameBytes, kOffBody + bodyLength);
    std::vector<uint8_t> f(length, 0);
    f[kOffVersion] = version;
    f[kOffReserved] = 0;
    Put16(&f[kOffClass], classId);
    Put16(&f[kOffCommand], commandId);
    Put16(&f[kOffDestination], destination);
    Put16(&f[kOffSource], source);
    Put16(&f[kOffKind], kind);
    Put32(&f[kOffSequence], sequence);
    Put32(&f[kOffExtra], static_cast<uint32_t>(length - kMinFrameBytes));
    if (bodyLength)
        std::memcpy(&f[kOffBody], body, bodyLength);
    return f;
}

DeviceState DefaultState(const DeviceConfig &cfg) {
    DeviceState st{};
    st.protocolVersion = cfg.protocolVersion;
    st.status = cfg.status;
    st.versions = {0x0102, 0x0203, 0x0304};
    st.networkItem1 = {192, 168, 1, 50, 0xC4, 0x13}; // address and port 5060
    st.networkItems = {0, 0, 0x00FFFFFFu, 0x0101A8C0u, 0x0801A8C0u, 0x0901A8C0u, 5060, 1};
    st.destinationCode = 1;
    st.destinationValue = 0x1234;

    st.tableCount = static_cast<uint8_t>(std::min<size_t>(cfg.tableCount, kMaxTableEntries));
    for (size_t i = 0; i < kMaxTableEntries; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "ENTRY %u", static_cast<unsigned>(i + 1));
        PutText(st.table[i], text);
    }

    for (size_t i = 0; i < kSystemItemCount; ++i) {
        SystemItem &it = st.items[i];
        it.id = kItemRows[i].id;
        it.width = kItemRows[i].width;
        it.value.fill(0);
        if (IsTextItem(it.id)) {
            char text[32];
            std::snprintf(text, sizeof text, "ITEM %u", it.id);
            std::memcpy(it.value.data(), text, std::strlen(text));
        } else {
            for (size_t b = 0; b < it.width; ++b)
                it.value[b] = static_cast<uint8_t>(it.id + b);
        }
    }

    st.contactCount = cfg.contactCount;
    for (size_t i = 0; i < std::min<size_t>(cfg.contactCount, kMaxContacts); ++i) {
        Contact &c = st.contacts[i];
        char text[40];
        std::snprintf(text, sizeof text, "CONTACT %u", static_cast<unsigned>(i + 1));
        PutText(c.data1, text);
        c.byte = static_cast<uint8_t>(i + 1);
        std::snprintf(text, sizeof text, "555%04u", static_cast<unsigned>(i + 1));
        PutText(c.data2, text);
    }

    st.recordCount = static_cast<uint8_t>(std::min<size_t>(cfg.recordCount, kMaxRecords));
    for (size_t i = 0; i < st.recordCount; ++i) {
        uint32_t n = static_cast<uint32_t>(i + 1);
        st.records[i] = {20240000u + n, static_cast<uint16_t>(30 * n), static_cast<uint8_t>(n), 8000u * n,
                         1000u + n,     2000u + n,                     static_cast<uint16_t>(n), 1};
    }
    st.recordingsMade = st.recordCount;
    st.playbackVolume = 4;

    st.nextCallId = 1;
    st.ringerVolume = 2;
    st.receiveVolume = 4;
    st.soundEnhancer = 1;

    Put32(&st.camera[0], 0x0A000001u);
    Put16(&st.camera[4], 554);
    st.camera[6] = 1;
    std::memcpy(&st.camera[7], "camera", 6);
    std::memcpy(&st.camera[24], "stream", 6);
    Put32(&st.camera[41], 30);
    Put16(&st.camera[45], 720);
    st.operatingMode = 1;

    for (size_t i = 0; i < kRtcpReceiveBytes; ++i)
        st.rtcpReceive[i] = static_cast<uint8_t>(i);
    st.rtcpVersion = 2;
    st.rtcpMaxVersion = 3;

    st.displayAuto = true;
    st.displayWithImage = true;
    RenderDisplay(st);
    return st;
}

SystemItem *FindItem(DeviceState &st, uint16_t id) {
    for (SystemItem &it : st.items)
        if (it.id == id)
            return &it;
    return nullptr;
}

const SystemItem *FindItem(const DeviceState &st, uint16_t id) {
    return FindItem(const_cast<DeviceState &>(st), id);
}

std::string DisplayText(const DeviceState &st) {
    const uint8_t *end = std::find(st.display.begin(), st.display.end(), 0);
    return std::string(st.display.begin(), end);
}

void RenderDisplay(DeviceState &st) {
    std::string text;
    char line[96];
    if (IsReadyStatus(st.status))
        std::snprintf(line, sizeof line, "READY  VOL %u%s\n", st.receiveVolume, st.mute ? "  MUTE" : "");
    else
        std::snprintf(line, sizeof line, "NOT READY %u\n", st.status);
    text += line;

    bool anyCall = false;
    for (const Call &c : st.calls) {
        if (!c.live)
            continue;
        anyCall = true;
        std::string number;
        for (uint8_t ch : c.text) {
            if (ch == 0 || number.size() >= 24)
                break;
            number += (ch >= 0x20 && ch < 0x7F) ? static_cast<char>(ch) : '?';
        }
        const char *name = CallStateName(c.state);
        if (name)
            std::snprintf(line, sizeof line, "CALL %u %s %s\n", c.id, name, number.c_str());
        else
            std::snprintf(line, sizeof line, "CALL %u STATE %u %s\n", c.id, c.state, number.c_str());
        text += line;
    }
    if (!anyCall)
        text += "IDLE\n";

    if (st.keyCode >= 0x21 && st.keyCode < 0x7F)
        std::snprintf(line, sizeof line, "KEY %c/%u\n", st.keyCode, st.keyAction);
    else if (st.keyCode)
        std::snprintf(line, sizeof line, "KEY 0x%02X/%u\n", st.keyCode, st.keyAction);
    else
        line[0] = 0;
    text += line;

    switch (st.recordOpStatus) {
    case kRecRecording: text += "REC\n"; break;
    case kRecPlaying:
        std::snprintf(line, sizeof line, "PLAY %u %u\n", st.playingRecord, st.playbackPosition);
        text += line;
        break;
    case kRecPaused:
        std::snprintf(line, sizeof line, "PAUSE %u %u\n", st.playingRecord, st.playbackPosition);
        text += line;
        break;
    default: break;
    }

    st.display.fill(0);
    std::memcpy(st.display.data(), text.data(), std::min(text.size(), kDisplayBytes - 1));
}

uint16_t CallEventFor(uint8_t state, bool *fullDetails) {
    for (size_t i = 0; i < 30; ++i) {
        if (kStateOfEvent[i] == state) {
            if (fullDetails)
                *fullDetails = i < 4;
            return static_cast<uint16_t>(0x0201 + i);
        }
    }
    return 0;
}

bool IsEndState(uint8_t state) {
    switch (state) {
    case 0: case 4: case 5: case 6: case 7: case 24: case 25: case 26: return true;
    default: return false;
    }
}

bool IsActiveCallState(uint8_t state) {
    return state == kCallConnected || state == kCallRetrieved || state == kCallJoined || state == kCallConference;
}

void NoteDisplay(Exchange &ex) {
    if (ex.st.displayAuto)
        RenderDisplay(ex.st);
    bool withImage = ex.cfg.displayMode == DisplayMode::Always ||
                     (ex.cfg.displayMode == DisplayMode::Alternate && ex.st.displayWithImage);
    if (ex.cfg.displayMode == DisplayMode::Alternate)
        ex.st.displayWithImage = !ex.st.displayWithImage;
    if (withImage)
        ex.Notify(0x0106, std::vector<uint8_t>(ex.st.display.begin(), ex.st.display.end()));
    else
        ex.Notify(0x0106);
}

Call *FindLiveCall(DeviceState &st, uint8_t id) {
    for (Call &c : st.calls)
        if (c.live && c.id == id)
            return &c;
    return nullptr;
}

void EnterCallState(Exchange &ex, Call &call, uint8_t state) {
    bool full = false;
    uint16_t event = CallEventFor(state, &full);
    call.state = state;
    call.live = !IsEndState(state);
    std::vector<uint8_t> data{call.id};
    if (full) {
        data.push_back(call.attribute);
        data.insert(data.end(), call.text.begin(), call.text.end());
        Append32(data, call.param);
    }
    if (event)
        ex.Notify(event, std::move(data));
}

Call *StartCall(Exchange &ex, uint8_t state, bool outgoing, uint8_t attribute, const uint8_t *text, size_t textLength,
                uint32_t param) {
    Call *slot = nullptr;
    for (Call &c : ex.st.calls) {
        if (!c.live) {
            slot = &c;
            break;
        }
    }
    if (!slot)
        return nullptr;
    // Ids 1..6, skipping the one the other live call holds.
    uint8_t id = ex.st.nextCallId;
    for (int i = 0; i < 6; ++i) {
        if (id < 1 || id > 6)
            id = 1;
        if (!FindLiveCall(ex.st, id))
            break;
        ++id;
    }
    ex.st.nextCallId = static_cast<uint8_t>(id % 6 + 1);
    *slot = Call{};
    slot->id = id;
    slot->outgoing = outgoing;
    slot->attribute = attribute;
    std::memcpy(slot->text.data(), text, std::min(textLength, kCallTextBytes));
    slot->param = param;
    slot->live = true;
    EnterCallState(ex, *slot, state);
    return slot;
}

} // namespace sim
