#pragma once

namespace velmora::platform {

// Raises the calling thread to real-time scheduling where permitted
// (SCHED_FIFO), else to the highest priority allowed. Failure is not an
// error. Returns a token for restoreThreadPriority.
struct PriorityToken {
    bool raised = false;
    int previousPolicy = 0;
    int previousPriority = 0;
};
PriorityToken raiseThreadPriority();
void restoreThreadPriority(const PriorityToken& token);

}  // namespace velmora::platform
