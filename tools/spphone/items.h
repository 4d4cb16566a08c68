// The device's numbers as the tool names them: the numbered settings (id,
// width in bytes, whether the bytes are a zero-terminated text) and the call
// states, both taken from the public header's lists, and a key as a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/common/output.h"

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

// The call state a call event (0x0201..0x021F) reports, or -1.
int CallStateOfEvent(uint32_t code);
// "ringing", "held", ...; "ended" for every end state; "state N" for a
// number the device does not name.
std::string CallStateName(uint8_t state);
// A key: its code, the character when printable, the action.
tools::Value KeyValue(uint8_t code, uint8_t action);

} // namespace spphone
