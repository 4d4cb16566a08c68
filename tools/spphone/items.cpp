#include "tools/spphone/items.h"

#include <iterator>

namespace spphone {

namespace {

constexpr ItemInfo kItems[] = {
    {1, 1, false},    {2, 5, false},    {3, 1, false},    {4, 1, false},    {5, 1, false},    {6, 1, false},
    {7, 1, false},    {19, 1, false},   {8, 1, false},    {9, 1, false},    {10, 1, false},   {17, 1, false},
    {18, 1, false},   {33, 1, false},   {34, 1, false},   {49, 1, false},   {50, 1, false},   {51, 1, false},
    {52, 1, false},   {53, 1, false},   {65, 1, false},   {66, 4, false},   {67, 4, false},   {68, 4, false},
    {69, 1, false},   {70, 4, false},   {71, 4, false},   {81, 1, false},   {82, 128, true},  {83, 4, false},
    {84, 128, true},  {85, 2, false},   {86, 4, false},   {87, 128, true},  {88, 2, false},   {89, 4, false},
    {90, 128, true},  {91, 2, false},   {92, 1, false},   {93, 32, true},   {94, 32, true},   {95, 32, true},
    {97, 1, false},   {98, 1, false},   {101, 2, false},  {102, 2, false},  {103, 2, false},  {104, 1, false},
    {109, 1, false},  {113, 2, false},  {114, 1, false},  {115, 1, false},  {116, 1, false},  {117, 1, false},
    {118, 1, false},  {129, 0, false},  {130, 0, false},  {131, 0, false},  {132, 0, false},
};

// The state each call event stands for.
struct CallCode {
    uint32_t code;
    uint8_t state;
};
constexpr CallCode kCallCodes[] = {
    {0x0201, 8},  {0x0202, 9},  {0x0203, 2},  {0x0204, 10}, {0x0205, 0},  {0x0206, 16}, {0x0207, 12},
    {0x0208, 11}, {0x0209, 13}, {0x020A, 15}, {0x020C, 4},  {0x020D, 5},  {0x020E, 6},  {0x020F, 7},
    {0x0210, 18}, {0x0211, 19}, {0x0212, 20}, {0x0213, 17}, {0x0214, 22}, {0x0215, 23}, {0x0216, 24},
    {0x0217, 25}, {0x0218, 26}, {0x0219, 21}, {0x021A, 27}, {0x021B, 28}, {0x021C, 29}, {0x021D, 30},
    {0x021E, 31}, {0x021F, 32},
};

struct StateName {
    uint8_t state;
    const char *name;
};
constexpr StateName kStateNames[] = {
    {0, "idle"},      {2, "connected"}, {4, "ended here"}, {5, "rejected"},    {6, "ended by the far end"},
    {7, "ended"},     {8, "dialling"},  {9, "ringing"},    {11, "active"},     {12, "held"},
    {13, "joined"},   {15, "conference"}, {16, "alerting"}, {24, "ended"},     {25, "ended"},
    {26, "ended"},
};

} // namespace

int CallStateOfEvent(uint32_t code) {
    for (const CallCode &c : kCallCodes)
        if (c.code == code)
            return c.state;
    return -1;
}

std::string CallStateName(uint8_t state) {
    for (const StateName &n : kStateNames)
        if (n.state == state)
            return n.name;
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
