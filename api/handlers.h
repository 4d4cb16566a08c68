// The command table: every request the library sends, in the device's
// order within its class, with the handler that writes its parameters
// (phase 0) and decodes its answer (phase 1). Each handler lives beside the
// exports that send its command.
#pragma once

#include "core/context.h"
#include "link/frame.h"

namespace morel {

// Class 1: status, identity, keys, display (api/status.cpp, api/keys.cpp).
void ProductDefaultHandler(ApiContext *ctx, uint8_t phase);
void NetworkItemHandler(ApiContext *ctx, uint8_t phase);
void KeyStateHandler(ApiContext *ctx, uint8_t phase);
void DisplayReadHandler(ApiContext *ctx, uint8_t phase);
void VersionHandler(ApiContext *ctx, uint8_t phase);
void StatusHandler(ApiContext *ctx, uint8_t phase);
void DestinationHandler(ApiContext *ctx, uint8_t phase);
void PeerVersionHandler(ApiContext *ctx, uint8_t phase);
void UnicodeTableHandler(ApiContext *ctx, uint8_t phase);
void Status2Handler(ApiContext *ctx, uint8_t phase);

// Class 2: calls and audio (api/callinfo.cpp, api/audio.cpp).
void SlowTalkHandler(ApiContext *ctx, uint8_t phase);
void SoundEnhancerHandler(ApiContext *ctx, uint8_t phase);
void RingerVolumeHandler(ApiContext *ctx, uint8_t phase);
void ReceiveVolumeHandler(ApiContext *ctx, uint8_t phase);
void CallInfoHandler(ApiContext *ctx, uint8_t phase);

// Class 3: system data, camera, operating mode (api/sysdata.cpp, api/camera.cpp).
void SystemDataReadHandler(ApiContext *ctx, uint8_t phase);
void SystemDataChangedHandler(ApiContext *ctx, uint8_t phase);
void CameraReadHandler(ApiContext *ctx, uint8_t phase);
void OperatingModeHandler(ApiContext *ctx, uint8_t phase);

// Class 4: contacts (api/contacts.cpp).
void ContactCountHandler(ApiContext *ctx, uint8_t phase);
void ContactEntryHandler(ApiContext *ctx, uint8_t phase);
void ContactSetHandler(ApiContext *ctx, uint8_t phase);

// Classes 5 and 6: recorder (api/recorder.cpp).
void RecordCountHandler(ApiContext *ctx, uint8_t phase);
void RecordInfoHandler(ApiContext *ctx, uint8_t phase);
void PlaybackPositionHandler(ApiContext *ctx, uint8_t phase);
void PlaybackVolumeHandler(ApiContext *ctx, uint8_t phase);
void RecordOpStatusHandler(ApiContext *ctx, uint8_t phase);

// Class 7: RTCP (api/rtcp.cpp).
void RtcpReceiveHandler(ApiContext *ctx, uint8_t phase);
void RtcpSetVersionHandler(ApiContext *ctx, uint8_t phase);
void RtcpGetVersionHandler(ApiContext *ctx, uint8_t phase);

// The table, row n holding the commands of class n.
inline constexpr CommandEntry kClass0Commands[] = {{cmd::KeepAlive, nullptr}, {cmd::RawData, nullptr}};
inline constexpr CommandEntry kClass1Commands[] = {
    {cmd::NoOperation, EmptyHandler},
    {cmd::Reboot, EmptyHandler},
    {cmd::ProductDefault, ProductDefaultHandler},
    {cmd::NetworkItem, NetworkItemHandler},
    {cmd::KeyState, KeyStateHandler},
    {cmd::Key, EmptyHandler},
    {cmd::DisplayRead, DisplayReadHandler},
    {cmd::Version, VersionHandler},
    {cmd::Status, StatusHandler},
    {cmd::Destination, DestinationHandler},
    {cmd::PeerVersion, PeerVersionHandler},
    {cmd::UnicodeTable, UnicodeTableHandler},
    {cmd::Status2, Status2Handler},
};
// Class 2 keeps the device's own order: 1..7, 10, 8, 11, 9, 16..21.
inline constexpr CommandEntry kClass2Commands[] = {
    {cmd::MakeCall, EmptyHandler},
    {cmd::EndCall, EmptyHandler},
    {cmd::AnswerCall, EmptyHandler},
    {cmd::JoinCall, EmptyHandler},
    {cmd::InviteConference, EmptyHandler},
    {cmd::RejectCall, EmptyHandler},
    {cmd::SetMute, EmptyHandler},
    {cmd::GetSlowTalk, SlowTalkHandler},
    {cmd::SetSlowTalk, EmptyHandler},
    {cmd::GetSoundEnhancer, SoundEnhancerHandler},
    {cmd::SetSoundEnhancer, EmptyHandler},
    {cmd::GetRingerVolume, RingerVolumeHandler},
    {cmd::SetRingerVolume, EmptyHandler},
    {cmd::GetReceiveVolume, ReceiveVolumeHandler},
    {cmd::SetReceiveVolume, EmptyHandler},
    {cmd::CallInfo, CallInfoHandler},
    {cmd::HoldOperate, EmptyHandler},
};
inline constexpr CommandEntry kClass3Commands[] = {
    {cmd::SetSystemData, EmptyHandler},
    {cmd::GetSystemData, SystemDataReadHandler},
    {cmd::SystemDataChanged, SystemDataChangedHandler},
    {cmd::SetCamera, EmptyHandler},
    {cmd::GetCamera, CameraReadHandler},
    {cmd::OperatingMode, OperatingModeHandler},
};
inline constexpr CommandEntry kClass4Commands[] = {
    {cmd::ContactCount, ContactCountHandler},
    {cmd::GetContact, ContactEntryHandler},
    {cmd::SetContact, ContactSetHandler},
    {cmd::DeleteContact, EmptyHandler},
};
inline constexpr CommandEntry kClass5Commands[] = {
    {cmd::RecordCount, RecordCountHandler},
    {cmd::RecordInfo, RecordInfoHandler},
    {cmd::DeleteRecord, EmptyHandler},
    {cmd::DeleteAllRecords, EmptyHandler},
};
inline constexpr CommandEntry kClass6Commands[] = {
    {cmd::StartRecording, EmptyHandler},
    {cmd::StopRecording, EmptyHandler},
    {cmd::StartPlayback, EmptyHandler},
    {cmd::StopPlayback, EmptyHandler},
    {cmd::PausePlayback, EmptyHandler},
    {cmd::ResumePlayback, EmptyHandler},
    {cmd::PlaybackPosition, PlaybackPositionHandler},
    {cmd::GetPlaybackVolume, PlaybackVolumeHandler},
    {cmd::SetPlaybackVolume, EmptyHandler},
    {cmd::RecordOpStatus, RecordOpStatusHandler},
};
inline constexpr CommandEntry kClass7Commands[] = {
    {cmd::RtcpSend, EmptyHandler},
    {cmd::RtcpReceive, RtcpReceiveHandler},
    {cmd::SetRtcpVersion, RtcpSetVersionHandler},
    {cmd::GetRtcpVersion, RtcpGetVersionHandler},
};

template <size_t N> constexpr CommandClassEntry CommandRow(uint16_t classId, const CommandEntry (&commands)[N]) {
    return {classId, static_cast<uint16_t>(N), commands};
}

inline constexpr CommandClassEntry CommandTable[8] = {
    CommandRow(0, kClass0Commands), CommandRow(1, kClass1Commands), CommandRow(2, kClass2Commands), CommandRow(3, kClass3Commands),
    CommandRow(4, kClass4Commands), CommandRow(5, kClass5Commands), CommandRow(6, kClass6Commands), CommandRow(7, kClass7Commands),
};

constexpr bool CommandRowsHoldTheirClass() {
    for (uint16_t c = 0; c < 8; ++c)
        for (uint16_t i = 0; i < CommandTable[c].commandCount; ++i)
            if (CommandTable[c].classId != c || CommandTable[c].commands[i].command.classId != c)
                return false;
    return true;
}
static_assert(CommandRowsHoldTheirClass(), "row n of the table holds the commands of class n");

// System data item lookup (api/sysdata.cpp): offset of the item's place in
// systemDataStore and its width. Returns 1 for the 55 stored ids and for the
// action ids 129..132 (no place: offset kNoPlace, width 0), 0 for every other
// id (offset kNoPlace, width 0).
constexpr uint16_t kNoPlace = 0xFFFF;
int LookupSystemDataItem(uint16_t itemId, uint16_t *offset, uint16_t *width);
bool IsTextItem(uint16_t itemId);

// The changed-item notification (api/sysdata.cpp).
void SystemDataEventHandler(ApiContext *ctx, uint8_t phase);

} // namespace morel
