// The library's protocol tables, handed to the layers below through the
// context (Protocol): every request with its handler, every device event
// with its slot, code and handler.
#pragma once

#include "core/context.h"

namespace morel {

extern const Protocol LibraryProtocol;

} // namespace morel
