// The device events with the slot and code the application sees and the
// handler that takes each, and the record that hands the library's tables
// to the layers below.
#include "api/tables.h"

#include "api/handlers.h"
#include "events/notify.h"

namespace morel {

namespace {

// Device event ids in the device's order, with the slot and the code that
// the application sees.
constexpr NotificationEntry NotificationTable[] = {
    {0x0104, 1, 0x0104, KeyReportEventHandler},
    {0x0106, 1, 0x0106, DisplayEventHandler},
    {0x0107, 1, 0x0107, ValueByteEventHandler},
    {0x0108, 1, 0x0108, ValueByteEventHandler},
    {0x0109, 1, 0x0109, ValueByteEventHandler},
    {0x0111, 1, 0x0111, SignalEventHandler},
    {0x0112, 1, 0x0112, SignalEventHandler},
    {0x0113, 1, 0x0113, SignalEventHandler},
    {0x0114, 1, 0x0114, SignalEventHandler},
    {0x0115, 1, 0x0115, SignalEventHandler},
    {0x0116, 1, 0x0116, SignalEventHandler},
    {0x0117, 1, 0x0117, SignalEventHandler},
    {0x0121, 1, 0x0121, SignalEventHandler},
    {0x0122, 1, 0x0122, SignalEventHandler},
    {0x0123, 1, 0x0123, SignalEventHandler},
    {0x0124, 1, 0x0124, SignalEventHandler},
    {0x0125, 1, 0x0125, SignalEventHandler},
    {0x0126, 1, 0x0126, SignalEventHandler},
    {0x0127, 1, 0x0127, SignalEventHandler},
    {0x0128, 1, 0x0128, SignalEventHandler},
    {0x0131, 1, 0x0131, SignalEventHandler},
    {0x0132, 1, 0x0132, SignalEventHandler},
    {0x0141, 1, 0x0161, SignalEventHandler},
    {0x0142, 1, 0x0162, SignalEventHandler},
    {0x0201, 2, 0x0201, CallFullEventHandler},
    {0x0202, 2, 0x0202, CallFullEventHandler},
    {0x0203, 2, 0x0203, CallFullEventHandler},
    {0x0204, 2, 0x0204, CallFullEventHandler},
    {0x0205, 2, 0x0205, CallStateEventHandler},
    {0x0206, 2, 0x0206, CallStateEventHandler},
    {0x0207, 2, 0x0207, CallStateEventHandler},
    {0x0208, 2, 0x0208, CallStateEventHandler},
    {0x0209, 2, 0x0209, CallStateEventHandler},
    {0x020A, 2, 0x020A, CallStateEventHandler},
    {0x020B, 2, 0x0210, CallStateEventHandler},
    {0x020C, 2, 0x0211, CallStateEventHandler},
    {0x020D, 2, 0x0212, CallStateEventHandler},
    {0x0218, 2, 0x0219, CallStateEventHandler},
    {0x020E, 2, 0x0213, CallStateEventHandler},
    {0x020F, 2, 0x020C, CallStateEventHandler},
    {0x0210, 2, 0x020D, CallStateEventHandler},
    {0x0211, 2, 0x020E, CallStateEventHandler},
    {0x0212, 2, 0x020F, CallStateEventHandler},
    {0x0213, 2, 0x0214, CallStateEventHandler},
    {0x0214, 2, 0x0215, CallStateEventHandler},
    {0x0215, 2, 0x0216, CallStateEventHandler},
    {0x0216, 2, 0x0217, CallStateEventHandler},
    {0x0217, 2, 0x0218, CallStateEventHandler},
    {0x0219, 2, 0x021A, CallStateEventHandler},
    {0x021A, 2, 0x021B, CallStateEventHandler},
    {0x021B, 2, 0x021C, CallStateEventHandler},
    {0x021C, 2, 0x021D, CallStateEventHandler},
    {0x021D, 2, 0x021E, CallStateEventHandler},
    {0x021E, 2, 0x021F, CallStateEventHandler},
    {0x0301, 3, 0x0301, SystemDataEventHandler},
    {0x0401, 4, 0x0401, SignalEventHandler},
    {0x0402, 4, 0x0402, SignalEventHandler},
    {0x0501, 5, 0x0501, SignalEventHandler},
    {0x0502, 5, 0x0502, SignalEventHandler},
    {0x0503, 5, 0x0503, SignalEventHandler},
    {0x0601, 6, 0x0601, SignalEventHandler},
    {0x0602, 6, 0x0602, SignalEventHandler},
    {0x0603, 6, 0x0603, SignalEventHandler},
    {0x0604, 6, 0x0604, SignalEventHandler},
    {0x0605, 6, 0x0605, SignalEventHandler},
    {0x0606, 6, 0x0606, SignalEventHandler},
    {0x0607, 6, 0x0607, SignalEventHandler},
    {0x0608, 6, 0x0608, SignalEventHandler},
    {0x0609, 6, 0x0609, SignalEventHandler},
    {0x060A, 6, 0x060A, SignalEventHandler},
    {0x0701, 7, 0x0701, SignalEventHandler},
    {0x0801, 1, 0x0141, SignalEventHandler},
    {0x0802, 1, 0x0142, SignalEventHandler},
    {0x0803, 1, 0x0143, SignalEventHandler},
    {0x0804, 1, 0x0144, SignalEventHandler},
    {0x0900, 1, 0x0151, SignalEventHandler},
    {0x0901, 1, 0x0152, SignalEventHandler},
    {0x0902, 1, 0x0145, SignalEventHandler},
    {0x0903, 1, 0x0146, SignalEventHandler},
    {0x0904, 1, 0x0147, SignalEventHandler},
    {0x0002, 0, 0x0002, RawDataEventHandler},
};

// Event ids carry their family (0x00 to 0x09) in the high byte and a small
// number in the low byte, so a table indexed by the id finds an entry at
// once. It holds the position + 1 of the first entry of each id (0: none),
// the entry a search from the top of the table would find.
constexpr uint32_t kIndexedIds = 0x0A00;
constexpr size_t kNotificationCount = sizeof NotificationTable / sizeof NotificationTable[0];
static_assert(kNotificationCount < 255, "positions fit a byte");

struct NotificationIndex {
    uint8_t position[kIndexedIds];
};

constexpr NotificationIndex BuildNotificationIndex() {
    NotificationIndex index{};
    for (size_t i = kNotificationCount; i-- > 0;) {
        if (NotificationTable[i].eventId >= kIndexedIds)
            throw "every event id lies below the index's end";
        index.position[NotificationTable[i].eventId] = static_cast<uint8_t>(i + 1);
    }
    return index;
}

constexpr NotificationIndex kNotificationIndex = BuildNotificationIndex();

const NotificationEntry *FindNotification(uint32_t eventId) {
    if (eventId >= kIndexedIds)
        return nullptr;
    const uint8_t position = kNotificationIndex.position[eventId];
    return position != 0 ? &NotificationTable[position - 1] : nullptr;
}

} // namespace

const Protocol LibraryProtocol = {
    CommandTable, FindNotification, QueueNotification, ReportLink, FlushEventQueue,
};

} // namespace morel
