// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "audioengine/core/Engine.h"
#include "audioengine/core/HandleTable.h"
#include "audioengine/core/LiveHandles.h"
#include "plugin/engine/Bass.h"

namespace {

using ae::HandleKind;
using ae::HandleTable;

TEST(HandleTable, HandlesAreNeverZeroNeverReusedAndGoStale) {
    HandleTable<int> table(HandleKind::Stream, 4);
    std::set<uint32_t> seen;
    uint32_t index = 99;
    const uint32_t first = table.Add(std::make_shared<int>(1), &index);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(*table.Get(first), 1);
    seen.insert(first);

    // The slot is reused with a new generation: the old handle stays stale.
    ASSERT_NE(table.Remove(first), nullptr);
    EXPECT_EQ(table.Get(first), nullptr);
    EXPECT_EQ(table.Remove(first), nullptr) << "a second release is refused";
    for (int i = 0; i < 1000; ++i) {
        const uint32_t handle = table.Add(std::make_shared<int>(i));
        ASSERT_NE(handle, 0u);
        ASSERT_TRUE(seen.insert(handle).second) << "handle " << handle << " handed out twice";
        ASSERT_EQ(HandleTable<int>::IndexOf(handle), 0u) << "the lowest free slot is used";
        ASSERT_NE(table.Remove(handle), nullptr);
    }
    EXPECT_EQ(table.Get(0), nullptr);
    EXPECT_EQ(table.Get(0xffffffffu), nullptr);
}

TEST(HandleTable, KindsDoNotMixAndAFullTableRefuses) {
    HandleTable<int> streams(HandleKind::Stream, 2);
    HandleTable<int> effects(HandleKind::Effect, 2);
    const uint32_t s = streams.Add(std::make_shared<int>(1));
    const uint32_t e = effects.Add(std::make_shared<int>(2));
    EXPECT_NE(s, e);
    EXPECT_EQ(effects.Get(s), nullptr) << "a stream handle is not an effect handle";
    EXPECT_EQ(streams.Get(e), nullptr);
    EXPECT_NE(streams.Add(std::make_shared<int>(3)), 0u);
    EXPECT_EQ(streams.Add(std::make_shared<int>(4)), 0u) << "no slot left";

    int live = 0;
    streams.ForEach([&](uint32_t handle, const std::shared_ptr<int>& value) {
        EXPECT_EQ(*streams.Get(handle), *value);
        ++live;
    });
    EXPECT_EQ(live, 2);
}

TEST(HandleTable, ASlotWhoseGenerationsAreUsedUpIsRetired) {
    HandleTable<int> table(HandleKind::Stream, 1);
    uint32_t last = 0;
    for (uint32_t i = 0; i < ae::kMaxGeneration; ++i) {
        last = table.Add(std::make_shared<int>(0));
        ASSERT_NE(last, 0u) << "generation " << i + 1;
        table.Remove(last);
    }
    EXPECT_EQ(table.Add(std::make_shared<int>(0)), 0u)
        << "reusing the slot would hand out its first handle again";
    EXPECT_EQ(table.Get(last), nullptr);
}

TEST(Handles, LookupFindsOnlyTheLiveHandleOfASlot) {
    HandleTable<int> table(HandleKind::Stream);
    ae::LiveHandles<int> live;
    int first = 1, second = 2;
    const uint32_t a = table.Add(std::make_shared<int>(0));
    live.Publish(a, &first);
    EXPECT_EQ(live.Acquire(a).get(), &first);
    EXPECT_FALSE(live.Acquire(0));
    EXPECT_FALSE(live.Acquire(a + 1)) << "another slot, never published";
    EXPECT_FALSE(live.Acquire(a | 0x80000000u)) << "an effect handle of the same slot";

    live.Retract(a);
    table.Remove(a);
    EXPECT_FALSE(live.Acquire(a)) << "retracted";
    const uint32_t b = table.Add(std::make_shared<int>(0));
    ASSERT_EQ(HandleTable<int>::IndexOf(b), HandleTable<int>::IndexOf(a)) << "the same slot";
    live.Publish(b, &second);
    EXPECT_FALSE(live.Acquire(a)) << "the slot's old handle stays stale";
    EXPECT_EQ(*live.Acquire(b), 2);
    live.Retract(a);  // a stale handle retracts nothing
    EXPECT_EQ(*live.Acquire(b), 2);
}

TEST(Handles, RetractionWaitsForTheValuesInUse) {
    ae::LiveHandles<int> live;
    int value = 7;
    const uint32_t handle = 0x1001;  // generation 1, slot 1
    live.Publish(handle, &value);
    auto held = std::make_unique<ae::LiveHandles<int>::Ref>(live.Acquire(handle));
    ASSERT_TRUE(*held);
    std::atomic<bool> retracted{false};
    std::thread owner([&] {
        live.Retract(handle);
        retracted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(retracted) << "returned while the value was in use";
    EXPECT_FALSE(live.Acquire(handle)) << "no new use once retraction began";
    held.reset();
    owner.join();
    EXPECT_TRUE(retracted);
}

// Readers use values that the owner frees right after retracting them: under the
// address or thread sanitizer any use after the free is reported.
TEST(Handles, AValueIsNeverUsedAfterItsRetraction) {
    HandleTable<int> table(HandleKind::Stream, 2);
    ae::LiveHandles<int> live;
    std::atomic<uint32_t> current{0};
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    int* owned = nullptr;  // the value of `current`, freed by this thread only
    auto publish = [&] {
        const uint32_t handle = table.Add(std::make_shared<int>(0));
        owned = new int(static_cast<int>(handle));
        live.Publish(handle, owned);
        current = handle;
    };
    publish();
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!stop) {
                const uint32_t handle = current;
                if (auto value = live.Acquire(handle)) {
                    EXPECT_EQ(static_cast<uint32_t>(*value), handle);
                    reads.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    }
    // Enough rounds, and enough reads beside them; bounded in time, should the
    // readers never be scheduled, and within the slot's generations.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // The readers at work first: on a loaded machine the rounds can all be over
    // before a reader thread is first scheduled.
    while (reads == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    for (long round = 0; round < 200000 && (round < 2000 || reads < 20000) &&
                         std::chrono::steady_clock::now() < deadline;
         ++round) {
        const uint32_t handle = current;
        live.Retract(handle);
        table.Remove(handle);
        delete owned;
        publish();
    }
    stop = true;
    for (std::thread& reader : readers) reader.join();
    delete owned;
    EXPECT_GT(reads.load(), 0);
}

TEST(OutputChoice, EnvironmentAndDeviceNumber) {
    using Kind = ae::OutputChoice::Kind;
    EXPECT_EQ(ae::ChooseOutput(nullptr, -1).kind, Kind::Auto);
    EXPECT_EQ(ae::ChooseOutput("", 1).kind, Kind::Auto);
    EXPECT_EQ(ae::ChooseOutput("auto", 0).kind, Kind::Null) << "device 0 is the null device";
    EXPECT_EQ(ae::ChooseOutput("", 2).kind, Kind::Device) << "a listed device must open";
    EXPECT_EQ(ae::ChooseOutput("null", 3).kind, Kind::Null) << "the environment wins";
    EXPECT_EQ(ae::ChooseOutput("device", -1).kind, Kind::Device);
    EXPECT_EQ(ae::ChooseOutput("null", -1).kind, Kind::Null);
    EXPECT_EQ(ae::ChooseOutput("manual", 0).kind, Kind::Manual) << "the environment wins";
    const ae::OutputChoice wav = ae::ChooseOutput("wav:/tmp/out put.wav", -1);
    EXPECT_EQ(wav.kind, Kind::Wav);
    EXPECT_EQ(wav.wavPath, "/tmp/out put.wav");
    for (const char* bad : {"wav:", "WAV:/x", "speakers", "null ", "manualx"}) {
        EXPECT_EQ(ae::ChooseOutput(bad, -1).kind, Kind::Invalid) << bad;
    }
}

}  // namespace
