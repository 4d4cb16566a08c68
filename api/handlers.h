// Command handlers of every family, referenced by the command table
// (api/tables.cpp); each lives beside the exports that send its command.
#pragma once

#include "core/context.h"

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
