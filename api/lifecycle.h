// Library start and stop.
#pragma once

namespace morel {

// Tests: makes the start of worker `index` (0..3: sender, receiver, event,
// link) fail; -1 restores.
void FailWorkerStartForTesting(int index);

} // namespace morel
