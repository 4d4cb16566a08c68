// Contacts against the simulated device: the range edges and the frame of SetContact.
#include <array>
#include <numeric>

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
    std::iota(e.data1.begin(), e.data1.end(), uint8_t{0x40});
    e.byte = 0x9B;
    std::iota(e.data2.begin(), e.data2.end(), uint8_t{0});
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

} // namespace
} // namespace morel_test
