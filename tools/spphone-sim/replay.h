// Replay: the simulated device answers as a traced device did. A protocol
// trace (the library's JSON Lines, written with MORELAPI_TRACE) is loaded;
// each request the host sends is answered with the recorded answers of the
// next recorded request of its class and command, and what the traced device
// sent after that answer (notifications, a lost link) follows with the
// recorded delays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim.h"

namespace simreplay {

// What a trace may load, so that a large file cannot take the memory: the
// recorded requests and the bytes of their frames (requests, answers and
// what follows; a link change counts as a 64-byte frame).
constexpr size_t kMaxRequests = 100000;
constexpr size_t kMaxLoadedBytes = size_t{64} << 20;
// Messages for the console wait here until the program prints them; beyond
// this many the oldest go.
constexpr size_t kMaxMessages = 1000;

// One thing the traced device sent after a request: t is the trace's time.
struct Recorded {
    std::vector<uint8_t> bytes; // empty for a link change
    int32_t type;               // TALVO_TYPE_DATA, or the link report
    double t;
    bool answer; // an acknowledgement or response: sent under the new request's sequence
};

struct Request {
    uint16_t classId;
    uint16_t commandId;
    uint8_t version;
    uint32_t sequence;
    std::vector<Recorded> sent; // in the recorded order
    double anchor;              // time of the last answer (of the request when none came)
    bool timedOut = false;      // the library gave up waiting: later answers are not its
    bool used = false;
};

struct Replay {
    // Request indexes in the recorded order, and where the unused ones begin.
    struct Queue {
        std::vector<size_t> order;
        size_t cursor = 0;
    };
    // The requests of one class and command: all of them, and by body.
    struct Track {
        Queue all;
        std::map<std::string, Queue> byBody; // by the request body's bytes
    };

    std::mutex m;
    std::vector<Request> requests;
    std::map<std::pair<uint16_t, uint16_t>, Track> tracks;
    std::map<std::pair<uint16_t, uint16_t>, std::string> names; // as the trace names them
    uint8_t version = 0x30;  // the traced device's protocol version
    size_t sessions = 0;     // sessions in the file up to the one loaded
    size_t skippedLines = 0; // lines in the session that are no trace line
    std::vector<std::string> messages;
};

// Loads session (1 = the first) of the trace at path. False with a reason in
// *error when the file cannot be read, holds no such session or a session of
// another format, or exceeds the bounds above.
bool Load(const std::string &path, size_t session, Replay *replay, std::string *error);

// Answers one request frame as the trace does (a sim::RequestAnswerer).
void AnswerRequest(Replay &replay, const uint8_t *frame, size_t length, std::vector<sim::Outgoing> *out);

// The console lines the replay has to say since the last call.
std::vector<std::string> TakeMessages(Replay &replay);

} // namespace simreplay
