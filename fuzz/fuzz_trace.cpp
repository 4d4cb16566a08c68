// A trace comes from another machine, and spphone-sim --replay and spphone
// trace read it as it is: any bytes as a trace file, each line through the
// line reader, the file loaded for replay, and one request of every recorded
// class and command answered from it (twice, so that the unused ones run out).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/common/trace_line.h"
#include "tools/spphone-sim/replay.h"

namespace {

std::string TracePath() {
    char path[] = "/tmp/fuzz_trace.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    close(fd);
    return path;
}

void Put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = TracePath();
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        if (const auto line = tools::ParseTraceLine(text.substr(at, end - at)))
            (void)tools::ParseHexBytes(line->Text("hex"));
        at = end + 1;
    }

    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();
    simreplay::Replay replay;
    std::string error;
    if (!simreplay::Load(path, 1, &replay, &error))
        return 0;
    uint32_t sequence = 1;
    for (int round = 0; round < 2; ++round) {
        for (const auto &[key, track] : replay.tracks) {
            uint8_t frame[64] = {};
            frame[0] = replay.version;
            frame[1] = 0xFF;
            Put16(frame + 2, key.first);
            Put16(frame + 4, key.second);
            Put16(frame + 6, 3);  // to the application's address
            Put16(frame + 8, 1);  // from the host
            Put16(frame + 10, 1); // a request
            Put16(frame + 12, static_cast<uint16_t>(sequence++));
            std::vector<sim::Outgoing> out;
            simreplay::AnswerRequest(replay, frame, sizeof frame, &out);
        }
    }
    simreplay::TakeMessages(replay);
    return 0;
}
