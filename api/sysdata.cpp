// System data: the item table, the store, the read and changed-item
// answers, the changed-item notification, and the system data exports.
#include <array>

#include "api/handlers.h"
#include "api/request.h"
#include "events/notify.h"

namespace morel {

namespace {

struct SystemDataItem {
    uint16_t id;
    uint16_t width;
    bool text; // zero-terminated text: one more zero byte of room behind it
};

// The stored items in store order.
constexpr SystemDataItem kItems[] = {
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
static_assert(sizeof kItems / sizeof kItems[0] == 55, "55 stored items");

constexpr uint16_t kFirstActionId = 129;
constexpr uint16_t kLastActionId = 132;

struct Place {
    uint16_t offset;
    uint16_t width;
    bool known;
};

// Direct index by id; the ids all lie below 133.
constexpr std::array<Place, 133> MakeIndex() {
    std::array<Place, 133> index{};
    for (auto &p : index)
        p = Place{kNoPlace, 0, false};
    uint16_t offset = 0;
    for (const SystemDataItem &item : kItems) {
        index[item.id] = Place{offset, item.width, true};
        offset = static_cast<uint16_t>(offset + item.width + (item.text ? 1 : 0));
    }
    for (uint16_t id = kFirstActionId; id <= kLastActionId; ++id)
        index[id] = Place{kNoPlace, 0, true};
    return index;
}
constexpr std::array<Place, 133> kIndex = MakeIndex();

constexpr size_t StoreSize() {
    size_t size = 0;
    for (const SystemDataItem &item : kItems)
        size += item.width + (item.text ? 1 : 0);
    return size;
}
static_assert(StoreSize() <= kSystemDataStoreBytes, "store holds every item");

} // namespace

int LookupSystemDataItem(uint16_t itemId, uint16_t *offset, uint16_t *width) {
    Place p = itemId < kIndex.size() ? kIndex[itemId] : Place{kNoPlace, 0, false};
    if (offset != nullptr)
        *offset = p.offset;
    if (width != nullptr)
        *width = p.width;
    return p.known ? 1 : 0;
}

bool IsTextItem(uint16_t itemId) {
    for (const SystemDataItem &item : kItems)
        if (item.id == itemId)
            return item.text;
    return false;
}

namespace {

// Copies an item's value from `src` into the store when `available` bytes
// hold all of it; a short value leaves the stored one alone.
void StoreItem(ApiContext *ctx, uint16_t itemId, const uint8_t *src, size_t available) {
    uint16_t offset, width;
    if (LookupSystemDataItem(itemId, &offset, &width) != 1 || offset == kNoPlace || available < width)
        return;
    std::memcpy(ctx->systemDataStore + offset, src, width);
}

size_t BytesFrom(const ApiContext *ctx, size_t frameOffset) {
    return ctx->rxLength > frameOffset ? ctx->rxLength - frameOffset : 0;
}

} // namespace

void SystemDataReadHandler(ApiContext *ctx, uint8_t phase) {
    // Every id goes out, also one the table does not know: the device
    // answers for the item asked, and the store takes only known ones.
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
        Put16(tx + 20, ctx->sysDataItemId);
        return;
    }
    if (ResponseFrameForPhase1(ctx, phase) != nullptr)
        StoreItem(ctx, ctx->sysDataItemId, ctx->rxFrame + 21, BytesFrom(ctx, 21));
}

void SystemDataChangedHandler(ApiContext *ctx, uint8_t phase) {
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r == nullptr)
        return;
    ctx->lastChangedItem = Get16(r + 21);
    StoreItem(ctx, ctx->lastChangedItem, r + 23, BytesFrom(ctx, 23));
}

// The device reports a changed item: its id, and its value when the frame
// holds all of it.
void SystemDataEventHandler(ApiContext *ctx, uint8_t phase) {
    const EventRecord *rec = CurrentEvent(ctx, phase);
    if (rec == nullptr)
        return;
    const uint16_t itemId = Get16(rec->frame + 20);
    {
        LockGuard g(ctx->queueLock);
        ctx->lastChangedItem = itemId;
        StoreItem(ctx, itemId, rec->frame + 22, rec->length > 22 ? rec->length - 22 : 0);
    }
    uint8_t value[2];
    Put16(value, itemId);
    DeliverValue(ctx, MORELAPI_SLOT_SYSTEM_DATA, rec->entry->eventCode, value, sizeof value);
}

} // namespace morel

using namespace morel;

namespace {

constexpr uint16_t kRereadItem = 2; // the one item read from the device on every GetSystemData
constexpr uint16_t kPostedItemA = 131;
constexpr uint16_t kPostedItemB = 132;

} // namespace

extern "C" {

MORELAPI_API(int) GetSystemData(uint16_t itemId, void *buffer) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || buffer == nullptr)
        return 0;
    // Item 2 changes without notice, so it is read afresh; but only when the
    // library is free to send: a caller never waits behind another request.
    // Whatever the outcome, the store answers.
    if (itemId == kRereadItem && CanIssueCommand(ctx)) {
        RequestTurn turn(ctx, false);
        if (turn.held) {
            WithDeviceData(ctx, [&] { ctx->sysDataItemId = kRereadItem; });
            ExchangeRequest(ctx, cmd::GetSystemData);
        }
    }
    uint16_t offset, width;
    if (LookupSystemDataItem(itemId, &offset, &width) != 1)
        return 0;
    auto *out = static_cast<uint8_t *>(buffer);
    if (IsTextItem(itemId))
        std::memset(out, 0, width + 1u);
    if (offset != kNoPlace)
        WithDeviceData(ctx, [&] { std::memcpy(out, ctx->systemDataStore + offset, width); });
    return 1;
}

MORELAPI_API(int) SetSystemData(uint16_t itemId, const void *data) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx))
        return 0;
    uint16_t offset, width;
    if (LookupSystemDataItem(itemId, &offset, &width) != 1)
        return 0;
    CommandPacket *pkt = BuildCommand(ctx, kAddrApp, cmd::SetSystemData);
    if (pkt == nullptr)
        return 0;
    Put16(pkt->frame + kOffBody, itemId);
    // Items 131 and 132 are actions the device may take long to carry out:
    // the request carries the id alone and nobody waits for its answer.
    if (itemId == kPostedItemA || itemId == kPostedItemB)
        return static_cast<int>(PostCommand(ctx, pkt));
    if (width > 0 && data == nullptr) {
        FreePacket(pkt);
        return 0;
    }
    // The store takes the very bytes that were sent.
    uint8_t value[128] = {};
    if (width > 0)
        std::memcpy(value, data, width);
    std::memcpy(pkt->frame + kOffBody + 2, value, width);
    SetBodyLength(pkt, 2u + width);
    if (SendAndWait(ctx, pkt) != 1)
        return 0;
    // Only a value the device accepted enters the store.
    if (offset != kNoPlace)
        WithDeviceData(ctx, [&] { std::memcpy(ctx->systemDataStore + offset, value, width); });
    return 1;
}

MORELAPI_API(int) GetChangedSystemData(uint16_t *itemId, void *buffer) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || itemId == nullptr || buffer == nullptr)
        return 0;
    return WithDeviceData(ctx, [&] {
        const uint16_t id = ctx->lastChangedItem;
        uint16_t offset, width;
        if (LookupSystemDataItem(id, &offset, &width) != 1)
            return 0;
        *itemId = id;
        if (offset != kNoPlace)
            std::memcpy(buffer, ctx->systemDataStore + offset, width);
        return 1;
    });
}

} // extern "C"
