// The protocol trace of sessions on the simulated device: what the faults
// leave in it, and that a reader who does not read holds no library thread
// and loses no line without counting it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "core/trace.h"
#include "tools/common/trace_line.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

namespace cmd = morel::cmd;

using Line = tools::TraceLine;

std::string Field(const Line &l, const std::string &key) { return l.Text(key); }

// A whole session's trace, parsed: each line one object, the header first,
// `end` last, and between them lines with a time that never goes back (a
// write's line brings the earlier time the write began).
std::vector<Line> ParseTrace(const std::string &text) {
    std::vector<Line> lines;
    std::istringstream in(text);
    for (std::string raw; std::getline(in, raw);) {
        std::string error;
        std::optional<Line> line = tools::ParseTraceLine(raw, &error);
        EXPECT_TRUE(line.has_value()) << raw << ": " << error;
        lines.push_back(line.value_or(Line{}));
    }
    EXPECT_GT(lines.size(), 2u);
    EXPECT_TRUE(lines.empty() || (Field(lines[0], "trace") == "morelapi" && Field(lines[0], "format") == "1"));
    EXPECT_TRUE(lines.empty() || Field(lines.back(), "ev") == "end");
    double last = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_FALSE(Field(lines[i], "t").empty() || Field(lines[i], "ev").empty()) << "line " << i;
        if (Field(lines[i], "ev") == "tx")
            continue;
        EXPECT_GE(std::stod("0" + Field(lines[i], "t")), last) << "line " << i;
        last = std::stod("0" + Field(lines[i], "t"));
    }
    return lines;
}

// The value of `bytes` little-endian bytes at `offset` of a frame in hex.
uint32_t HexField(const std::string &hex, size_t offset, size_t bytes) {
    uint32_t v = 0;
    for (size_t b = bytes; b-- > 0;)
        v = v << 8 | static_cast<uint32_t>(std::stoul(hex.substr(2 * (offset + b), 2), nullptr, 16));
    return v;
}

// The library traced into a file, or a FIFO, named by the test.
class Trace : public SimLibraryTest {
  protected:
    void SetUp() override {
        path = testing::TempDir() + "morelapi_trace_" + std::to_string(getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name();
        std::remove(path.c_str());
        if (fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            reader = open(path.c_str(), O_RDONLY | O_NONBLOCK); // lets the library's open go through
            ASSERT_GE(reader, 0);
        }
        setenv("MORELAPI_TRACE", path.c_str(), 1);
        SimLibraryTest::SetUp();
    }
    void TearDown() override {
        SimLibraryTest::TearDown();
        unsetenv("MORELAPI_TRACE");
        if (reader >= 0)
            close(reader);
        std::remove(path.c_str());
    }
    std::string path;
    bool fifo = false;
    int reader = -1;
};

// Each of the lines of `ev` (and, when given, with key = value).
std::vector<Line> Lines(const std::vector<Line> &all, const std::string &ev, const char *key = nullptr,
                        const std::string &value = {}) {
    std::vector<Line> out;
    for (const Line &l : all)
        if (Field(l, "ev") == ev && (key == nullptr || Field(l, key) == value))
            out.push_back(l);
    return out;
}

TEST_F(Trace, FaultsShowAsTheirLinesInOrder) {
    morel::g_timing.replyTimeoutMs = 150;
    uint8_t status = 0;
    sim::AddFaultRule(dev, RuleFor(cmd::Status, sim::kWrongSequence)); // answers that match nothing: the request times out
    EXPECT_EQ(GetSPphoneStatus(&status), 0);
    const uint32_t timedOut = LastSent(cmd::Status).sequence;
    sim::AddFaultRule(dev, RuleFor(cmd::Status, sim::kGarbageBefore)); // a bad header: the ring is flushed
    EXPECT_EQ(GetSPphoneStatus(&status), 0);
    sim::AddFaultRule(dev, RuleFor(cmd::Status, sim::kReportLink)); // the link drops with the request pending
    EXPECT_EQ(GetSPphoneStatus(&status), 0);
    const uint32_t released = LastSent(cmd::Status).sequence;
    ASSERT_TRUE(EventRecorder::Get().WaitFor([](const std::vector<Recorded> &ev) {
        return !ev.empty() && ev.back().code == MORELAPI_EVENT_LINK && ev.back().value == std::vector<uint8_t>{1};
    }));
    // An unknown event and a chunk over 4096 bytes.
    ASSERT_TRUE(sim::SendNotification(dev, 0x0999, nullptr, 0));
    const std::vector<uint8_t> chunk(5000, 0x30);
    sim::SendRawBytes(dev, chunk.data(), chunk.size());
    ASSERT_EQ(GetSPphoneStatus(&status), 1); // answered behind both
    TerminateUsbApiLib();

    std::ifstream file(path);
    const std::vector<Line> lines = ParseTrace(std::string(std::istreambuf_iterator<char>(file), {}));
    for (const std::string ev : {"tx", "rx"}) {
        for (const Line &f : Lines(lines, ev)) {
            const std::string &hex = f.Text("hex");
            ASSERT_EQ(hex.size(), 2 * std::stoul(Field(f, "len")));
            EXPECT_EQ(HexField(hex, 16, 4) + 64, std::stoul(Field(f, "len")));
            EXPECT_EQ(std::to_string(HexField(hex, 2, 2)), Field(f, "class"));
            EXPECT_EQ(std::to_string(HexField(hex, 12, 4)), Field(f, "seq"));
        }
    }
    const std::string seq = std::to_string(timedOut);
    EXPECT_EQ(Lines(lines, "timeout", "seq", seq).size(), 1u);
    EXPECT_EQ(Lines(lines, "timeout", "seq", seq).at(0).Find("reason"), nullptr);
    EXPECT_EQ(Lines(lines, "unmatched", "seq", std::to_string(timedOut + 1)).size(), 2u) << "ack and response";
    EXPECT_EQ(Lines(lines, "timeout", "reason", "link").at(0).Text("seq"), std::to_string(released));
    ASSERT_EQ(Lines(lines, "flush").size(), 1u);
    EXPECT_EQ(Lines(lines, "flush").at(0).Text("hex").substr(0, 32), std::string(32, 'e'));
    EXPECT_EQ(Lines(lines, "lost").size(), 0u);
    EXPECT_EQ(Lines(lines, "unknown-event", "id", "0x0999").size(), 1u);
    EXPECT_EQ(Lines(lines, "chunk", "dropped", "5000").size(), 1u);
    // The lost link, the request it released, the link set up again and
    // the stop, in order.
    std::vector<std::string> steps;
    for (const Line &l : lines) {
        const std::string ev = Field(l, "ev");
        if (ev == "link" && Field(l, "up") == "false")
            steps.clear();
        if (ev == "link" || ev == "open" || ev == "close" || ev == "startup" || (ev == "timeout" && l.Find("reason") != nullptr))
            steps.push_back(ev + Field(l, "up") + Field(l, "phase"));
    }
    const std::vector<std::string> expected{"linkfalse",    "close",      "timeout", "open",
                                            "startupbegin", "startupend", "linktrue", "close"};
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(Lines(lines, "startup", "phase", "end").back().Text("ok"), "true");
}

// The trace into a FIFO that nobody reads until the application is done.
class TraceToPipe : public Trace {
  protected:
    TraceToPipe() { fifo = true; }
};

TEST_F(TraceToPipe, SlowReaderHoldsNoThreadAndEveryLostLineIsCounted) {
    Flag done;
    std::thread app([&] {
        uint8_t status = 0;
        for (int i = 0; i < 2000; ++i)
            EXPECT_EQ(GetSPphoneStatus(&status), 1);
        done.Set();
    });
    EXPECT_TRUE(done.Wait(120s)) << "the requests were held by the trace";
    std::string text;
    std::thread drain([&] {
        fcntl(reader, F_SETFL, 0);
        char buf[65536];
        for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
    });
    app.join();
    TerminateUsbApiLib();
    drain.join(); // the end of the file: the library has closed it
    const uint64_t offered = morel::TraceLinesOfferedForTesting();

    const std::vector<Line> lines = ParseTrace(text);
    uint64_t written = 0, lost = 0;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        if (Field(lines[i], "ev") == "lost")
            lost += std::stoull(lines[i].Text("lines"));
        else
            ++written;
    }
    EXPECT_GT(lost, 0u) << "the buffer never filled";
    EXPECT_EQ(written + lost, offered);
}

// A reader that never reads: the stop gives up on the trace's writer after a
// bound instead of hanging, the next start traces whole into its own file,
// and the writer left behind still finishes, and closes the FIFO, once read.
TEST_F(TraceToPipe, StopDoesNotWaitForAReaderThatNeverReads) {
    uint8_t status = 0;
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(GetSPphoneStatus(&status), 1);
    Flag stopped;
    std::thread stop([&] {
        TerminateUsbApiLib();
        stopped.Set();
    });
    EXPECT_TRUE(stopped.Wait(60s)) << "the stop waited for the trace's reader";
    stop.join();

    const std::string second = path + ".2";
    setenv("MORELAPI_TRACE", second.c_str(), 1);
    StartLibrary();
    EXPECT_EQ(GetSPphoneStatus(&status), 1);
    TerminateUsbApiLib();
    std::ifstream file(second);
    const std::vector<Line> lines = ParseTrace(std::string(std::istreambuf_iterator<char>(file), {}));
    EXPECT_FALSE(Lines(lines, "tx").empty());
    std::remove(second.c_str());

    fcntl(reader, F_SETFL, 0);
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) // ends when the writer closes the FIFO
        text.append(buf, static_cast<size_t>(n));
    EXPECT_NE(text.find("\"ev\":\"end\""), std::string::npos);
}

} // namespace
} // namespace morel_test
