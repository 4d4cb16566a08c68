// Every request the library sends, by name: its class and command number.
// The exports, the start-up synchronisation, the command table, the trace
// and the tests use these names; the numbers appear nowhere else in the
// library.
#pragma once

#include <cstdint>

namespace morel {

struct Command {
    uint16_t classId;
    uint16_t commandId;
    friend constexpr bool operator==(Command, Command) = default;
};

// The one list: X(Name, class, command) for each command.
#define MORELAPI_COMMANDS(X) \
    /* Class 0: frames without an answer. */                    \
    X(KeepAlive, 0, 1)                                          \
    X(RawData, 0, 2)                                            \
    /* Class 1: device status, identity, keys and display. */   \
    X(NoOperation, 1, 1) /* in the table, sent by nothing */    \
    X(Reboot, 1, 2)                                             \
    X(ProductDefault, 1, 3)                                     \
    X(NetworkItem, 1, 4)                                        \
    X(KeyState, 1, 5)                                           \
    X(Key, 1, 6)                                                \
    X(DisplayRead, 1, 7)                                        \
    X(Version, 1, 8)                                            \
    X(Status, 1, 9)                                             \
    X(Destination, 1, 10)                                       \
    X(PeerVersion, 1, 11)                                       \
    X(UnicodeTable, 1, 12)                                      \
    X(Status2, 1, 13)                                           \
    /* Class 2: calls and audio. */                             \
    X(MakeCall, 2, 1)                                           \
    X(EndCall, 2, 2)                                            \
    X(AnswerCall, 2, 3)                                         \
    X(JoinCall, 2, 4)                                           \
    X(InviteConference, 2, 5)                                   \
    X(RejectCall, 2, 6)                                         \
    X(SetMute, 2, 7)                                            \
    X(SetSlowTalk, 2, 8)                                        \
    X(SetSoundEnhancer, 2, 9)                                   \
    X(GetSlowTalk, 2, 10)                                       \
    X(GetSoundEnhancer, 2, 11)                                  \
    X(GetRingerVolume, 2, 16)                                   \
    X(SetRingerVolume, 2, 17)                                   \
    X(GetReceiveVolume, 2, 18)                                  \
    X(SetReceiveVolume, 2, 19)                                  \
    X(CallInfo, 2, 20)                                          \
    X(HoldOperate, 2, 21)                                       \
    /* Class 3: system data, network camera, operating mode. */ \
    X(SetSystemData, 3, 1)                                      \
    X(GetSystemData, 3, 2)                                      \
    X(SystemDataChanged, 3, 3)                                  \
    X(SetCamera, 3, 4)                                          \
    X(GetCamera, 3, 5)                                          \
    X(OperatingMode, 3, 6)                                      \
    /* Class 4: contacts. */                                    \
    X(ContactCount, 4, 1)                                       \
    X(GetContact, 4, 2)                                         \
    X(SetContact, 4, 3)                                         \
    X(DeleteContact, 4, 4)                                      \
    /* Class 5: recordings. */                                  \
    X(RecordCount, 5, 1)                                        \
    X(RecordInfo, 5, 2)                                         \
    X(DeleteRecord, 5, 3)                                       \
    X(DeleteAllRecords, 5, 4)                                   \
    /* Class 6: recorder and playback. */                       \
    X(StartRecording, 6, 1)                                     \
    X(StopRecording, 6, 2)                                      \
    X(StartPlayback, 6, 3)                                      \
    X(StopPlayback, 6, 4)                                       \
    X(PausePlayback, 6, 5)                                      \
    X(ResumePlayback, 6, 6)                                     \
    X(PlaybackPosition, 6, 8)                                   \
    X(GetPlaybackVolume, 6, 10)                                 \
    X(SetPlaybackVolume, 6, 11)                                 \
    X(RecordOpStatus, 6, 12)                                    \
    /* Class 7: RTCP parameters. */                             \
    X(RtcpSend, 7, 1)                                           \
    X(RtcpReceive, 7, 2)                                        \
    X(SetRtcpVersion, 7, 3)                                     \
    X(GetRtcpVersion, 7, 4)

namespace cmd {
#define MORELAPI_COMMAND_CONSTANT(name, classId, commandId) inline constexpr Command name{classId, commandId};
MORELAPI_COMMANDS(MORELAPI_COMMAND_CONSTANT)
#undef MORELAPI_COMMAND_CONSTANT
} // namespace cmd

struct CommandNameEntry {
    Command command;
    const char *name;
};

inline constexpr CommandNameEntry kCommandNames[] = {
#define MORELAPI_COMMAND_NAME(name, classId, commandId) {cmd::name, #name},
    MORELAPI_COMMANDS(MORELAPI_COMMAND_NAME)
#undef MORELAPI_COMMAND_NAME
};

// The command's name in the list above, or "?" for a pair it lacks.
constexpr const char *CommandName(Command command) {
    for (const CommandNameEntry &e : kCommandNames)
        if (e.command == command)
            return e.name;
    return "?";
}

} // namespace morel
