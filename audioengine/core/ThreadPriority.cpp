// SPDX-License-Identifier: MIT
#include "audioengine/core/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ae {
namespace {

// The real-time priority asked for an output thread: low, as sound servers use; it
// only has to come before ordinary work.
constexpr int kOutputRealtimePriority = 5;
// The nice value asked for a thread that feeds the output, or for an output thread
// refused real-time scheduling.
constexpr int kAudioNice = -10;
// A host whose user lowered its priority (a nice value above 0) is background work:
// its audio threads then go only this many steps ahead of its other threads, never
// ahead of ordinary processes, and never real-time.
constexpr int kBackgroundNiceStep = 10;

// The calling thread's nice value; false when it cannot be read.
bool ThreadNice(int* nice) {
    // On Linux a nice value belongs to the thread named by its id.
    const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    *nice = getpriority(PRIO_PROCESS, thread);
    return errno == 0;
}

// Lowers the calling thread's nice value to `nice`, or as far towards it as this user
// may go (RLIMIT_NICE). Never raises it.
void LowerNice(int nice) {
    int current = 0;
    if (!ThreadNice(&current) || nice >= current) return;
    const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
    if (setpriority(PRIO_PROCESS, thread, nice) == 0) return;
    rlimit limit{};  // unprivileged, the floor is 20 - RLIMIT_NICE
    if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur > 20 && limit.rlim_cur <= 40) {
        const int floor = std::max(nice, 20 - static_cast<int>(limit.rlim_cur));
        if (floor < current) setpriority(PRIO_PROCESS, thread, floor);
    }
}

}  // namespace

void RaiseThreadPriority(ThreadRole role) {
    int policy = SCHED_OTHER;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 &&
        (policy == SCHED_FIFO || policy == SCHED_RR)) {
        return;  // inherited from a real-time host: already ahead of ordinary work
    }
    int nice = 0;
    if (ThreadNice(&nice) && nice > 0) {
        LowerNice(std::max(0, nice - kBackgroundNiceStep));
        return;
    }
    if (role == ThreadRole::Output) {
        rlimit limit{};
        int priority = kOutputRealtimePriority;
        if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur > 0 && limit.rlim_cur < static_cast<rlim_t>(priority)) {
            priority = static_cast<int>(limit.rlim_cur);  // as high as this user may go
        }
        param.sched_priority = std::clamp(priority, sched_get_priority_min(SCHED_RR),
                                          sched_get_priority_max(SCHED_RR));
        if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0) return;
    }
    LowerNice(kAudioNice);
}

void NameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace ae
