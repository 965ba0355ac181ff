#include "platform/thread_priority.hpp"

#include <windows.h>
#include <avrt.h>

namespace velmora::platform {

PriorityToken raiseThreadPriority() {
    PriorityToken token;
    // MMCSS schedules the thread with the system's own audio threads.
    DWORD taskIndex = 0;
    if (HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex)) {
        token.raised = true;
        token.scheduledTask = task;
        return token;
    }
    // No MMCSS (a service that is stopped, a system without it): the highest
    // normal priority instead.
    const int previous = GetThreadPriority(GetCurrentThread());
    if (previous != THREAD_PRIORITY_ERROR_RETURN &&
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST)) {
        token.raised = true;
        token.previousPriority = previous;
    }
    return token;
}

void restoreThreadPriority(const PriorityToken& token) {
    if (!token.raised) return;
    if (token.scheduledTask != nullptr)
        AvRevertMmThreadCharacteristics(token.scheduledTask);
    else
        SetThreadPriority(GetCurrentThread(), token.previousPriority);
}

}  // namespace velmora::platform
