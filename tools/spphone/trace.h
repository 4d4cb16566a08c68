// spphone trace FILE: a protocol trace written by the library (MORELAPI_TRACE)
// printed for people, filtered, and summed up. It only reads the file: the
// library is never started.
#pragma once

#include "tools/spphone/session.h"

namespace spphone {

inline constexpr const char *kTraceUsage =
    "trace FILE|- [--command CLASS/COMMAND|NAME] [--class CLASS] [--dir tx|rx|step[,...]] [--from MS] [--to MS]";

int RunTrace(Ctx &ctx);

} // namespace spphone
