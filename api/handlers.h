// Command handlers of every family, referenced by the command table.
#pragma once

#include "core/context.h"

namespace morel {

// Class 1: status, identity, keys, display (api/status.cpp, api/keys.cpp).
void ProductDefaultHandler(ApiContext *ctx, uint8_t phase);   // 1/3
void NetworkItemHandler(ApiContext *ctx, uint8_t phase);      // 1/4
void KeyStateHandler(ApiContext *ctx, uint8_t phase);         // 1/5
void DisplayReadHandler(ApiContext *ctx, uint8_t phase);      // 1/7
void VersionHandler(ApiContext *ctx, uint8_t phase);          // 1/8
void StatusHandler(ApiContext *ctx, uint8_t phase);           // 1/9
void DestinationHandler(ApiContext *ctx, uint8_t phase);      // 1/10
void PeerVersionHandler(ApiContext *ctx, uint8_t phase);      // 1/11
void UnicodeTableHandler(ApiContext *ctx, uint8_t phase);     // 1/12
void Status2Handler(ApiContext *ctx, uint8_t phase);          // 1/13

// Class 2: calls and audio (api/calls.cpp, api/audio.cpp).
void SlowTalkHandler(ApiContext *ctx, uint8_t phase);         // 2/10
void SoundEnhancerHandler(ApiContext *ctx, uint8_t phase);    // 2/11
void RingerVolumeHandler(ApiContext *ctx, uint8_t phase);     // 2/16
void ReceiveVolumeHandler(ApiContext *ctx, uint8_t phase);    // 2/18
void CallInfoHandler(ApiContext *ctx, uint8_t phase);         // 2/20

// Class 3: system data, camera, operating mode (api/sysdata.cpp, api/camera.cpp).
void SystemDataReadHandler(ApiContext *ctx, uint8_t phase);   // 3/2
void SystemDataChangedHandler(ApiContext *ctx, uint8_t phase); // 3/3
void CameraReadHandler(ApiContext *ctx, uint8_t phase);       // 3/5
void OperatingModeHandler(ApiContext *ctx, uint8_t phase);    // 3/6

// Class 4: contacts (api/contacts.cpp).
void ContactCountHandler(ApiContext *ctx, uint8_t phase);     // 4/1
void ContactEntryHandler(ApiContext *ctx, uint8_t phase);     // 4/2
void ContactSetHandler(ApiContext *ctx, uint8_t phase);       // 4/3

// Classes 5 and 6: recorder (api/recorder.cpp).
void RecordCountHandler(ApiContext *ctx, uint8_t phase);      // 5/1
void RecordInfoHandler(ApiContext *ctx, uint8_t phase);       // 5/2
void PlaybackPositionHandler(ApiContext *ctx, uint8_t phase); // 6/8
void PlaybackVolumeHandler(ApiContext *ctx, uint8_t phase);   // 6/10
void RecordOpStatusHandler(ApiContext *ctx, uint8_t phase);   // 6/12

// Class 7: RTCP (api/rtcp.cpp).
void RtcpReceiveHandler(ApiContext *ctx, uint8_t phase);      // 7/2
void RtcpSetVersionHandler(ApiContext *ctx, uint8_t phase);   // 7/3
void RtcpGetVersionHandler(ApiContext *ctx, uint8_t phase);   // 7/4

// System data item lookup (api/sysdata.cpp): offset of the item's place in
// systemDataStore and its width. Returns 1 for the 55 stored ids and for the
// action ids 129..132 (no place: offset kNoPlace, width 0), 0 for every other
// id (offset kNoPlace, width 0).
constexpr uint16_t kNoPlace = 0xFFFF;
int LookupSystemDataItem(uint16_t itemId, uint16_t *offset, uint16_t *width);
bool IsTextItem(uint16_t itemId);

} // namespace morel

namespace morel {
// Records a changed item reported by the device and stores its value when
// `available` bytes hold all of it (api/sysdata.cpp).
void StoreChangedItem(ApiContext *ctx, uint16_t itemId, const uint8_t *value, size_t available);
} // namespace morel
