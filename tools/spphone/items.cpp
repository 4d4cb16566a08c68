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

} // namespace

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
