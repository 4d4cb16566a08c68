// The transport library: loaded by name at the first start, or handed over by tests.
#pragma once

#include "talvo.h"

namespace morel {

struct ApiContext;

struct TransportOps {
    TalvoOpenFn open;
    TalvoWriteFn write;
    TalvoCloseFn close;
};

// Loads libtalvo.so / TALVO.dll once, if not loaded yet. Without it every
// open fails, as with an unplugged device.
void LoadTransport();

// Replaces the loaded transport (tests). Passing nullptrs restores it.
void SetTransportForTesting(TalvoOpenFn open, TalvoWriteFn write, TalvoCloseFn close);

// Current operations, or nullptr when there is no transport.
const TransportOps *CurrentTransport();

// Closes the context's connection, if it has one (traced as `close`).
void CloseConnection(ApiContext *ctx);

} // namespace morel
