// Every request the library sends, by name: its class and command number.
// The exports, the start-up synchronisation, the command table and the tests
// use these names; the numbers appear nowhere else in the library.
#pragma once

#include <cstdint>

namespace morel {

struct Command {
    uint16_t classId;
    uint16_t commandId;
    friend constexpr bool operator==(Command, Command) = default;
};

namespace cmd {

// Class 0: frames without an answer.
inline constexpr Command KeepAlive{0, 1};
inline constexpr Command RawData{0, 2};

// Class 1: device status, identity, keys and display.
inline constexpr Command NoOperation{1, 1}; // in the table, sent by nothing
inline constexpr Command Reboot{1, 2};
inline constexpr Command ProductDefault{1, 3};
inline constexpr Command NetworkItem{1, 4};
inline constexpr Command KeyState{1, 5};
inline constexpr Command Key{1, 6};
inline constexpr Command DisplayRead{1, 7};
inline constexpr Command Version{1, 8};
inline constexpr Command Status{1, 9};
inline constexpr Command Destination{1, 10};
inline constexpr Command PeerVersion{1, 11};
inline constexpr Command UnicodeTable{1, 12};
inline constexpr Command Status2{1, 13};

// Class 2: calls and audio.
inline constexpr Command MakeCall{2, 1};
inline constexpr Command EndCall{2, 2};
inline constexpr Command AnswerCall{2, 3};
inline constexpr Command JoinCall{2, 4};
inline constexpr Command InviteConference{2, 5};
inline constexpr Command RejectCall{2, 6};
inline constexpr Command SetMute{2, 7};
inline constexpr Command SetSlowTalk{2, 8};
inline constexpr Command SetSoundEnhancer{2, 9};
inline constexpr Command GetSlowTalk{2, 10};
inline constexpr Command GetSoundEnhancer{2, 11};
inline constexpr Command GetRingerVolume{2, 16};
inline constexpr Command SetRingerVolume{2, 17};
inline constexpr Command GetReceiveVolume{2, 18};
inline constexpr Command SetReceiveVolume{2, 19};
inline constexpr Command CallInfo{2, 20};
inline constexpr Command HoldOperate{2, 21};

// Class 3: system data, network camera, operating mode.
inline constexpr Command SetSystemData{3, 1};
inline constexpr Command GetSystemData{3, 2};
inline constexpr Command SystemDataChanged{3, 3};
inline constexpr Command SetCamera{3, 4};
inline constexpr Command GetCamera{3, 5};
inline constexpr Command OperatingMode{3, 6};

// Class 4: contacts.
inline constexpr Command ContactCount{4, 1};
inline constexpr Command GetContact{4, 2};
inline constexpr Command SetContact{4, 3};
inline constexpr Command DeleteContact{4, 4};

// Class 5: recordings.
inline constexpr Command RecordCount{5, 1};
inline constexpr Command RecordInfo{5, 2};
inline constexpr Command DeleteRecord{5, 3};
inline constexpr Command DeleteAllRecords{5, 4};

// Class 6: recorder and playback.
inline constexpr Command StartRecording{6, 1};
inline constexpr Command StopRecording{6, 2};
inline constexpr Command StartPlayback{6, 3};
inline constexpr Command StopPlayback{6, 4};
inline constexpr Command PausePlayback{6, 5};
inline constexpr Command ResumePlayback{6, 6};
inline constexpr Command PlaybackPosition{6, 8};
inline constexpr Command GetPlaybackVolume{6, 10};
inline constexpr Command SetPlaybackVolume{6, 11};
inline constexpr Command RecordOpStatus{6, 12};

// Class 7: RTCP parameters.
inline constexpr Command RtcpSend{7, 1};
inline constexpr Command RtcpReceive{7, 2};
inline constexpr Command SetRtcpVersion{7, 3};
inline constexpr Command GetRtcpVersion{7, 4};

} // namespace cmd
} // namespace morel
