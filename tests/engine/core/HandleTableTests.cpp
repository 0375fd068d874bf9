#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "Engine.h"
#include "HandleTable.h"
#include "engine/Bass.h"

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

TEST(OutputChoice, EnvironmentAndDeviceNumber) {
    using Kind = ae::OutputChoice::Kind;
    EXPECT_EQ(ae::ChooseOutput(nullptr, -1).kind, Kind::Auto);
    EXPECT_EQ(ae::ChooseOutput("", 1).kind, Kind::Auto);
    EXPECT_EQ(ae::ChooseOutput("auto", 0).kind, Kind::Null) << "device 0 is the null device";
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
