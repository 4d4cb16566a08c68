// Link manager: keeps the device connected and reads its whole state each
// time the link comes up.
#pragma once

#include "core/context.h"

namespace morel {

constexpr size_t kStartupItemCount = 69;
extern const uint16_t StartupSystemDataItems[kStartupItemCount + 1]; // closed by 0

void LinkThread(ApiContext *ctx);
int StartupSync(ApiContext *ctx);

// Next rung of the protocol version ladder (the same version at the bottom).
uint8_t NextProtocolVersion(uint8_t version);

} // namespace morel
