// The tools' own pieces: parsing, output, the spphone-sim console, its
// listening endpoints and the host sink that bounds what a host leaves unread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/commands.h"
#include "sim/sim.h"
#include "tools/common/output.h"
#include "tools/common/parse.h"
#include "tools/spphone-sim/console.h"
#include "tools/spphone-sim/endpoint.h"
#include "tools/spphone/device.h"

namespace {

using namespace std::chrono_literals;

TEST(ParseUnsigned, AcceptsDecimalAndHexWithinTheLimit) {
    const std::optional<uint64_t> no;
    const struct {
        const char *text;
        uint64_t max;
        std::optional<uint64_t> value;
    } cases[] = {{"0", 255, 0},   {"255", 255, 255}, {"256", 255, no}, {"0x1F", 255, 31}, {"0XfF", 255, 255},
                 {"0x", 255, no}, {"", 255, no},     {"-1", 255, no},  {"+1", 255, no},   {"12a", 255, no},
                 {" 1", 255, no}, {"18446744073709551615", UINT64_MAX, UINT64_MAX},
                 {"18446744073709551616", UINT64_MAX, no}, {"0x10000000000000000", UINT64_MAX, no}};
    for (const auto &c : cases) {
        std::string why;
        EXPECT_EQ(tools::ParseUnsigned(c.text, c.max, &why), c.value) << c.text;
        EXPECT_EQ(why.empty(), c.value.has_value()) << c.text << ": " << why;
    }
    // A limit is named in the base the number was typed in.
    std::string why;
    EXPECT_FALSE(tools::ParseUnsigned("0x40", 0x30, &why));
    EXPECT_EQ(why, "'0x40' is above 0x30");
    EXPECT_FALSE(tools::ParseUnsigned("64", 0x30, &why));
    EXPECT_EQ(why, "'64' is above 48");
}

TEST(ParseDuration, UnitsAndRefusals) {
    const std::optional<std::chrono::milliseconds> no;
    const struct {
        std::string text;
        std::optional<std::chrono::milliseconds> value;
    } cases[] = {{"1.2s", 1200ms}, {"750ms", 750ms}, {"2m", 120000ms}, {"3", 3000ms},  {"0.5", 500ms}, {"0", 0ms},
                 {"", no},         {"s", no},        {"ms", no},       {"1.2.3s", no}, {"-1s", no},    {"1e3", no},
                 {"90000s", no},   {"1h", no},       {"2 s", no},      {"0." + std::string(400, '0') + "1", 0ms},
                 // beyond the range of a double: an answer, not an exception
                 {std::string(400, '9') + "s", no}};
    for (const auto &c : cases)
        EXPECT_EQ(tools::ParseDuration(c.text), c.value) << c.text;
}

// Hex may fill the whole width, text only maxText (room for a terminator); both padded with zeros.
TEST(ParseBytes, HexAndTextArePaddedToTheWidth) {
    EXPECT_EQ(tools::ParseBytes("hex:0a 0B:0c-0d", 6, 5), (std::vector<uint8_t>{0x0a, 0x0b, 0x0c, 0x0d, 0, 0}));
    EXPECT_EQ(tools::ParseBytes("abc", 5, 4), (std::vector<uint8_t>{'a', 'b', 'c', 0, 0}));
    EXPECT_EQ(tools::ParseBytes("", 3, 2), (std::vector<uint8_t>(3, 0)));
    EXPECT_TRUE(tools::ParseBytes("hex:0102030405", 5, 4));
    EXPECT_TRUE(tools::ParseBytes("abcd", 5, 4));
    EXPECT_FALSE(tools::ParseBytes("abcde", 5, 4));
    EXPECT_EQ(tools::ParseByteString("hex:00ff00", 3), (std::vector<uint8_t>{0, 0xff, 0}));
    for (const char *bad : {"hex:0", "hex:0g", "hex:0a0", "hex:0 a", "hex:010203"}) {
        std::string why;
        EXPECT_FALSE(tools::ParseBytes(bad, 2, 2, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

TEST(ParseKey, OneCharacterIsItsCodeLongerFormsAreNumbers) {
    const std::pair<const char *, std::optional<uint8_t>> cases[] = {
        {"F", 0x46}, {"5", '5'}, {"#", '#'}, {"0x46", 0x46}, {"70", 70}, {"256", {}}, {"", {}}, {"FF", {}}};
    for (const auto &[text, key] : cases)
        EXPECT_EQ(tools::ParseKey(text), key) << text;
}

TEST(SplitWords, QuotesKeepSpaces) {
    std::vector<std::string> w;
    ASSERT_TRUE(tools::SplitWords("  ring \"555 123\"  x ", &w));
    EXPECT_EQ(w, (std::vector<std::string>{"ring", "555 123", "x"}));
    ASSERT_TRUE(tools::SplitWords(R"(a "say \"hi\" \\ ok")", &w));
    EXPECT_EQ(w, (std::vector<std::string>{"a", "say \"hi\" \\ ok"}));
    ASSERT_TRUE(tools::SplitWords("   ", &w));
    EXPECT_TRUE(w.empty());
    EXPECT_FALSE(tools::SplitWords("ring \"555", &w));
}

// JSON stays valid for any device bytes; text puts flat records on one line, indents multi-line text.
TEST(Output, JsonAndTextFormsOfOneValue) {
    tools::Value rec = tools::MakeObject();
    tools::Add(rec, "id", tools::MakeInt(-1));
    tools::Add(rec, "text", tools::MakeStr("two words"));
    tools::Value list = tools::MakeArray();
    tools::Add(list, "", rec);
    tools::Value top = tools::MakeObject();
    tools::Add(top, "ok", tools::MakeBool(false));
    tools::Add(top, "calls", list);
    tools::Add(top, "none", tools::MakeArray());
    tools::Add(top, "display", tools::MakeStr("READY\nIDLE\n"));
    EXPECT_EQ(tools::ToText(top),
              "ok: no\ncalls:\n  id=-1 text=\"two words\"\nnone: (none)\ndisplay:\n  READY\n  IDLE\n");
    tools::Add(top, "raw", tools::MakeStr(std::string("a\"b\\c\n\x01\xff", 8)));
    EXPECT_EQ(tools::ToJson(top), R"({"ok":false,"calls":[{"id":-1,"text":"two words"}],"none":[],)"
                                  R"("display":"READY\nIDLE\n","raw":"a\"b\\c\n\u0001\u00ff"})");
}

TEST(Output, HexDumpCollapsesRepeatedLinesButShowsTheEnd) {
    std::vector<uint8_t> image(721, 0);
    std::memcpy(image.data(), "READY", 5);
    const std::string dump = tools::HexDump(image.data(), image.size());
    EXPECT_EQ(dump.rfind("0000  52 45 41 44 59 00", 0), 0u) << dump;
    EXPECT_NE(dump.find("READY..........."), std::string::npos);
    EXPECT_NE(dump.find("\n*\n"), std::string::npos);
    EXPECT_NE(dump.find("\n02d0  00       "), std::string::npos) << dump; // the partial last line
    // Exactly two full lines: nothing to collapse, both shown.
    std::vector<uint8_t> two(32, 0xAB);
    EXPECT_EQ(tools::HexDump(two.data(), two.size()).find('*'), std::string::npos);
}

TEST(Output, TextOfDeviceBuffers) {
    const uint8_t display[] = {'V', 'O', 'L', '\n', 0x01, 'x', 0, 'h', 'i'};
    EXPECT_EQ(tools::TextOf(display, sizeof display), "VOL\n.x");
    EXPECT_TRUE(tools::LooksLikeText(display, 4));
    EXPECT_FALSE(tools::LooksLikeText(display, sizeof display));
    EXPECT_FALSE(tools::LooksLikeText(display + 6, 3)) << "text starts at the first byte";

    const uint8_t utf16[] = {'A', 0, 'B', 0, 0, 0, 'C', 0};
    EXPECT_EQ(tools::Utf16AsciiText(utf16, sizeof utf16), "AB");
    const uint8_t other[] = {'A', 0x04, 0, 0};
    EXPECT_EQ(tools::Utf16AsciiText(other, sizeof other), "");
}

// TALVO_DEVICE as the transport reads it; what it never connects to is refused with the reason.
TEST(DeviceAddress, AcceptsWhatTheTransportTakesAndNamesWhatIsWrong) {
    using Kind = spphone::DeviceAddress::Kind;
    const struct {
        const char *value;
        Kind kind;
        const char *host;
        uint16_t port;
    } accepted[] = {{nullptr, Kind::InProcess, "", 0},         {"", Kind::InProcess, "", 0},
                    {"sim", Kind::InProcess, "", 0},           {"unix:/run/d.sock", Kind::Unix, "", 0},
                    {"tcp:127.0.0.1:5000", Kind::Tcp, "127.0.0.1", 5000}, {"tcp:::1:65535", Kind::Tcp, "::1", 65535}};
    for (const auto &c : accepted) {
        std::string why;
        auto a = spphone::ParseDeviceAddress(c.value, &why);
        ASSERT_TRUE(a) << (c.value ? c.value : "(unset)") << ": " << why;
        EXPECT_EQ(std::tie(a->kind, a->host, a->port), std::tie(c.kind, c.host, c.port)) << a->text;
    }
    const std::pair<std::string, const char *> refused[] = {
        {"tcp:[::1]:65535", "numeric address"},  {"tcp:localhost:5000", "numeric address"},
        {"bogus", "no device address"},          {"SIM", "no device address"},
        {"unix:", "path"},                       {"unix:/" + std::string(200, 'd'), ""},
        {"tcp:127.0.0.1:99999", "1..65535"},     {"tcp:127.0.0.1:0", "1..65535"},
        {"tcp:127.0.0.1:", "1..65535"},          {"tcp:127.0.0.1:80x", "1..65535"},
        {"tcp:5000", "host and a port"},         {"tcp::5000", "host and a port"}};
    for (const auto &[value, says] : refused) {
        std::string why;
        EXPECT_FALSE(spphone::ParseDeviceAddress(value.c_str(), &why)) << value;
        EXPECT_NE(why.find(says), std::string::npos) << value << ": " << why;
    }
}

struct SimConsole : ::testing::Test {
    ~SimConsole() override { sim::DestroyDevice(console.dev); }
    simconsole::Reply Run(const std::string &line) { return simconsole::RunLine(console, line); }
    sim::DeviceState State() { return sim::Snapshot(console.dev); }
    simconsole::Console console{sim::CreateDevice(), {}};
};

TEST_F(SimConsole, BadLinesAreRefusedAndChangeNothing) {
    ASSERT_TRUE(Run("ring 5551234").ok);
    const std::string before = Run("state").text + Run("item 66").text;
    for (const char *line : {"ring", "frobnicate", "ring \"open", "item 66 4294967296", "item 11 5", "item 82 hex:0g",
                             "version 0x31", "version 0x0f", "volume bass 3", "key", "key FF", "callstate 1",
                             "hangup 0", "fault", "fault bogus", "fault refuse class=x", "fault refuse colour=red",
                             "fault opens", "fault answer-anyway at=20", "fault answer-anyway patch=",
                             "fault fail at=742", "notify 70000", "garbage 0", "sleep", "sleep forever",
                             "wait-host soon", "raw hex:0102zz"}) {
        const simconsole::Reply r = Run(line);
        EXPECT_FALSE(r.ok) << line;
        EXPECT_EQ(r.text.rfind("error: ", 0), 0u) << line << " -> " << r.text;
        EXPECT_EQ(r.control, simconsole::Control::None) << line;
    }
    // Wheels and call ids outside the device's ranges name the range.
    const struct {
        const char *line, *says;
    } ranges[] = {{"volume ringer 4", "ringer volume (0..3)"},   {"volume ringer 256", "ringer volume (0..3)"},
                  {"volume receive 0", "receive volume (1..8)"}, {"volume playback 9", "playback volume (1..8)"},
                  {"hangup 7", "call id"},                       {"callstate 7 12", "call id"}};
    for (const auto &row : ranges) {
        const simconsole::Reply r = Run(row.line);
        EXPECT_FALSE(r.ok) << row.line;
        EXPECT_NE(r.text.find(row.says), std::string::npos) << row.line << " -> " << r.text;
    }
    EXPECT_EQ(Run("state").text + Run("item 66").text, before);
    EXPECT_TRUE(Run("volume ringer 0").ok);
    EXPECT_TRUE(Run("volume playback 8").ok);
}

TEST_F(SimConsole, ItemValuesTakeTheItemsWidth) {
    const struct {
        const char *line;
        uint16_t id;
        std::vector<uint8_t> bytes;
    } cases[] = {{"item 66 70000", 66, {0x70, 0x11, 0x01, 0x00}}, {"item 66 hex:01020304", 66, {1, 2, 3, 4}},
                 {"item 85 0xBEEF", 85, {0xEF, 0xBE}},             {"item 2 hex:0102", 2, {1, 2, 0, 0, 0}},
                 {"item 93 \"12 34\"", 93, {'1', '2', ' ', '3', '4', 0}}}; // a text item: digits stay text
    for (const auto &c : cases) {
        ASSERT_TRUE(Run(c.line).ok) << c.line;
        const sim::DeviceState st = State();
        EXPECT_EQ(std::memcmp(sim::FindItem(st, c.id)->value.data(), c.bytes.data(), c.bytes.size()), 0) << c.line;
    }
}

TEST_F(SimConsole, DeviceActionsChangeTheDevice) {
    ASSERT_TRUE(Run("ring 5551234").ok);
    ASSERT_TRUE(State().calls[0].live);
    EXPECT_TRUE(Run("hangup").ok);
    EXPECT_FALSE(State().calls[0].live);
    EXPECT_FALSE(Run("hangup").ok); // nothing left to hang up

    for (const char *line : {"key F 1", "version 0x20", "notready"})
        EXPECT_TRUE(Run(line).ok) << line;
    const std::string state = Run("state").text;
    EXPECT_EQ(state.rfind("ok protocol 0x20 status 12 ", 0), 0u) << state;
    EXPECT_NE(state.find(" key 70/1"), std::string::npos) << state;
    EXPECT_TRUE(Run("ready 5").ok);
    EXPECT_EQ(State().status, 5);
}

TEST_F(SimConsole, FlowLinesTellTheProgramWhatToDo) {
    using C = simconsole::Control;
    const std::pair<const char *, C> cases[] = {{"quit", C::Quit}, {"exit", C::Quit}, {"sleep 250ms", C::Sleep},
                                                {"wait-host", C::WaitHost}, {"# note", C::None}};
    for (const auto &[line, control] : cases)
        EXPECT_EQ(Run(line).control, control) << line;
}

TEST_F(SimConsole, FaultRulesAreParsedIntoThePlan) {
    simconsole::Reply r = Run("fault refuse+delay class=2 cmd=1 dest=3 ms=1.5s count=2 skip=1");
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_EQ(r.text, "ok refuse+delay class=2 cmd=1 dest=3 skip=1 count=2");
    ASSERT_EQ(console.plan.rules.size(), 1u);
    const sim::FaultRule &rule = console.plan.rules[0];
    EXPECT_EQ(rule.actions, sim::kRefuse | sim::kDelay);
    EXPECT_EQ(rule.delayMs, 1500u);
    EXPECT_TRUE(Run("fault garbage-before garbage=3 byte=0x55 ms=20").ok);
    EXPECT_EQ(console.plan.rules[1].garbageBytes, 3u);
    EXPECT_EQ(console.plan.rules[1].garbageByte, 0x55);
    EXPECT_EQ(console.plan.rules[1].delayMs, 20u); // a bare number is milliseconds
}

// Each test in its own directory, private as mkdtemp makes it.
struct Endpoints : ::testing::Test {
    void SetUp() override { ASSERT_NE(mkdtemp(dir.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir = "/tmp/tools-test.XXXXXX";
};

TEST_F(Endpoints, UnixSocketIsPrivateAndServesOneDeviceAtATime) {
    const std::string path = dir + "/d.sock";
    simserver::Endpoint ep;
    std::string error;
    ASSERT_TRUE(simserver::ListenUnix(path, &ep, &error)) << error;
    EXPECT_EQ(ep.talvoDevice, "unix:" + path);
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0600));

    simserver::Endpoint second;
    EXPECT_FALSE(simserver::ListenUnix(path, &second, &error));
    EXPECT_NE(error.find("already listens"), std::string::npos) << error;
    simserver::CloseEndpoint(&ep);
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
}

TEST_F(Endpoints, RefusesPathsOthersCouldReachOrThatAreNoSocket) {
    simserver::Endpoint ep;
    std::string error;
    const std::string shared = dir + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0755) | chmod(shared.c_str(), 0755), 0); // whatever the umask
    EXPECT_FALSE(simserver::ListenUnix(shared + "/d.sock", &ep, &error));
    EXPECT_NE(error.find("other users"), std::string::npos) << error;

    const std::string file = dir + "/file";
    ASSERT_EQ(::close(::creat(file.c_str(), 0600)), 0);
    EXPECT_FALSE(simserver::ListenUnix(file, &ep, &error));
    EXPECT_EQ(access(file.c_str(), F_OK), 0) << "a file that is not a socket is never removed";

    EXPECT_FALSE(simserver::ListenUnix(dir + "/" + std::string(120, 'x'), &ep, &error));
}

TEST_F(Endpoints, TcpStaysOnLoopbackUnlessAskedOtherwise) {
    const struct {
        const char *address;
        bool any, ok;
    } cases[] = {{"0", false, true},          {"127.0.0.1:0", false, true}, {"localhost:0", false, true},
                 {"0.0.0.0:0", false, false}, {"0.0.0.0:0", true, true},    {"10.1.2.3:0", false, false},
                 {"example:0", false, false}, {"70000", false, false},      {"127.0.0.1:x", false, false}};
    for (const auto &c : cases) {
        simserver::Endpoint ep;
        std::string error;
        const bool ok = simserver::ListenTcp(c.address, c.any, &ep, &error);
        EXPECT_EQ(ok, c.ok) << c.address << ": " << error;
        if (ok) {
            EXPECT_EQ(ep.talvoDevice.rfind("tcp:127.0.0.1:", 0), 0u) << ep.talvoDevice;
            EXPECT_NE(ep.talvoDevice, "tcp:127.0.0.1:0") << "the real port is shown";
        }
        simserver::CloseEndpoint(&ep);
    }
}

// A status request as the host writes it (little-endian host).
std::vector<uint8_t> StatusRequest(uint32_t seq) {
    std::vector<uint8_t> f(64, 0);
    const uint8_t head[] = {0x30, 0xFF, 0, 0, 0, 0, 3, 0, 1, 0, 1, 0};
    std::memcpy(f.data(), head, sizeof head);
    std::memcpy(&f[2], &morel::cmd::Status.classId, 2);
    std::memcpy(&f[4], &morel::cmd::Status.commandId, 2);
    std::memcpy(&f[12], &seq, 4);
    return f;
}

// Reads until n bytes came or the stream ended; what came.
std::vector<uint8_t> ReadUpTo(int fd, size_t n) {
    std::vector<uint8_t> got(n);
    const ssize_t k = ::recv(fd, got.data(), n, MSG_WAITALL);
    got.resize(k > 0 ? static_cast<size_t>(k) : 0);
    return got;
}

struct HostSink : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        const timeval limit{10, 0}; // a read that takes this long hangs
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ASSERT_TRUE(sim::ConnectSink(dev, simserver::HostSink(dev, fds[0])));
    }
    void TearDown() override {
        ::shutdown(fds[0], SHUT_RDWR);
        sim::DestroyDevice(dev);
        ::close(fds[0]);
        ::close(fds[1]);
    }
    sim::Device *dev = sim::CreateDevice();
    int fds[2] = {-1, -1};
};

TEST_F(HostSink, AnswersGoOutInOrderAndALinkReportClosesAfterThem) {
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        auto req = StatusRequest(seq);
        ASSERT_TRUE(sim::HostWrite(dev, req.data(), req.size()));
    }
    sim::DropLink(dev);
    std::vector<uint8_t> got = ReadUpTo(fds[1], 64 * 8);
    ASSERT_EQ(got.size(), 64u * 7) << "version notice, then an acknowledgement and an answer per request, then the end";
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        EXPECT_EQ(got[64 * (2 * seq - 1) + 12], seq);
        EXPECT_EQ(got[64 * (2 * seq) + 12], seq);
    }
}

TEST_F(HostSink, AHostThatReadsNothingIsDroppedAtTheBound) {
    // Each request is answered with 128 bytes: the bound is passed long before
    // this many, even with the socket's own buffers.
    const uint32_t most = 4 * simserver::kHostUnreadLimit / 128;
    uint32_t seq = 0;
    while (sim::IsConnected(dev) && ++seq < most) {
        auto req = StatusRequest(seq);
        if (!sim::HostWrite(dev, req.data(), req.size()))
            break;
        if (seq % 1024 == 0)
            sim::WaitIdle(dev, std::chrono::seconds(10)); // the device keeps up, as with a real host's pace
    }
    ASSERT_TRUE(sim::WaitUntil(dev, [](const sim::Log &l) { return l.idle; }, std::chrono::seconds(10)));
    EXPECT_FALSE(sim::IsConnected(dev)) << "still connected after " << seq << " requests";
    const std::vector<uint8_t> got = ReadUpTo(fds[1], 8 * simserver::kHostUnreadLimit);
    EXPECT_LT(got.size(), 2 * simserver::kHostUnreadLimit) << "the connection ends after what the socket held";
}

} // namespace
