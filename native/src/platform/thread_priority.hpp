#pragma once

namespace velmora::platform {

// Raises the calling thread to real-time scheduling where permitted
// (SCHED_FIFO; on Windows MMCSS's "Pro Audio" task), else to the highest
// priority allowed. Failure is not an error. Returns a token for
// restoreThreadPriority.
struct PriorityToken {
    bool raised = false;
    int previousPolicy = 0;
    int previousPriority = 0;
    void* scheduledTask = nullptr;  // Windows: the MMCSS registration to undo
};
PriorityToken raiseThreadPriority();
void restoreThreadPriority(const PriorityToken& token);

}  // namespace velmora::platform
