#include "tools/spphone/items.h"

#include <iterator>

#include "morelapi.h"

namespace spphone {

namespace {

constexpr ItemInfo kItems[] = {
#define SPPHONE_ITEM(id, width, isText) {id, width, (isText) != 0},
    MORELAPI_SYSTEM_DATA_ITEMS(SPPHONE_ITEM)
#undef SPPHONE_ITEM
};

// Each call event with the state it reports and that state's name.
struct CallEvent {
    uint32_t code;
    uint8_t state;
    const char *stateName;
};
constexpr CallEvent kCallEvents[] = {
#define SPPHONE_CALL_EVENT(code, state, NAME, name, ended) {code, state, name},
    MORELAPI_CALL_EVENTS(SPPHONE_CALL_EVENT)
#undef SPPHONE_CALL_EVENT
};

} // namespace

int CallStateOfEvent(uint32_t code) {
    for (const CallEvent &e : kCallEvents)
        if (e.code == code)
            return e.state;
    return -1;
}

std::string CallStateName(uint8_t state) {
    for (const CallEvent &e : kCallEvents)
        if (e.state == state)
            return e.stateName;
    return "state " + std::to_string(state);
}

tools::Value KeyValue(uint8_t code, uint8_t action) {
    tools::Value v = tools::MakeObject();
    tools::Add(v, "keyCode", tools::MakeUint(code));
    if (code >= 0x20 && code < 0x7F)
        tools::Add(v, "key", tools::MakeStr(std::string(1, static_cast<char>(code))));
    tools::Add(v, "action", tools::MakeUint(action));
    return v;
}

const ItemInfo *Items(size_t *count) {
    *count = std::size(kItems);
    return kItems;
}

const ItemInfo *FindItemInfo(uint16_t id) {
    for (const ItemInfo &item : kItems)
        if (item.id == id)
            return &item;
    return nullptr;
}

} // namespace spphone
