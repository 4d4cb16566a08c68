// Contacts against the simulated device: the range edges, the frame of SetContact and the cached values after a failure.
#include <array>
#include <string>

#include "tests/support/fixture.h"

namespace morel_test {
namespace {

using namespace morel;

struct Entry {
    std::array<uint8_t, 34> data1;
    uint8_t byte;
    std::array<uint8_t, 129> data2;
    void Fill(uint8_t v) {
        data1.fill(v);
        byte = v;
        data2.fill(v);
    }
    bool operator==(const Entry &) const = default;
};

Entry FromDevice(const sim::Contact &c) { return Entry{c.data1, c.byte, c.data2}; }

int Read(uint8_t n, Entry &e) { return GetContact(n, e.data1.data(), &e.byte, e.data2.data()); }

class Contacts : public SimLibraryTest {};

TEST_F(Contacts, RangeEdgesOfGetAndDelete) {
    struct Case {
        uint8_t index;
        bool getSends;
        bool deleteSends;
        bool getSucceeds;
    };
    // 100 holds nothing on the device: reading and deleting it fail there,
    // but both are asked.
    const Case cases[] = {{0, false, false, false},   {1, true, true, true},     {100, true, true, false},
                          {101, false, false, false}, {254, false, false, false}, {255, false, true, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.index));
        const size_t gets = Sent(cmd::GetContact), deletes = Sent(cmd::DeleteContact);
        Entry e;
        e.Fill(0xCC);
        const int got = Read(c.index, e);
        EXPECT_EQ(Sent(cmd::GetContact), gets + (c.getSends ? 1 : 0));
        if (!c.getSends) {
            EXPECT_EQ(got, 0);
            Entry untouched;
            untouched.Fill(0xCC);
            EXPECT_EQ(e, untouched) << "nothing written";
        } else {
            EXPECT_EQ(got, c.getSucceeds ? 1 : 0);
            EXPECT_EQ(LastSent(cmd::GetContact).bytes[20], c.index);
        }
        if (c.index == 1)
            continue; // keep the list for the rest of the table
        const int deleted = DeleteContact(c.index);
        EXPECT_EQ(Sent(cmd::DeleteContact), deletes + (c.deleteSends ? 1 : 0));
        if (c.deleteSends) {
            EXPECT_EQ(LastSent(cmd::DeleteContact).bytes[20], c.index);
        } else {
            EXPECT_EQ(deleted, 0);
        }
    }
    // The last one, 255, emptied the device's list; the cache changes only
    // when the count is read again.
    EXPECT_EQ(sim::Snapshot(dev).contactCount, 0);
    uint8_t count = 0xCC;
    ASSERT_EQ(GetContactCount(&count), 1);
    EXPECT_EQ(count, 0);
}

TEST_F(Contacts, SetContactSendsTheEntryAndReturnsTheDevicesByte) {
    Entry e;
    for (size_t i = 0; i < e.data1.size(); ++i)
        e.data1[i] = static_cast<uint8_t>(0x40 + i);
    e.byte = 0x9B;
    for (size_t i = 0; i < e.data2.size(); ++i)
        e.data2[i] = static_cast<uint8_t>(i);
    const uint8_t before = sim::Snapshot(dev).contactCount;
    const uint8_t answer = SetContact(e.data1.data(), &e.byte, e.data2.data());
    EXPECT_EQ(answer, before + 1) << "the device answers the entry's number";
    const sim::HostFrame f = LastSent(cmd::SetContact);
    ASSERT_EQ(f.length, 184u);
    EXPECT_EQ(Get32(f.bytes.data() + kOffExtraLength), 120u);
    EXPECT_TRUE(std::equal(e.data1.begin(), e.data1.end(), f.bytes.begin() + 20));
    EXPECT_EQ(f.bytes[54], e.byte);
    EXPECT_TRUE(std::equal(e.data2.begin(), e.data2.end(), f.bytes.begin() + 55));

    // Read back through the device, not from a local copy.
    uint8_t count = 0;
    ASSERT_EQ(GetContactCount(&count), 1);
    EXPECT_EQ(count, answer);
    Entry back;
    back.Fill(0);
    ASSERT_EQ(Read(answer, back), 1);
    EXPECT_EQ(back, e);
}

TEST_F(Contacts, CachedValuesAreWrittenOutAfterAFailedExchange) {
    g_timing.replyTimeoutMs = 200;
    const sim::DeviceState st = sim::Snapshot(dev);
    // The device's list changes behind the library's back; the cache keeps
    // what the last successful reads gave.
    sim::Update(dev, [](sim::DeviceState &s) {
        s.contactCount = 9;
        s.contacts[1].byte = 0x77;
    });
    AddFault(cmd::ContactCount, sim::kNoAnswer);
    uint8_t count = 0xCC;
    EXPECT_EQ(GetContactCount(&count), 0);
    EXPECT_EQ(count, st.contactCount);

    AddFault(cmd::GetContact, sim::kFail);
    Entry e;
    e.Fill(0xCC);
    EXPECT_EQ(Read(2, e), 0);
    EXPECT_EQ(e, FromDevice(st.contacts[1]));

    // A successful read picks the change up.
    ASSERT_EQ(GetContactCount(&count), 1);
    EXPECT_EQ(count, 9);
    ASSERT_EQ(Read(2, e), 1);
    EXPECT_EQ(e.byte, 0x77);
}

} // namespace
} // namespace morel_test
