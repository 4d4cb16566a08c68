// What the device does for each request: one handler per (class, command),
// reading the request from the frame and writing the answer data and the
// notifications that follow it.
#include <algorithm>
#include <cstring>

#include "sim/internal.h"

namespace sim {
namespace {

void Nothing(Exchange &) {}

template <size_t N> void AppendBytes(std::vector<uint8_t> &v, const std::array<uint8_t, N> &a) {
    v.insert(v.end(), a.begin(), a.end());
}

template <size_t N> void CopyFromFrame(const Exchange &ex, size_t off, std::array<uint8_t, N> &dst) {
    for (size_t i = 0; i < N; ++i)
        dst[i] = ex.At(off + i);
}

// ---- class 0: raw data ----

void RawData(Exchange &ex) {
    CopyFromFrame(ex, 20, ex.st.rawBlock);
    if (ex.cfg.echoRawData)
        ex.Notify(0x0002, std::vector<uint8_t>(ex.st.rawBlock.begin(), ex.st.rawBlock.end()));
}

// ---- class 1: status, identity, keys, display ----

void Reboot(Exchange &ex) { ++ex.st.rebootCount; }

void ProductDefault(Exchange &ex) { ex.data.push_back(ex.st.productDefault); }

void NetworkItem(Exchange &ex) {
    uint8_t item = ex.At(20);
    if (item < 1 || item > 7)
        return ex.Refuse();
    ex.data.push_back(item);
    if (item == 1)
        AppendBytes(ex.data, ex.st.networkItem1);
    else
        Append32(ex.data, ex.st.networkItems[item]);
}

void KeyState(Exchange &ex) {
    ex.data.push_back(ex.st.keyAction);
    ex.data.push_back(ex.st.keyCode);
}

void SetKey(Exchange &ex) {
    ex.st.keyAction = ex.At(20);
    ex.st.keyCode = ex.At(21);
    ex.Notify(0x0104, {ex.st.keyAction, ex.st.keyCode});
    NoteDisplay(ex);
}

void Display(Exchange &ex) {
    if (ex.st.displayAuto)
        RenderDisplay(ex.st);
    AppendBytes(ex.data, ex.st.display);
}

void Version(Exchange &ex) {
    uint8_t which = ex.At(20);
    if (which > 2)
        return ex.Refuse();
    Append16(ex.data, ex.st.versions[which]);
}

void Status(Exchange &ex) {
    ex.data.push_back(ex.st.status);
    Append16(ex.data, ex.st.errorCode);
}

void Destination(Exchange &ex) {
    ex.data.push_back(ex.st.destinationCode);
    Append16(ex.data, ex.st.destinationValue);
}

void ProtocolVersion(Exchange &ex) { ex.data.push_back(ex.st.protocolVersion); }

void Table(Exchange &ex) {
    uint8_t count = static_cast<uint8_t>(std::min<size_t>(ex.st.tableCount, kMaxTableEntries));
    ex.data.push_back(count);
    for (size_t i = 0; i < count; ++i)
        AppendBytes(ex.data, ex.st.table[i]);
}

void Status2(Exchange &ex) {
    Status(ex);
    ex.data.push_back(ex.st.status2);
}

// ---- class 2: calls and audio ----

Call *FirstLive(DeviceState &st, bool (*pred)(const Call &)) {
    for (Call &c : st.calls)
        if (c.live && pred(c))
            return &c;
    return nullptr;
}

bool IsActive(const Call &c) { return IsActiveCallState(c.state); }
bool IsHeld(const Call &c) { return c.state == kCallHeld; }
bool IsRinging(const Call &c) { return c.state == kCallRinging; }
bool IsOutgoingSetup(const Call &c) { return c.state == kCallDialling || c.state == kCallAlerting; }
bool AnyCall(const Call &) { return true; }

void MakeCall(Exchange &ex) {
    Call *active = FirstLive(ex.st, IsActive);
    bool bothLive = ex.st.calls[0].live && ex.st.calls[1].live;
    if (bothLive || FirstLive(ex.st, IsOutgoingSetup))
        return ex.Refuse();
    if (active)
        EnterCallState(ex, *active, kCallHeld);
    uint8_t text[kCallTextBytes];
    for (size_t i = 0; i < kCallTextBytes; ++i)
        text[i] = ex.At(22 + i);
    // The request's two bytes come back as the call's attribute (second byte)
    // and value (first byte).
    Call *call = StartCall(ex, kCallDialling, true, ex.At(21), text, kCallTextBytes, ex.At(20));
    EnterCallState(ex, *call, kCallAlerting);
    if (ex.cfg.outgoingAutoConnect)
        EnterCallState(ex, *call, kCallConnected);
}

// 0 ends the call the device would end with its own button; an id ends
// that call only.
void EndCall(Exchange &ex) {
    const uint8_t id = ex.At(20);
    if (id > kMaxCallId)
        return ex.Refuse();
    if (id != 0) {
        Call *call = FindLiveCall(ex.st, id);
        if (!call)
            return ex.Fail();
        return EnterCallState(ex, *call, kCallEndedHere);
    }
    Call *call = FirstLive(ex.st, IsActive);
    if (!call)
        call = FirstLive(ex.st, IsOutgoingSetup);
    if (!call)
        call = FirstLive(ex.st, IsHeld);
    if (!call)
        call = FirstLive(ex.st, AnyCall);
    if (!call)
        return ex.Fail();
    EnterCallState(ex, *call, kCallEndedHere);
}

void AnswerCall(Exchange &ex) {
    Call *ringing = FirstLive(ex.st, IsRinging);
    if (!ringing)
        return ex.Fail();
    if (Call *active = FirstLive(ex.st, IsActive))
        EnterCallState(ex, *active, kCallHeld);
    EnterCallState(ex, *ringing, kCallConnected);
}

bool BothEstablished(DeviceState &st) {
    for (const Call &c : st.calls)
        if (!c.live || !(IsActiveCallState(c.state) || c.state == kCallHeld))
            return false;
    return true;
}

void JoinCall(Exchange &ex) {
    if (!BothEstablished(ex.st))
        return ex.Fail();
    for (Call &c : ex.st.calls)
        EnterCallState(ex, c, kCallJoined);
}

void InviteConference(Exchange &ex) {
    if (!BothEstablished(ex.st))
        return ex.Fail();
    for (Call &c : ex.st.calls)
        EnterCallState(ex, c, kCallConference);
}

void RejectCall(Exchange &ex) {
    Call *ringing = FirstLive(ex.st, IsRinging);
    if (!ringing)
        return ex.Fail();
    EnterCallState(ex, *ringing, kCallRejected);
}

// Hold key: puts the active call on hold and takes the other one back; with
// only a held call, takes it back.
void HoldOperate(Exchange &ex) {
    Call *active = FirstLive(ex.st, IsActive);
    Call *held = FirstLive(ex.st, IsHeld);
    if (!active && !held)
        return ex.Fail();
    if (active)
        EnterCallState(ex, *active, kCallHeld);
    if (held)
        EnterCallState(ex, *held, kCallRetrieved);
}

void SetMute(Exchange &ex) {
    uint8_t v = ex.At(20);
    if (v > 1)
        return ex.Refuse();
    ex.st.mute = v;
}

void SetSlowTalk(Exchange &ex) {
    uint8_t v = ex.At(20);
    if (v != 0 && v != 2 && v != 3)
        return ex.Refuse();
    ex.st.slowTalk = v;
}

void SetSoundEnhancer(Exchange &ex) {
    uint8_t v = ex.At(20);
    if (v > 2)
        return ex.Refuse();
    ex.st.soundEnhancer = v;
}

void GetSlowTalk(Exchange &ex) { ex.data.push_back(ex.st.slowTalk); }
void GetSoundEnhancer(Exchange &ex) { ex.data.push_back(ex.st.soundEnhancer); }
void GetRingerVol(Exchange &ex) { ex.data.push_back(ex.st.ringerVolume); }
void GetReceiveVol(Exchange &ex) { ex.data.push_back(ex.st.receiveVolume); }

void SetRingerVol(Exchange &ex) {
    uint8_t v = ex.At(20);
    if (!InRange(v, kRingerVolumes))
        return ex.Refuse();
    ex.st.ringerVolume = v;
    ex.Notify(0x0107, {v});
}

void SetReceiveVol(Exchange &ex) {
    uint8_t v = ex.At(20);
    if (!InRange(v, kReceiveVolumes))
        return ex.Refuse();
    ex.st.receiveVolume = v;
    ex.Notify(0x0108, {v});
}

// Call information: the live call with the asked id, else state 0 (also for
// an id no call can have).
void CallInfo(Exchange &ex) {
    uint8_t id = ex.At(20);
    const Call *call = FindLiveCall(ex.st, id);
    ex.data.push_back(id);
    ex.data.push_back(call ? call->state : 0);
    ex.data.push_back(call ? call->attribute : 0);
    if (call)
        AppendBytes(ex.data, call->text);
    else
        ex.data.insert(ex.data.end(), kCallTextBytes, 0);
    Append32(ex.data, call ? call->param : 0);
}

// ---- class 3: system data, camera, operating mode ----

bool IsActionItem(uint16_t id) { return id >= 129 && id <= 132; }

void SetSystemData(Exchange &ex) {
    uint16_t id = ex.U16(20);
    if (IsActionItem(id))
        return;
    SystemItem *it = FindItem(ex.st, id);
    if (!it || ex.length < 22u + it->width)
        return ex.Refuse();
    for (size_t i = 0; i < it->width; ++i)
        it->value[i] = ex.At(22 + i);
    ex.st.lastChangedItem = id;
    std::vector<uint8_t> note;
    Append16(note, id);
    note.insert(note.end(), it->value.begin(), it->value.begin() + it->width);
    ex.Notify(0x0301, std::move(note));
}

// Any id is answered: a stored one with its value, any other with no bytes
// (the frame's data area is then zero).
void GetSystemData(Exchange &ex) {
    if (const SystemItem *it = FindItem(ex.st, ex.U16(20)))
        ex.data.insert(ex.data.end(), it->value.begin(), it->value.begin() + it->width);
}

void ChangedSystemData(Exchange &ex) {
    Append16(ex.data, ex.st.lastChangedItem);
    if (const SystemItem *it = FindItem(ex.st, ex.st.lastChangedItem))
        ex.data.insert(ex.data.end(), it->value.begin(), it->value.begin() + it->width);
}

void SetCamera(Exchange &ex) {
    if (ex.length < 20 + kCameraBytes)
        return ex.Refuse();
    CopyFromFrame(ex, 20, ex.st.camera);
}

void GetCamera(Exchange &ex) { AppendBytes(ex.data, ex.st.camera); }
void OperatingMode(Exchange &ex) { ex.data.push_back(ex.st.operatingMode); }

// ---- class 4: contacts ----

size_t StoredContacts(const DeviceState &st) { return std::min<size_t>(st.contactCount, kMaxContacts); }

void ContactCount(Exchange &ex) { ex.data.push_back(ex.st.contactCount); }

void GetContact(Exchange &ex) {
    uint8_t n = ex.At(20);
    if (n < 1 || n > kMaxContacts)
        return ex.Refuse();
    if (n > StoredContacts(ex.st))
        return ex.Fail();
    const Contact &c = ex.st.contacts[n - 1];
    AppendBytes(ex.data, c.data1);
    ex.data.push_back(c.byte);
    AppendBytes(ex.data, c.data2);
}

// Appends the entry; answers its number, or 0 when the list is full.
void SetContact(Exchange &ex) {
    if (ex.length < 184)
        return ex.Refuse();
    size_t stored = StoredContacts(ex.st);
    if (stored >= kMaxContacts || ex.st.contactCount > stored) {
        ex.data.push_back(0);
        return;
    }
    Contact &c = ex.st.contacts[stored];
    CopyFromFrame(ex, 20, c.data1);
    c.byte = ex.At(54);
    CopyFromFrame(ex, 55, c.data2);
    ex.st.contactCount = static_cast<uint8_t>(stored + 1);
    ex.data.push_back(ex.st.contactCount);
    ex.Signal(0x0401);
}

void DeleteContact(Exchange &ex) {
    uint8_t n = ex.At(20);
    if (n == 255) {
        ex.st.contacts.fill(Contact{});
        ex.st.contactCount = 0;
        ex.Signal(0x0402);
        return;
    }
    if (n < 1 || n > kMaxContacts)
        return ex.Refuse();
    size_t stored = StoredContacts(ex.st);
    if (n > stored)
        return ex.Fail();
    std::copy(ex.st.contacts.begin() + n, ex.st.contacts.begin() + stored, ex.st.contacts.begin() + n - 1);
    ex.st.contacts[stored - 1] = Contact{};
    --ex.st.contactCount;
    ex.Signal(0x0402);
}

// ---- class 5: stored recordings ----

void RecordCount(Exchange &ex) { ex.data.push_back(ex.st.recordCount); }

void RecordInfoAnswer(Exchange &ex) {
    uint8_t n = ex.At(20);
    if (n < 1 || n > kMaxRecords)
        return ex.Refuse();
    if (n > ex.st.recordCount)
        return ex.Fail();
    const RecordInfo &r = ex.st.records[n - 1];
    Append32(ex.data, r.a1);
    Append16(ex.data, r.a2);
    ex.data.push_back(r.a3);
    Append32(ex.data, r.value);
    Append32(ex.data, r.b1);
    Append32(ex.data, r.b2);
    Append16(ex.data, r.b3);
    ex.data.push_back(r.b4);
}

void StopPlaying(DeviceState &st) {
    st.recordOpStatus = kRecIdle;
    st.playingRecord = 0;
    st.playbackPosition = 0;
}

void DeleteRecord(Exchange &ex) {
    uint8_t n = ex.At(20);
    if (n < 1 || n > kMaxRecords)
        return ex.Refuse();
    if (n > ex.st.recordCount)
        return ex.Fail();
    if (ex.st.playingRecord == n)
        StopPlaying(ex.st);
    else if (ex.st.playingRecord > n)
        --ex.st.playingRecord;
    std::copy(ex.st.records.begin() + n, ex.st.records.begin() + ex.st.recordCount, ex.st.records.begin() + n - 1);
    ex.st.records[ex.st.recordCount - 1] = RecordInfo{};
    --ex.st.recordCount;
    ex.Signal(0x0501);
}

void DeleteAllRecords(Exchange &ex) {
    if (ex.st.playingRecord)
        StopPlaying(ex.st);
    ex.st.records.fill(RecordInfo{});
    ex.st.recordCount = 0;
    ex.Signal(0x0502);
}

// ---- class 6: recording and playback ----

void StartRecording(Exchange &ex) {
    if (ex.st.recordOpStatus != kRecIdle)
        return ex.Fail();
    ex.st.recordOpStatus = kRecRecording;
    ex.Signal(0x0601);
}

// Stopping makes a new recording (when there is room for one).
void StopRecording(Exchange &ex) {
    if (ex.st.recordOpStatus != kRecRecording)
        return ex.Fail();
    ex.st.recordOpStatus = kRecIdle;
    if (ex.st.recordCount < kMaxRecords) {
        uint32_t n = ++ex.st.recordingsMade;
        ex.st.records[ex.st.recordCount++] = {20240000u + n, static_cast<uint16_t>(30 * n), static_cast<uint8_t>(n),
                                              8000u * n,     1000u + n,                     2000u + n,
                                              static_cast<uint16_t>(n), 1};
    }
    ex.Signal(0x0602);
}

void StartPlayback(Exchange &ex) {
    uint8_t n = ex.At(20);
    if (n < 1 || n > kMaxRecords)
        return ex.Refuse();
    if (n > ex.st.recordCount || ex.st.recordOpStatus == kRecRecording)
        return ex.Fail();
    ex.st.recordOpStatus = kRecPlaying;
    ex.st.playingRecord = n;
    ex.st.playbackPosition = 0;
    ex.Signal(0x0603);
}

void StopPlayback(Exchange &ex) {
    if (ex.st.recordOpStatus != kRecPlaying && ex.st.recordOpStatus != kRecPaused)
        return ex.Fail();
    StopPlaying(ex.st);
    ex.Signal(0x0604);
}

void PausePlayback(Exchange &ex) {
    if (ex.st.recordOpStatus != kRecPlaying)
        return ex.Fail();
    ex.st.recordOpStatus = kRecPaused;
    ex.Signal(0x0605);
}

// A nonzero value is the position to resume from; 0 resumes where it paused.
void ResumePlayback(Exchange &ex) {
    if (ex.st.recordOpStatus != kRecPaused)
        return ex.Fail();
    uint32_t from = ex.U32(20);
    if (from)
        ex.st.playbackPosition = from;
    ex.st.recordOpStatus = kRecPlaying;
    ex.Signal(0x0606);
}

// Playback moves on by a fixed step each time the position is read.
void PlaybackPosition(Exchange &ex) {
    if (ex.st.recordOpStatus == kRecPlaying)
        ex.st.playbackPosition += ex.cfg.playbackStep;
    Append32(ex.data, ex.st.playbackPosition);
}

void GetPlaybackVol(Exchange &ex) { ex.data.push_back(ex.st.playbackVolume); }

void SetPlaybackVol(Exchange &ex) {
    uint8_t v = ex.At(20);
    if (!InRange(v, kPlaybackVolumes))
        return ex.Refuse();
    ex.st.playbackVolume = v;
    ex.Notify(0x0109, {v});
}

void RecordOpStatus(Exchange &ex) { Append32(ex.data, ex.st.recordOpStatus); }

// ---- class 7: RTCP ----

void SetRtcpSend(Exchange &ex) {
    if (ex.U16(20) != 1 || ex.length < 22 + kRtcpSendBytes)
        return ex.Refuse();
    CopyFromFrame(ex, 22, ex.st.rtcpSend);
}

void GetRtcpReceive(Exchange &ex) {
    if (ex.U16(20) != 1)
        return ex.Refuse();
    AppendBytes(ex.data, ex.st.rtcpReceive);
}

// Takes the asked version when the device supports it and answers the
// version it runs.
void SetRtcpVer(Exchange &ex) {
    uint16_t asked = ex.U16(20);
    if (asked >= 1 && asked <= ex.st.rtcpMaxVersion)
        ex.st.rtcpVersion = asked;
    ex.st.rtcpVerParam = ex.U32(22);
    ex.st.rtcpVersionByte = ex.At(26);
    Append16(ex.data, ex.st.rtcpVersion);
}

void GetRtcpVer(Exchange &ex) {
    Append16(ex.data, ex.st.rtcpVersion);
    ex.data.push_back(ex.st.rtcpVersionByte);
}

struct CommandRow {
    uint16_t classId;
    uint16_t commandId;
    CommandFn fn;
};

constexpr CommandRow kCommands[] = {
    {0, 1, Nothing},          {0, 2, RawData},

    {1, 1, Nothing},          {1, 2, Reboot},           {1, 3, ProductDefault},   {1, 4, NetworkItem},
    {1, 5, KeyState},         {1, 6, SetKey},           {1, 7, Display},          {1, 8, Version},
    {1, 9, Status},           {1, 10, Destination},     {1, 11, ProtocolVersion}, {1, 12, Table},
    {1, 13, Status2},

    {2, 1, MakeCall},         {2, 2, EndCall},          {2, 3, AnswerCall},       {2, 4, JoinCall},
    {2, 5, InviteConference}, {2, 6, RejectCall},       {2, 7, SetMute},          {2, 8, SetSlowTalk},
    {2, 9, SetSoundEnhancer}, {2, 10, GetSlowTalk},     {2, 11, GetSoundEnhancer}, {2, 16, GetRingerVol},
    {2, 17, SetRingerVol},    {2, 18, GetReceiveVol},   {2, 19, SetReceiveVol},   {2, 20, CallInfo},
    {2, 21, HoldOperate},

    {3, 1, SetSystemData},    {3, 2, GetSystemData},    {3, 3, ChangedSystemData}, {3, 4, SetCamera},
    {3, 5, GetCamera},        {3, 6, OperatingMode},

    {4, 1, ContactCount},     {4, 2, GetContact},       {4, 3, SetContact},       {4, 4, DeleteContact},

    {5, 1, RecordCount},      {5, 2, RecordInfoAnswer}, {5, 3, DeleteRecord},     {5, 4, DeleteAllRecords},

    {6, 1, StartRecording},   {6, 2, StopRecording},    {6, 3, StartPlayback},    {6, 4, StopPlayback},
    {6, 5, PausePlayback},    {6, 6, ResumePlayback},   {6, 8, PlaybackPosition}, {6, 10, GetPlaybackVol},
    {6, 11, SetPlaybackVol},  {6, 12, RecordOpStatus},

    {7, 1, SetRtcpSend},      {7, 2, GetRtcpReceive},   {7, 3, SetRtcpVer},       {7, 4, GetRtcpVer},
};

} // namespace

CommandFn FindCommandFn(uint16_t classId, uint16_t commandId) {
    for (const CommandRow &row : kCommands)
        if (row.classId == classId && row.commandId == commandId)
            return row.fn;
    return nullptr;
}

} // namespace sim
