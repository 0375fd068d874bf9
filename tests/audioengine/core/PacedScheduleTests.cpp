// SPDX-License-Identifier: MIT
// The timetable of the paced outputs, with chosen times: blocks follow each other
// without gaps or drift, are rendered a lead ahead, catch up after a late wake-up and
// start afresh after a stall.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "audioengine/core/PacedOutput.h"

namespace {

using ae::PacedSchedule;

constexpr int64_t kMs = 1000000;
constexpr int64_t kT = 5000 * kMs;  // an arbitrary monotonic start

TEST(PacedSchedule, BlocksFollowEachOtherALeadAhead) {
    PacedSchedule schedule(48000, 10 * kMs, kT);
    EXPECT_EQ(schedule.NextBlockHeardNs(kT), kT + 10 * kMs) << "the first block: a lead from now";
    EXPECT_EQ(schedule.Rendered(240), kT + 5 * kMs)
        << "next render when 10 ms are left of the 15 rendered";
    EXPECT_EQ(schedule.NextBlockHeardNs(kT + 5 * kMs), kT + 15 * kMs);
    EXPECT_EQ(schedule.Rendered(240), kT + 10 * kMs);

    // Woken 150 ms late: the block still follows the last one (heard in the past),
    // and the next render is due at once, until the timetable has caught up.
    EXPECT_EQ(schedule.NextBlockHeardNs(kT + 160 * kMs), kT + 20 * kMs);
    EXPECT_LT(schedule.Rendered(240), kT + 160 * kMs);
    EXPECT_EQ(schedule.NextBlockHeardNs(kT + 160 * kMs), kT + 25 * kMs);
    schedule.Rendered(240);

    // Late by exactly the stall limit: still caught up. Beyond it: a fresh start.
    const int64_t due = kT + 30 * kMs;
    EXPECT_EQ(schedule.NextBlockHeardNs(due + PacedSchedule::kStallNs), due);
    schedule.Rendered(240);
    const int64_t now = due + 5 * kMs + PacedSchedule::kStallNs + 1;
    EXPECT_EQ(schedule.NextBlockHeardNs(now), now + 10 * kMs) << "resynchronised, no burst";
    EXPECT_EQ(schedule.Rendered(240), now + 5 * kMs);
    EXPECT_EQ(schedule.NextBlockHeardNs(now + 5 * kMs), now + 15 * kMs);
}

// Blocks that are not a whole number of nanoseconds long (44100 Hz) do not drift, and
// weeks of frames do not overflow the timetable.
TEST(PacedSchedule, NoDriftAndNoOverflowOverLongRuns) {
    PacedSchedule minute(44100, 10 * kMs, kT);
    for (int i = 0; i < 60 * 200; ++i) {
        minute.NextBlockHeardNs(kT);
        minute.Rendered(i % 2 ? 220 : 221);  // 5 ms blocks of 220.5 frames
    }
    EXPECT_EQ(minute.NextBlockHeardNs(kT), kT + 10 * kMs + 60000 * kMs);

    PacedSchedule weeks(384000, 10 * kMs, kT);
    int64_t frames = 0;
    for (int i = 0; i < 200; ++i) {  // 200 x 2^31 frames: about 13 days at 384 kHz
        weeks.NextBlockHeardNs(kT);
        weeks.Rendered(INT_MAX);
        frames += INT_MAX;
    }
    // frames x 10^9 / 384000, exactly: 10^9 / 384000 = 15625 / 6, and frames x 15625
    // stays far inside 64 bits.
    const int64_t expected = frames * 15625 / 6;
    EXPECT_EQ(weeks.NextBlockHeardNs(kT), kT + 10 * kMs + expected);
}

}  // namespace
