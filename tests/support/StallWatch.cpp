// SPDX-License-Identifier: MIT
#include "tests/support/StallWatch.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/SinkRecorder.h"

namespace testaudio {

namespace {
constexpr int64_t kPeriodNs = 1000000;
// Cores watched at most: a machine with more is seldom one whose host takes them away.
constexpr int kMostWatchers = 16;
}  // namespace

// One watching thread per core: a host that takes one virtual core away stalls the
// threads the guest placed on it, and only a watcher on that core sees it.
struct StallWatch::State {
    struct Stall {
        int64_t atNs;    // when the wake-up was due
        int64_t lateNs;  // how late it came
    };
    std::atomic<bool> stop{false};
    std::atomic<int> realtime{0};  // watchers that got real-time scheduling
    int watchers = 0;
    mutable std::mutex mutex;
    std::vector<Stall> stalls;
    std::vector<std::thread> threads;

    void Run(int cpu) {
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(cpu, &only);
        pthread_setaffinity_np(pthread_self(), sizeof(only), &only);
        sched_param param{};
        param.sched_priority = sched_get_priority_max(SCHED_FIFO);
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) ++realtime;
        int64_t due = MonotonicNs() + kPeriodNs;
        while (!stop.load(std::memory_order_relaxed)) {
            const timespec at{static_cast<time_t>(due / 1000000000),
                              static_cast<long>(due % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
            const int64_t now = MonotonicNs();
            if (now - due >= kNotedNs) {
                const std::lock_guard<std::mutex> lock(mutex);
                stalls.push_back({due, now - due});
            }
            due = std::max(due, now) + kPeriodNs;
        }
    }
};

StallWatch::StallWatch() : state_(std::make_unique<State>()) {
    state_->stalls.reserve(1024);
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) CPU_SET(0, &allowed);
    for (int cpu = 0; cpu < CPU_SETSIZE && state_->watchers < kMostWatchers; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        ++state_->watchers;
        state_->threads.emplace_back([state = state_.get(), cpu] { state->Run(cpu); });
    }
}

StallWatch::~StallWatch() {
    state_->stop.store(true);
    for (std::thread& thread : state_->threads) thread.join();
}

bool StallWatch::realtime() const {
    // Every watcher has started once the count is final; before, a stall could not
    // have been seen anyway.
    return state_->realtime.load() == state_->watchers;
}

StallWatch::Stalls StallWatch::Between(int64_t fromNs, int64_t toNs, int64_t atLeastNs) const {
    Stalls found;
    if (!realtime()) return found;
    const std::lock_guard<std::mutex> lock(state_->mutex);
    for (const State::Stall& stall : state_->stalls) {
        if (stall.atNs < fromNs || stall.atNs > toNs || stall.lateNs < atLeastNs) continue;
        ++found.count;
        found.longestNs = std::max(found.longestNs, stall.lateNs);
    }
    return found;
}

}  // namespace testaudio
