#include "platform/thread_priority.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

namespace velmora::platform {

PriorityToken raiseThreadPriority() {
    PriorityToken token;
    sched_param previous{};
    if (pthread_getschedparam(pthread_self(), &token.previousPolicy, &previous) != 0) return token;
    token.previousPriority = previous.sched_priority;
    sched_param realtime{};
    // Below JACK's and PortAudio's callback threads, above everything else.
    realtime.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime) == 0) {
        token.raised = true;
        return token;
    }
    // Not permitted: take the best nice value we may (only lowers the number
    // when the process has the right; otherwise leaves it).
    setpriority(PRIO_PROCESS, 0, -10);
    return token;
}

void restoreThreadPriority(const PriorityToken& token) {
    if (!token.raised) return;
    sched_param previous{};
    previous.sched_priority = token.previousPriority;
    pthread_setschedparam(pthread_self(), token.previousPolicy, &previous);
}

}  // namespace velmora::platform
