#pragma once

namespace mtr {

// Hands memory that is free again back to the system: the free pages of the
// malloc heap and, on a worker thread, the stack pages below the caller's
// frame. For a thread that has just finished a large piece of work (an
// archive pass) and will now idle for a long time.
void releaseFreeMemory();

}  // namespace mtr
