// System data: the item table, the store, its three exports and the 0x0301
// notification, against the simulated device.
#include <array>
#include <memory>
#include <set>

#include "api/handlers.h"
#include "link/frame.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

// Application requests of (class, command) in a device log.
size_t CountIn(const sim::Log &log, int cls, int cmd) {
    size_t n = 0;
    for (const sim::HostFrame &f : log.frames)
        n += f.classId == cls && f.commandId == cmd && f.destination == 3;
    return n;
}

// Stored items in store order with their widths; the text items have one more
// zero byte of room behind them.
struct ItemFact {
    uint16_t id;
    uint16_t width;
    bool text;
};
constexpr ItemFact kStoreOrder[] = {
    {1, 1, false},   {2, 5, false},   {3, 1, false},   {4, 1, false},   {5, 1, false},   {6, 1, false},
    {7, 1, false},   {19, 1, false},  {8, 1, false},   {9, 1, false},   {10, 1, false},  {17, 1, false},
    {18, 1, false},  {33, 1, false},  {34, 1, false},  {49, 1, false},  {50, 1, false},  {51, 1, false},
    {52, 1, false},  {53, 1, false},  {65, 1, false},  {66, 4, false},  {67, 4, false},  {68, 4, false},
    {69, 1, false},  {70, 4, false},  {71, 4, false},  {81, 1, false},  {82, 128, true}, {83, 4, false},
    {84, 128, true}, {85, 2, false},  {86, 4, false},  {87, 128, true}, {88, 2, false},  {89, 4, false},
    {90, 128, true}, {91, 2, false},  {92, 1, false},  {93, 32, true},  {94, 32, true},  {95, 32, true},
    {97, 1, false},  {98, 1, false},  {101, 2, false}, {102, 2, false}, {103, 2, false}, {104, 1, false},
    {109, 1, false}, {113, 2, false}, {114, 1, false}, {115, 1, false}, {116, 1, false}, {117, 1, false},
    {118, 1, false},
};

TEST(SystemDataItemTable, PlacesEveryStoredItemInStoreOrder) {
    ASSERT_EQ(std::size(kStoreOrder), 55u);
    uint16_t expected = 0;
    for (const ItemFact &f : kStoreOrder) {
        uint16_t offset = 1, width = 1;
        ASSERT_EQ(LookupSystemDataItem(f.id, &offset, &width), 1) << "item " << f.id;
        EXPECT_EQ(width, f.width) << "item " << f.id;
        EXPECT_EQ(offset, expected) << "item " << f.id;
        EXPECT_EQ(IsTextItem(f.id), f.text) << "item " << f.id;
        expected = static_cast<uint16_t>(expected + f.width + (f.text ? 1 : 0));
    }
    EXPECT_LE(expected, kSystemDataStoreBytes);
    // Spot checks of the two items that sit out of numeric order.
    uint16_t offset, width;
    LookupSystemDataItem(19, &offset, &width);
    EXPECT_EQ(offset, 11);
    LookupSystemDataItem(109, &offset, &width);
    uint16_t after104;
    LookupSystemDataItem(104, &after104, &width);
    EXPECT_EQ(offset, after104 + 1);
}

TEST(SystemDataItemTable, KnowsTheActionIdsWithoutAPlaceAndRefusesEveryOtherId) {
    std::set<uint16_t> stored;
    for (const ItemFact &f : kStoreOrder)
        stored.insert(f.id);
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
        if (stored.count(static_cast<uint16_t>(id)))
            continue;
        uint16_t offset = 7, width = 7;
        const int result = LookupSystemDataItem(static_cast<uint16_t>(id), &offset, &width);
        const bool action = id >= 129 && id <= 132;
        ASSERT_EQ(result, action ? 1 : 0) << "id " << id;
        ASSERT_EQ(width, 0) << "id " << id;
        ASSERT_EQ(offset, kNoPlace) << "id " << id;
        ASSERT_FALSE(IsTextItem(static_cast<uint16_t>(id)));
    }
}

// The answer decoders keep a cached value when the device's answer is too
// short to carry all of it (no bytes past the frame's end are taken).
TEST(AnswerDecoding, ShortAnswersKeepTheCachedValues) {
    auto ctx = std::make_unique<ApiContext>();
    auto &rx = ctx->rxFrame;
    auto answer = [&](CommandHandler handler, size_t length, uint8_t fill) {
        std::fill(std::begin(rx), std::end(rx), 0);
        std::fill(std::begin(rx) + 21, std::begin(rx) + static_cast<long>(length), fill);
        Put16(rx + kOffKind, kKindResponse);
        Put32(rx + kOffExtraLength, static_cast<uint32_t>(length - kMinFrame));
        ctx->rxLength = static_cast<uint16_t>(length);
        handler(ctx.get(), 1);
    };
    uint16_t off82, width;
    LookupSystemDataItem(82, &off82, &width);
    struct Case {
        const char *what;
        CommandHandler handler;
        size_t fullLength;
        std::function<void()> select;
        std::function<uint8_t()> firstByte; // first cached byte
        std::function<uint8_t()> lastByte;  // last cached byte
    };
    const Case cases[] = {
        {"item 82", SystemDataReadHandler, 21 + 128, [&] { ctx->sysDataItemId = 82; },
         [&] { return ctx->systemDataStore[off82]; }, [&] { return ctx->systemDataStore[off82 + 127]; }},
        {"contact 3", ContactEntryHandler, 185, [&] { ctx->contactIndex = 3; },
         [&] { return ctx->contactTable[2].contactData1[0]; }, [&] { return ctx->contactTable[2].contactData2[128]; }},
        {"camera", CameraReadHandler, 68, [] {}, [&] { return static_cast<uint8_t>(ctx->cameraValue1); },
         [&] { return static_cast<uint8_t>(ctx->cameraValue5 >> 8); }},
        {"rtcp block 1", RtcpReceiveHandler, 109, [&] { ctx->rtcpReceiveId = 1; },
         [&] { return ctx->rtcpReceiveBlock[0]; }, [&] { return ctx->rtcpReceiveBlock[87]; }},
        {"ctx->displayBuffer image", DisplayReadHandler, 742, [] {}, [&] { return ctx->displayBuffer[0]; }, [&] { return ctx->displayBuffer[720]; }},
        // A nonzero answered state puts the call into free slot 0.
        {"call information", CallInfoHandler, 157, [&] { ctx->callInfoCallId = 0x5A; },
         [&] { return ctx->callRecords[0].number[0]; },
         [&] { return static_cast<uint8_t>(ctx->callRecords[0].callParam >> 24); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.select();
        answer(c.handler, c.fullLength, 0x5A);
        ASSERT_EQ(c.firstByte(), 0x5A);
        ASSERT_EQ(c.lastByte(), 0x5A);
        answer(c.handler, c.fullLength - 1, 0x11);
        EXPECT_EQ(c.firstByte(), 0x5A) << "a short answer must not replace the value";
        EXPECT_EQ(c.lastByte(), 0x5A);
    }
}

class SystemData : public SimLibraryTest {
  protected:
    size_t CountOf(int cls, int cmd) { return FramesOf(cls, cmd, 3).size(); }
    std::vector<uint8_t> DeviceValue(uint16_t id) {
        sim::DeviceState st = sim::Snapshot(dev);
        const sim::SystemItem *it = sim::FindItem(st, id);
        return it ? std::vector<uint8_t>(it->value.begin(), it->value.begin() + it->width) : std::vector<uint8_t>{};
    }
    // A change reported by the device, waited for until its callback ran.
    void DeviceChanges(uint16_t id, std::vector<uint8_t> value) {
        const size_t before = EventRecorder::Get().Count(MORELAPI_EVENT_SYSTEM_DATA);
        ASSERT_TRUE(sim::ChangeItem(dev, id, value.data(), value.size()));
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_SYSTEM_DATA, before + 1));
    }
    void Notify(const std::vector<uint8_t> &data) {
        const size_t before = EventRecorder::Get().Count(MORELAPI_EVENT_SYSTEM_DATA);
        ASSERT_TRUE(sim::SendNotification(dev, 0x0301, data.data(), data.size()));
        ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_SYSTEM_DATA, before + 1));
    }
};

TEST_F(SystemData, StartUpMirrorsEveryItemOfTheDevice) {
    for (const ItemFact &f : kStoreOrder) {
        std::vector<uint8_t> buffer(f.width + 1, 0xCC);
        ASSERT_EQ(GetSystemData(f.id, buffer.data()), 1) << "item " << f.id;
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + f.width), DeviceValue(f.id)) << "item " << f.id;
    }
}

TEST_F(SystemData, GetSystemDataWritesWidthBytesAndTerminatesTexts) {
    DeviceChanges(82, std::vector<uint8_t>(128, 'A'));
    DeviceChanges(93, std::vector<uint8_t>(32, 'B'));
    const size_t reads = CountOf(3, 2);
    struct Case {
        uint16_t id;
        int result;
        size_t written; // bytes of the buffer written
        uint8_t content; // expected content byte (0: as the device holds it)
    };
    const Case cases[] = {
        {82, 1, 129, 'A'}, {93, 1, 33, 'B'}, {3, 1, 1, 0}, {66, 1, 4, 0},
        {0, 0, 0, 0},      {11, 0, 0, 0},    {133, 0, 0, 0}, {130, 1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        std::array<uint8_t, 140> buffer;
        buffer.fill(0xCC);
        ASSERT_EQ(GetSystemData(c.id, buffer.data()), c.result);
        for (size_t i = c.written; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written";
        if (c.written == 0)
            continue;
        const std::vector<uint8_t> device = DeviceValue(c.id);
        for (size_t i = 0; i < device.size(); ++i)
            ASSERT_EQ(buffer[i], c.content ? c.content : device[i]) << "byte " << i;
        if (IsTextItem(c.id)) {
            EXPECT_EQ(buffer[c.written - 1], 0) << "text is terminated";
        }
    }
    EXPECT_EQ(CountOf(3, 2), reads) << "only item 2 is read from the device";
}

TEST_F(SystemData, Item2IsReadAfreshFromTheDevice) {
    sim::Update(dev, [](sim::DeviceState &st) {
        sim::SystemItem *it = sim::FindItem(st, 2);
        for (int i = 0; i < 5; ++i)
            it->value[i] = static_cast<uint8_t>(0xA0 + i);
    });
    const size_t reads = CountOf(3, 2);
    std::array<uint8_t, 6> buffer;
    buffer.fill(0xCC);
    ASSERT_EQ(GetSystemData(2, buffer.data()), 1);
    EXPECT_EQ((std::array<uint8_t, 6>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xCC}), buffer);
    auto frames = FramesOf(3, 2, 3);
    ASSERT_EQ(frames.size(), reads + 1);
    EXPECT_EQ(Get16(frames.back().bytes.data() + 20), 2);

    // A failed re-read still answers from the store, with 1.
    sim::Update(dev, [](sim::DeviceState &st) { sim::FindItem(st, 2)->value[0] = 0x77; });
    sim::FaultRule fail;
    fail.classId = 3;
    fail.commandId = 2;
    fail.actions = sim::kFail;
    sim::AddFaultRule(dev, fail);
    buffer.fill(0xCC);
    ASSERT_EQ(GetSystemData(2, buffer.data()), 1);
    EXPECT_EQ(buffer[0], 0xA0);
    EXPECT_EQ(CountOf(3, 2), reads + 2);
}

TEST_F(SystemData, SetSystemDataFramesAndStore) {
    struct Case {
        uint16_t id;
        size_t width;
        uint32_t length;
        uint32_t extra;
    };
    const Case cases[] = {{1, 1, 64, 0}, {82, 128, 150, 86}, {93, 32, 64, 0}, {66, 4, 64, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        std::vector<uint8_t> value(c.width);
        for (size_t i = 0; i < c.width; ++i)
            value[i] = static_cast<uint8_t>(0x30 + i);
        ASSERT_EQ(SetSystemData(c.id, value.data()), 1);
        const sim::HostFrame f = FramesOf(3, 1, 3).back();
        EXPECT_EQ(f.length, c.length);
        EXPECT_EQ(f.bytes.size(), c.length);
        EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), c.extra);
        EXPECT_EQ(Get16(f.bytes.data() + 20), c.id);
        EXPECT_EQ(std::vector<uint8_t>(f.bytes.begin() + 22, f.bytes.begin() + 22 + static_cast<long>(c.width)), value);
        EXPECT_EQ(DeviceValue(c.id), value);
        std::vector<uint8_t> back(c.width + 1, 0xCC);
        ASSERT_EQ(GetSystemData(c.id, back.data()), 1);
        back.resize(c.width);
        EXPECT_EQ(back, value);
    }
    EXPECT_EQ(SetSystemData(11, "x"), 0);
    EXPECT_EQ(SetSystemData(0, "x"), 0);
}

TEST_F(SystemData, ARejectedOrFailedSetLeavesTheStoreAlone) {
    const std::vector<uint8_t> old = DeviceValue(66);
    for (uint32_t action : {uint32_t(sim::kRefuse), uint32_t(sim::kFail)}) {
        SCOPED_TRACE(action);
        sim::FaultRule rule;
        rule.classId = 3;
        rule.commandId = 1;
        rule.actions = action;
        sim::AddFaultRule(dev, rule);
        const uint8_t value[4] = {9, 9, 9, 9};
        EXPECT_EQ(SetSystemData(66, value), 0);
        std::array<uint8_t, 4> back{};
        ASSERT_EQ(GetSystemData(66, back.data()), 1);
        EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.end()), old);
    }
}

TEST_F(SystemData, Item131IsPostedWithoutWaitingAndWithoutReadingData) {
    // The device never answers: a waiting call would fail after its time-out.
    sim::FaultRule silent;
    silent.classId = 3;
    silent.commandId = 1;
    silent.count = 0;
    silent.actions = sim::kNoAnswer;
    sim::AddFaultRule(dev, silent);
    const size_t before = CountOf(3, 1);
    EXPECT_EQ(SetSystemData(131, nullptr), 1);
    EXPECT_EQ(IsCommandActive(), 0);
    ASSERT_TRUE(sim::WaitUntil(
        dev, [&](const sim::Log &log) { return CountIn(log, 3, 1) == before + 1; }, 3000ms));
    const sim::HostFrame f = FramesOf(3, 1, 3).back();
    EXPECT_EQ(f.length, 64u);
    EXPECT_EQ(Get16(f.bytes.data() + 20), 131);
    // The next request is not held up by the unanswered one.
    sim::ClearFaults(dev);
    uint8_t status = 0;
    EXPECT_EQ(GetSPphoneStatus(&status), 1);
}

TEST_F(SystemData, ChangedItemFollowsTheNotifications) {
    uint16_t id = 0xBEEF;
    std::array<uint8_t, 8> buffer;
    buffer.fill(0xCC);
    EXPECT_EQ(GetChangedSystemData(&id, buffer.data()), 0) << "nothing reported yet";
    EXPECT_EQ(id, 0xBEEF);

    DeviceChanges(66, {1, 2, 3, 4});
    for (int twice = 0; twice < 2; ++twice) {
        buffer.fill(0xCC);
        ASSERT_EQ(GetChangedSystemData(&id, buffer.data()), 1);
        EXPECT_EQ(id, 66);
        EXPECT_EQ((std::array<uint8_t, 8>{1, 2, 3, 4, 0xCC, 0xCC, 0xCC, 0xCC}), buffer);
    }
    auto events = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_SYSTEM_DATA);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().slot, MORELAPI_SLOT_SYSTEM_DATA);
    EXPECT_EQ(events.back().value, (std::vector<uint8_t>{66, 0}));

    // A later set of the same item shows through.
    const uint8_t newer[4] = {5, 6, 7, 8};
    ASSERT_EQ(SetSystemData(66, newer), 1);
    ASSERT_TRUE(EventRecorder::Get().WaitForCount(MORELAPI_EVENT_SYSTEM_DATA, 2));
    ASSERT_EQ(GetChangedSystemData(&id, buffer.data()), 1);
    EXPECT_EQ(buffer[0], 5);

    // An id outside the table is recorded and delivered, but not answered.
    Notify({11, 0, 0x42});
    events = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_SYSTEM_DATA);
    EXPECT_EQ(events.back().value, (std::vector<uint8_t>{11, 0}));
    EXPECT_EQ(GetChangedSystemData(&id, buffer.data()), 0);
}

TEST_F(SystemData, NotificationStoresOnlyItsItemAndOnlyWhenWhole) {
    std::array<uint8_t, 1> v19, v8;
    ASSERT_EQ(GetSystemData(19, v19.data()), 1);
    ASSERT_EQ(GetSystemData(8, v8.data()), 1);
    DeviceChanges(7, {0xE7});
    std::array<uint8_t, 1> b{};
    ASSERT_EQ(GetSystemData(7, b.data()), 1);
    EXPECT_EQ(b[0], 0xE7);
    ASSERT_EQ(GetSystemData(19, b.data()), 1);
    EXPECT_EQ(b, v19) << "the neighbour in the store is untouched";
    ASSERT_EQ(GetSystemData(8, b.data()), 1);
    EXPECT_EQ(b, v8);

    // Item 82 needs a frame of 150 bytes; this one ends 20 bytes short.
    std::vector<uint8_t> before(129);
    ASSERT_EQ(GetSystemData(82, before.data()), 1);
    std::vector<uint8_t> data = {82, 0};
    data.resize(2 + 108, 'Z');
    Notify(data);
    std::vector<uint8_t> after(129);
    ASSERT_EQ(GetSystemData(82, after.data()), 1);
    EXPECT_EQ(after, before) << "a value cut short must not be stored";
    uint16_t id = 0;
    ASSERT_EQ(GetChangedSystemData(&id, after.data()), 1);
    EXPECT_EQ(id, 82) << "the change itself is still recorded";
}

} // namespace
} // namespace morel_test
