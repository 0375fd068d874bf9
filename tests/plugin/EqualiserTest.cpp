// SPDX-License-Identifier: MIT
// The ten-band equaliser of a slot.
#include <climits>

#include "tests/plugin/PluginFixture.h"

namespace {

using EqualiserTest = PluginTest;

Calls TenBands(uint32_t handle) {
    Calls calls;
    for (int band = 1; band <= 10; ++band) {
        calls.push_back("BASS_ChannelSetFX(" + std::to_string(handle) + ", 7, " +
                        std::to_string(band) + ")");
    }
    return calls;
}

void QueueEffects(uint32_t first) {
    for (uint32_t i = 0; i < 10; ++i) ed::Queue("BASS_ChannelSetFX", ed::Int(first + i));
}

TEST_F(EqualiserTest, CreateAttachesTenBandsInOrderAndKeepsTheirHandles) {
    Open(2, 12);
    QueueEffects(501);
    Run(EqCreateChannel, {2});
    EXPECT_EQ(Take(), TenBands(12));
    for (int band = 0; band < 10; ++band) EXPECT_EQ(EqEffects[1][band], 501u + band);
}

TEST_F(EqualiserTest, EveryBandGetsItsCentreBandwidth36AndTheGainUnclamped) {
    Open(2, 12);
    QueueEffects(501);
    Run(EqCreateChannel, {2});
    Take();

    const char* centres[10] = {"80",   "170",  "310",   "600",   "1000",
                               "3000", "6000", "12000", "14000", "16000"};
    Calls expected;
    for (int band = 1; band <= 10; ++band) {
        Run(EqSetChannel, {2, band, 6});
        expected.push_back("BASS_FXSetParameters(" + std::to_string(500 + band) + ", {" +
                           centres[band - 1] + ", 36, 6})");
    }
    EXPECT_EQ(Take(), expected);

    Run(EqSetChannel, {2, 4, -15});
    Run(EqSetChannel, {2, 4, 100});
    Run(EqSetChannel, {2, 4, INT_MIN});
    Run(EqSetChannel, {2, 4, INT_MAX});
    EXPECT_EQ(Take(), (Calls{"BASS_FXSetParameters(504, {600, 36, -15})",
                             "BASS_FXSetParameters(504, {600, 36, 100})",
                             "BASS_FXSetParameters(504, {600, 36, -2.14748365e+09})",
                             "BASS_FXSetParameters(504, {600, 36, 2.14748365e+09})"}));
}

TEST_F(EqualiserTest, SetBandAlwaysEmptiesTheResultText) {
    ed::Queue("BASS_ChannelGetInfo", ed::Info(48000, 2));
    ASSERT_EQ(Query(GetFreqChannel, 1), "48000");
    Run(EqSetChannel, {1, 1, 3});
    EXPECT_STREQ(GetFile(), "");
}

TEST_F(EqualiserTest, BandsOutsideOneToTenMakeNoCallAndStillEmptyTheResult) {
    Open(1, 11);
    QueueEffects(601);
    Run(EqCreateChannel, {1});
    Take();
    for (int32_t band : {0, 11, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(band);
        ed::Queue("BASS_ChannelGetInfo", ed::Info(44100, 2));
        ASSERT_EQ(Query(GetFreqChannel, 1), "44100");
        Take();
        Run(EqSetChannel, {1, band, 5});
        EXPECT_TRUE(Take().empty());
        EXPECT_STREQ(GetFile(), "");
    }
}

TEST_F(EqualiserTest, RecreatingRemovesTheOldBandsSoTheyNeverStack) {
    Open(1, 11);
    for (uint32_t handle : {701u, 0u, 703u, 704u, 705u, 706u, 707u, 708u, 709u, 710u}) {
        ed::Queue("BASS_ChannelSetFX", ed::Int(handle));
    }
    Run(EqCreateChannel, {1});
    Take();

    QueueEffects(801);
    Run(EqCreateChannel, {1});
    Calls expected;
    for (uint32_t handle : {701u, 703u, 704u, 705u, 706u, 707u, 708u, 709u, 710u}) {
        expected.push_back("BASS_ChannelRemoveFX(11, " + std::to_string(handle) + ")");
    }
    for (const std::string& call : TenBands(11)) expected.push_back(call);
    EXPECT_EQ(Take(), expected);
    for (int band = 0; band < 10; ++band) EXPECT_EQ(EqEffects[0][band], 801u + band);
}

TEST_F(EqualiserTest, TheRowOutlivesItsStreamAndFailedEffectsStayZero) {
    // Created on an empty slot: the engine is asked with handle 0 and refuses.
    Run(EqCreateChannel, {3});
    EXPECT_EQ(Take(), TenBands(0));
    Run(EqSetChannel, {3, 10, 2});
    EXPECT_EQ(Take(), (Calls{"BASS_FXSetParameters(0, {16000, 36, 2})"}));

    Open(3, 13);
    QueueEffects(901);
    Run(EqCreateChannel, {3});
    Run(FreeChannel, {3});
    Take();
    Run(EqSetChannel, {3, 1, -3});  // the stale handle goes to the engine, which refuses it
    EXPECT_EQ(Take(), (Calls{"BASS_FXSetParameters(901, {80, 36, -3})"}));

    // A new stream in the slot: the old bands are removed through it, harmlessly.
    Open(3, 23);
    QueueEffects(951);
    Run(EqCreateChannel, {3});
    const Calls calls = Take();
    ASSERT_EQ(calls.size(), 20u);
    EXPECT_EQ(calls.front(), "BASS_ChannelRemoveFX(23, 901)");
    EXPECT_EQ(calls.back(), "BASS_ChannelSetFX(23, 7, 10)");
}

TEST_F(EqualiserTest, SlotsOutsideTheTableHaveNoEffects) {
    for (int32_t slot : {INT_MIN, 0, 33, INT_MAX}) {
        Run(EqCreateChannel, {slot});
        EXPECT_TRUE(Take().empty());
        Run(EqSetChannel, {slot, 5, 4});
        EXPECT_EQ(Take(), (Calls{"BASS_FXSetParameters(0, {1000, 36, 4})"}));
        EXPECT_STREQ(GetFile(), "");
    }
}

}  // namespace
