// The device's numbered settings as the library stores them: id, width in
// bytes and whether the bytes are a zero-terminated text. The public header
// carries no widths, so the tool keeps its own copy of the item table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace spphone {

struct ItemInfo {
    uint16_t id;
    uint8_t width; // 0 for the action items 129..132
    bool text;
};

// The 55 stored items in store order, then the 4 action items.
const ItemInfo *Items(size_t *count);
// The entry of id, or nullptr for an id the library does not know.
const ItemInfo *FindItemInfo(uint16_t id);

} // namespace spphone
