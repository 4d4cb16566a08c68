/*
 * morelapi: host-side API of the USB conference speakerphone.
 *
 * Call InitializeUsbApiLib once; the library then finds the device by itself,
 * reads its whole state and reports the link through event 0x0105 on slot 1.
 * Functions that talk to the device block for at most 3000 ms and return 1 on
 * success, 0 on failure. Cached getters answer at once.
 *
 * Threading: notification callbacks run on the library's event thread, one at
 * a time, in arrival order; the link report (0x0105) runs on the link thread.
 * A callback may call any function of this header, TerminateUsbApiLib included.
 */
#ifndef MORELAPI_H
#define MORELAPI_H

#include <stdint.h>

#define MORELAPI_VERSION_MAJOR 1
#define MORELAPI_VERSION_MINOR 0
#define MORELAPI_VERSION_PATCH 0
#define MORELAPI_VERSION ((MORELAPI_VERSION_MAJOR << 16) | (MORELAPI_VERSION_MINOR << 8) | MORELAPI_VERSION_PATCH)

#if defined(_WIN32) && !defined(_WIN64)
#define MORELAPI_CALL __stdcall
#else
#define MORELAPI_CALL
#endif

#if defined(_WIN32)
#if defined(MORELAPI_BUILDING)
#define MORELAPI_EXPORT __declspec(dllexport)
#else
#define MORELAPI_EXPORT __declspec(dllimport)
#endif
#elif defined(MORELAPI_BUILDING)
#define MORELAPI_EXPORT __attribute__((visibility("default")))
#else
#define MORELAPI_EXPORT
#endif

#define MORELAPI_API(type) MORELAPI_EXPORT type MORELAPI_CALL

#ifdef __cplusplus
extern "C" {
#endif

/* Callback of an event slot: the event code, the slot's userWord and either
 * the slot's dataBuffer or, for value-carrying events, a pointer to the value. */
typedef void(MORELAPI_CALL *SPphoneEventCallback)(uint32_t eventCode, uint32_t userWord, void *data);

/* Event slots */
#define MORELAPI_SLOT_RAW_DATA 0
#define MORELAPI_SLOT_DEVICE 1
#define MORELAPI_SLOT_CALL 2
#define MORELAPI_SLOT_SYSTEM_DATA 3
#define MORELAPI_SLOT_CONTACTS 4
#define MORELAPI_SLOT_RECORDS 5
#define MORELAPI_SLOT_RECORDER 6
#define MORELAPI_SLOT_RTCP 7
#define MORELAPI_SLOT_COUNT 8

/* Event codes with a value or a meaning the library knows */
#define MORELAPI_EVENT_RAW_DATA 0x0002u        /* slot 0: ReceiveFixed128RawData has the block */
#define MORELAPI_EVENT_KEY 0x0104u             /* slot 1: GetKey has the key */
#define MORELAPI_EVENT_LINK 0x0105u            /* slot 1: value byte 0 = link down, 1 = link up */
#define MORELAPI_EVENT_DISPLAY 0x0106u         /* slot 1: GetLCDdata has the image */
#define MORELAPI_EVENT_RINGER_VOLUME 0x0107u   /* slot 1: value byte */
#define MORELAPI_EVENT_RECEIVE_VOLUME 0x0108u  /* slot 1: value byte */
#define MORELAPI_EVENT_PLAYBACK_VOLUME 0x0109u /* slot 1: value byte */
#define MORELAPI_EVENT_SYSTEM_DATA 0x0301u     /* slot 3: value u16 item id */

/* Call events (slot 2; the value byte is the call id). The code is the one the
 * application receives; the call state it stands for is in the comment. */
#define MORELAPI_EVENT_CALL_0201 0x0201u /* state 8, details */
#define MORELAPI_EVENT_CALL_0202 0x0202u /* state 9, details */
#define MORELAPI_EVENT_CALL_0203 0x0203u /* state 2, details */
#define MORELAPI_EVENT_CALL_0204 0x0204u /* state 10, details */
#define MORELAPI_EVENT_CALL_0205 0x0205u /* state 0, ended */
#define MORELAPI_EVENT_CALL_0206 0x0206u /* state 16 */
#define MORELAPI_EVENT_CALL_0207 0x0207u /* state 12 */
#define MORELAPI_EVENT_CALL_0208 0x0208u /* state 11 */
#define MORELAPI_EVENT_CALL_0209 0x0209u /* state 13 */
#define MORELAPI_EVENT_CALL_020A 0x020Au /* state 15 */
#define MORELAPI_EVENT_CALL_020C 0x020Cu /* state 4, ended */
#define MORELAPI_EVENT_CALL_020D 0x020Du /* state 5, ended */
#define MORELAPI_EVENT_CALL_020E 0x020Eu /* state 6, ended */
#define MORELAPI_EVENT_CALL_020F 0x020Fu /* state 7, ended */
#define MORELAPI_EVENT_CALL_0210 0x0210u /* state 18 */
#define MORELAPI_EVENT_CALL_0211 0x0211u /* state 19 */
#define MORELAPI_EVENT_CALL_0212 0x0212u /* state 20 */
#define MORELAPI_EVENT_CALL_0213 0x0213u /* state 17 */
#define MORELAPI_EVENT_CALL_0214 0x0214u /* state 22 */
#define MORELAPI_EVENT_CALL_0215 0x0215u /* state 23 */
#define MORELAPI_EVENT_CALL_0216 0x0216u /* state 24, ended */
#define MORELAPI_EVENT_CALL_0217 0x0217u /* state 25, ended */
#define MORELAPI_EVENT_CALL_0218 0x0218u /* state 26, ended */
#define MORELAPI_EVENT_CALL_0219 0x0219u /* state 21 */
#define MORELAPI_EVENT_CALL_021A 0x021Au /* state 27 */
#define MORELAPI_EVENT_CALL_021B 0x021Bu /* state 28 */
#define MORELAPI_EVENT_CALL_021C 0x021Cu /* state 29 */
#define MORELAPI_EVENT_CALL_021D 0x021Du /* state 30 */
#define MORELAPI_EVENT_CALL_021E 0x021Eu /* state 31 */
#define MORELAPI_EVENT_CALL_021F 0x021Fu /* state 32 */

/* Sizes of the caller's buffers */
#define MORELAPI_DISPLAY_BYTES 721
#define MORELAPI_UNICODE_ENTRY_BYTES 44
#define MORELAPI_UNICODE_TABLE_BYTES 440
#define MORELAPI_CALL_TEXT_BYTES 129
#define MORELAPI_CONTACT_DATA1_BYTES 34
#define MORELAPI_CONTACT_DATA2_BYTES 129
#define MORELAPI_CAMERA_TEXT_BYTES 17
#define MORELAPI_RTCP_SEND_BYTES 84
#define MORELAPI_RTCP_RECEIVE_BYTES 88
#define MORELAPI_RAW_DATA_BYTES 128

/* Lifecycle and status */
MORELAPI_API(int) InitializeUsbApiLib(void);
MORELAPI_API(void) TerminateUsbApiLib(void);
MORELAPI_API(int) IsSPphoneAvailable(void);
MORELAPI_API(int) IsCommandActive(void);
MORELAPI_API(int) IsProductDefault(void);
MORELAPI_API(int) DoCancelCommand(void);
MORELAPI_API(uint16_t) ErrorCode(void);
MORELAPI_API(int) Reboot(void);

/* Event registration */
MORELAPI_API(uint32_t) RegisterEvent(uint16_t slotIndex, SPphoneEventCallback callback, uint32_t userWord, void *dataBuffer);
MORELAPI_API(uint32_t) UnregisterEvent(uint16_t slotIndex);

/* Status and identity */
MORELAPI_API(int) GetSPphoneStatus(uint8_t *statusOut);
MORELAPI_API(int) GetSPphoneStatus2(uint8_t *statusOut, uint8_t *status2Out);
MORELAPI_API(int) GetVersionSpeakerphone(uint8_t which, uint16_t *versionOut);
MORELAPI_API(int) GetCTIVersion(uint8_t *versionOut);
MORELAPI_API(int) GetDestination(uint8_t *code, uint16_t *value);
MORELAPI_API(int) GetIPnetworkInfo(uint8_t item, void *info);
MORELAPI_API(int) ActiveUnicode(void *table, uint8_t *countOut);

/* Keys and display */
MORELAPI_API(int) GetKey(uint8_t *keyCodeOut, uint8_t *keyActionOut);
MORELAPI_API(int) SetKey(uint8_t key, uint8_t action);
MORELAPI_API(int) GetLCDdata(void *image);

/* Call control */
MORELAPI_API(int) MakeCall(uint8_t param1, uint8_t param2, const void *number);
MORELAPI_API(int) EndCall(uint8_t param);
MORELAPI_API(int) AnswerCall(void);
MORELAPI_API(int) HoldOperate(uint8_t param);
MORELAPI_API(int) JoinCall(void);
MORELAPI_API(int) InviteConference(void);
MORELAPI_API(int) RejectCall(void);

/* Audio settings */
MORELAPI_API(int) SetMute(uint8_t mute);
MORELAPI_API(int) GetSlowTalk(uint8_t *mode);
MORELAPI_API(int) SetSlowTalk(uint8_t mode);
MORELAPI_API(int) GetSoundEnhancer(uint8_t *mode);
MORELAPI_API(int) SetSoundEnhancer(uint8_t mode);
MORELAPI_API(int) GetRingerVol(uint8_t *volume);
MORELAPI_API(int) SetRingerVol(uint8_t volume);
MORELAPI_API(int) GetReceiveVol(uint8_t *volume);
MORELAPI_API(int) SetReceiverVol(uint8_t volume);

/* System data and call information */
MORELAPI_API(int) GetSystemData(uint16_t itemId, void *buffer);
MORELAPI_API(int) SetSystemData(uint16_t itemId, const void *data);
MORELAPI_API(int) GetChangedSystemData(uint16_t *itemId, void *buffer);
MORELAPI_API(int) GetCallInfo(uint8_t callId, uint8_t *state, void *text, uint32_t *value);

/* Contacts */
MORELAPI_API(int) GetContactCount(uint8_t *count);
MORELAPI_API(int) GetContact(uint8_t index, void *data1, uint8_t *byte, void *data2);
MORELAPI_API(uint8_t) SetContact(const void *data1, const uint8_t *byte, const void *data2);
MORELAPI_API(int) DeleteContact(uint8_t index);

/* Recorder */
MORELAPI_API(int) GetRecordCount(uint8_t *count);
MORELAPI_API(int) GetRecordInfo(uint8_t index, void *groupA, uint32_t *value, void *groupB);
MORELAPI_API(int) DeleteRecord(uint8_t index);
MORELAPI_API(int) DeleteAllRecords(void);
MORELAPI_API(int) StartRecording(void);
MORELAPI_API(int) StopRecording(void);
MORELAPI_API(int) StartPlayback(uint8_t index);
MORELAPI_API(int) StopPlayback(void);
MORELAPI_API(int) PausePlayback(void);
MORELAPI_API(int) ResumePlayback(uint32_t resumeValue);
MORELAPI_API(int) GetCurrentPlaybackPos(uint32_t *position);
MORELAPI_API(int) GetPlaybackVol(uint8_t *volume);
MORELAPI_API(int) SetPlaybackVol(uint8_t volume);
MORELAPI_API(int) GetRecordOpStatus(uint32_t *opStatus);

/* Network camera and operating mode */
MORELAPI_API(int) SetNwCameraInfo(uint32_t value1, uint16_t value2, uint8_t value3, const void *text1, const void *text2,
                                  uint32_t value4, uint16_t value5);
MORELAPI_API(int) GetNwCameraInfo(uint32_t *value1, uint16_t *value2, uint8_t *value3, void *text1, void *text2,
                                  uint32_t *value4, uint16_t *value5);
MORELAPI_API(int8_t) GetOpeMode(void);

/* RTCP and raw data */
MORELAPI_API(int) SetRtcpSend(uint16_t blockId, const void *data);
MORELAPI_API(int) GetRtcpReceive(uint16_t blockId, void *buffer);
MORELAPI_API(uint16_t) SetRtcpVer(uint16_t verArg1, uint32_t verArg2, uint8_t verArg3);
MORELAPI_API(uint16_t) GetRtcpVer(uint32_t arg1, uint32_t arg2, uint8_t *verByte);
MORELAPI_API(int) SendFixed128RawData(const void *data);
MORELAPI_API(int) ReceiveFixed128RawData(void *buffer);

#ifdef __cplusplus
}
#endif

#endif /* MORELAPI_H */
