// System data: the store, its three exports and the 0x0301 notification,
// against the simulated device; and the answer decoders on short answers.
#include <array>
#include <memory>

#include "api/handlers.h"
#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

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
    const struct {
        const char *what;
        CommandHandler handler;
        size_t fullLength;
        std::function<void()> select;
        std::function<uint8_t()> firstByte; // first cached byte
        std::function<uint8_t()> lastByte;  // last cached byte
    } cases[] = {
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
    for (const auto &c : cases) {
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
    std::vector<uint8_t> DeviceValue(uint16_t id) {
        const sim::DeviceState st = sim::Snapshot(dev);
        const sim::SystemItem *it = sim::FindItem(st, id);
        return it ? std::vector<uint8_t>(it->value.begin(), it->value.begin() + it->width) : std::vector<uint8_t>{};
    }
    std::vector<uint8_t> Read(uint16_t id, size_t n) {
        std::vector<uint8_t> v(n, 0xCC);
        EXPECT_EQ(GetSystemData(id, v.data()), 1) << "item " << id;
        return v;
    }
    // A change the device reports, waited for until its callback ran.
    void Notify(const std::vector<uint8_t> &data) {
        ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_SYSTEM_DATA, [&] {
            ASSERT_TRUE(sim::SendNotification(dev, 0x0301, data.data(), data.size()));
        }));
    }
};

// Every item the device stores, each with a value of its own, is read at the
// start and answered from the store: width bytes, and a terminator behind a
// text. Only item 2 is asked of the device again.
TEST_F(SystemData, StartUpMirrorsEveryItemOfTheDevice) {
    ReplaceDevice({});
    sim::Update(dev, [](sim::DeviceState &st) {
        for (sim::SystemItem &item : st.items)
            for (size_t i = 0; i < item.width; ++i)
                item.value[i] = static_cast<uint8_t>(0x80 | (item.id * 5 + i) % 0x40);
    });
    StartLibrary();
    const size_t reads = Sent(cmd::GetSystemData);
    const sim::DeviceState st = sim::Snapshot(dev);
    for (const sim::SystemItem &item : st.items) {
        const std::vector<uint8_t> got = Read(item.id, item.width + 2u);
        EXPECT_TRUE(std::equal(item.value.begin(), item.value.begin() + item.width, got.begin())) << "item " << item.id;
        EXPECT_TRUE(got[item.width] == 0 || got[item.width] == 0xCC) << "item " << item.id;
        EXPECT_EQ(got[item.width + 1u], 0xCC) << "item " << item.id << " wrote past its width";
    }
    EXPECT_EQ(Sent(cmd::GetSystemData), reads + 1) << "only item 2 is read from the device";
}

TEST_F(SystemData, IdsWithoutAPlaceWriteNothing) {
    for (auto [id, result] : {std::pair{0, 0}, {11, 0}, {133, 0}, {130, 1}}) {
        const std::vector<uint8_t> got = std::vector<uint8_t>(8, 0xCC);
        std::vector<uint8_t> buffer = got;
        EXPECT_EQ(GetSystemData(static_cast<uint16_t>(id), buffer.data()), result) << id;
        EXPECT_EQ(buffer, got) << id;
    }
    EXPECT_EQ(SetSystemData(11, "x"), 0);
    EXPECT_EQ(SetSystemData(0, "x"), 0);
    EXPECT_EQ(Sent(cmd::SetSystemData), 0u);
}

TEST_F(SystemData, Item2IsReadAfreshFromTheDevice) {
    sim::Update(dev, [](sim::DeviceState &st) {
        for (int i = 0; i < 5; ++i)
            sim::FindItem(st, 2)->value[i] = static_cast<uint8_t>(0xA0 + i);
    });
    const size_t reads = Sent(cmd::GetSystemData);
    EXPECT_EQ(Read(2, 6), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xCC}));
    EXPECT_EQ(Sent(cmd::GetSystemData), reads + 1);
    EXPECT_EQ(Get16(LastSent(cmd::GetSystemData).bytes.data() + 20), 2);
}

TEST_F(SystemData, SetSystemDataFramesAndStore) {
    const struct {
        uint16_t id;
        size_t width;
        uint32_t length;
    } cases[] = {{1, 1, 64}, {82, 128, 150}, {93, 32, 64}, {66, 4, 64}, {131, 0, 64}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        std::vector<uint8_t> value(c.width);
        for (size_t i = 0; i < c.width; ++i)
            value[i] = static_cast<uint8_t>(0x30 + i);
        ASSERT_EQ(SetSystemData(c.id, c.width ? value.data() : nullptr), 1);
        uint8_t status; // an action id is posted: a request answered behind it shows that it has arrived
        ASSERT_EQ(GetSPphoneStatus(&status), 1);
        const sim::HostFrame f = LastSent(cmd::SetSystemData);
        EXPECT_EQ(f.length, c.length);
        EXPECT_EQ(f.bytes.size(), c.length);
        EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), c.length - 64);
        EXPECT_EQ(Get16(f.bytes.data() + 20), c.id);
        EXPECT_TRUE(std::equal(value.begin(), value.end(), f.bytes.begin() + 22));
        EXPECT_EQ(DeviceValue(c.id), value);
        if (c.width > 0) {
            std::vector<uint8_t> got = Read(c.id, c.width + 1); // room for a text's terminator
            got.resize(c.width);
            EXPECT_EQ(got, value);
        }
    }
}

TEST_F(SystemData, ChangedItemFollowsTheNotifications) {
    uint16_t id = 0xBEEF;
    std::array<uint8_t, 8> buffer;
    buffer.fill(0xCC);
    EXPECT_EQ(GetChangedSystemData(&id, buffer.data()), 0) << "nothing reported yet";
    EXPECT_EQ(id, 0xBEEF);

    Notify({66, 0, 1, 2, 3, 4});
    for (int twice = 0; twice < 2; ++twice) {
        buffer.fill(0xCC);
        ASSERT_EQ(GetChangedSystemData(&id, buffer.data()), 1);
        EXPECT_EQ(id, 66);
        EXPECT_EQ((std::array<uint8_t, 8>{1, 2, 3, 4, 0xCC, 0xCC, 0xCC, 0xCC}), buffer);
    }
    const Recorded reported = EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_SYSTEM_DATA).back();
    EXPECT_EQ(reported.slot, MORELAPI_SLOT_SYSTEM_DATA);
    EXPECT_EQ(reported.value, (std::vector<uint8_t>{66, 0}));

    // A later set of the same item shows through.
    const uint8_t newer[4] = {5, 6, 7, 8};
    ASSERT_TRUE(EventRecorder::Get().AndWait(MORELAPI_EVENT_SYSTEM_DATA,
                                             [&] { ASSERT_EQ(SetSystemData(66, newer), 1); }));
    ASSERT_EQ(GetChangedSystemData(&id, buffer.data()), 1);
    EXPECT_EQ(buffer[0], 5);

    // An id outside the table is recorded and delivered, but not answered.
    Notify({11, 0, 0x42});
    EXPECT_EQ(EventRecorder::Get().EventsWithCode(MORELAPI_EVENT_SYSTEM_DATA).back().value,
              (std::vector<uint8_t>{11, 0}));
    EXPECT_EQ(GetChangedSystemData(&id, buffer.data()), 0);
}

TEST_F(SystemData, NotificationStoresOnlyItsItemAndOnlyWhenWhole) {
    const std::vector<uint8_t> item19 = Read(19, 1), item8 = Read(8, 1);
    Notify({7, 0, 0xE7});
    EXPECT_EQ(Read(7, 1)[0], 0xE7);
    EXPECT_EQ(Read(19, 1), item19) << "the neighbours in the store are untouched";
    EXPECT_EQ(Read(8, 1), item8);

    // Item 82 needs a frame of 150 bytes; this one ends 20 bytes short.
    const std::vector<uint8_t> before = Read(82, 129);
    std::vector<uint8_t> data = {82, 0};
    data.resize(2 + 108, 'Z');
    Notify(data);
    EXPECT_EQ(Read(82, 129), before) << "a value cut short must not be stored";
    uint16_t id = 0;
    std::vector<uint8_t> changed(129);
    ASSERT_EQ(GetChangedSystemData(&id, changed.data()), 1);
    EXPECT_EQ(id, 82) << "the change itself is still recorded";
}

} // namespace
} // namespace morel_test
