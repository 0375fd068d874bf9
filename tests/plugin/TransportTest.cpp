// SPDX-License-Identifier: MIT
// Engine start, the slot table and transport: open, play, stop, pause, seek, volume, free.
#include <climits>
#include <type_traits>

#include "tests/plugin/PluginFixture.h"

namespace {

using TransportTest = PluginTest;

const int32_t kOutsideSlots[] = {INT_MIN, -1, 0, 33, 1000, INT_MAX};

TEST_F(TransportTest, InitFailureLeavesTheHostRunning) {
    ed::Queue("BASS_Init", ed::Int(FALSE));
    ed::Queue("BASS_Init", ed::Int(FALSE));
    InitBass();
    InitBass();  // a second attempt is a call like the first
    EXPECT_EQ(Take(), (Calls{"BASS_Init(-1, 44100, 0, null, null)",
                             "BASS_Init(-1, 44100, 0, null, null)"}));
    // Later calls still reach the engine and queries still write their texts.
    Open(1, 11);
    EXPECT_EQ(Query(GetPosTimeChannel, 1), "0#00:00#");
}

TEST_F(TransportTest, CreateChannelOpensTheFileAndReportsSuccessAsOneByte) {
    static_assert(std::is_same<decltype(CreateChannel()), bool>::value, "one-byte Boolean");
    static_assert(sizeof(bool) == 1, "one-byte Boolean");

    ed::Queue("BASS_StreamCreateFile", ed::Int(11));
    SetData(4);
    SetFile("/music/song.mp3");
    EXPECT_TRUE(CreateChannel());
    EXPECT_EQ(Channels[3], 11u);

    SetData(5);
    SetFile(nullptr);  // an empty name is passed as an empty text
    EXPECT_FALSE(CreateChannel());
    EXPECT_EQ(Channels[4], 0u);
    EXPECT_EQ(Take(), (Calls{"BASS_StreamCreateFile(0, \"/music/song.mp3\", 0, 0, 0)",
                             "BASS_StreamCreateFile(0, \"\", 0, 0, 0)"}));
}

TEST_F(TransportTest, ReopeningASlotFreesItsStreamEvenWhenTheNewFileFails) {
    Open(3, 11);
    SetData(3);
    SetFile("missing.wav");
    EXPECT_FALSE(CreateChannel());
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelStop(11)", "BASS_StreamFree(11)",
                             "BASS_StreamCreateFile(0, \"missing.wav\", 0, 0, 0)"}));
    EXPECT_EQ(Channels[2], 0u);

    Run(PlayChannel, {3});
    Run(StopChannel, {3});
    Run(FreeChannel, {3});
    EXPECT_TRUE(Take().empty());

    // Only a successful open clears a pending rewind; the empty slot passes handle 0.
    Open(3, 13);
    Run(StopChannel, {3});
    SetFile("missing.wav");
    EXPECT_FALSE(CreateChannel());
    Take();
    Run(PlayChannel, {3});
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelSeconds2Bytes(0, 0)", "BASS_ChannelSetPosition(0, 0, 0)"}));
}

TEST_F(TransportTest, PlayPauseStopAndFreeCallTheEngine) {
    Open(1, 11);
    Run(PlayChannel, {1});
    Run(PauseChannel, {1});
    Run(StopChannel, {1});
    Run(FreeChannel, {1});
    Run(FreeChannel, {1});  // already empty
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelPlay(11, 0)", "BASS_ChannelPause(11)", "BASS_ChannelStop(11)",
                     "BASS_ChannelStop(11)", "BASS_StreamFree(11)"}));
    EXPECT_EQ(Channels[0], 0u);

    // An empty slot: pause passes handle 0, the others make no call.
    Run(PlayChannel, {2});
    Run(StopChannel, {2});
    Run(PauseChannel, {2});
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelPause(0)"}));
}

TEST_F(TransportTest, StopRewindsOnlyItsOwnSlotOnTheNextPlay) {
    Open(1, 11);
    Open(2, 12);
    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int(0));
    Run(StopChannel, {1});
    Run(PlayChannel, {2});  // another slot: no rewind
    Run(PlayChannel, {1});
    Run(PlayChannel, {1});  // the mark is used up
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelStop(11)", "BASS_ChannelPlay(12, 0)",
                     "BASS_ChannelSeconds2Bytes(11, 0)", "BASS_ChannelSetPosition(11, 0, 0)",
                     "BASS_ChannelPlay(11, 0)", "BASS_ChannelPlay(11, 0)"}));
}

TEST_F(TransportTest, PauseSeekFreeAndReopenClearTheStopMark) {
    Open(1, 11);
    Run(StopChannel, {1});
    Run(PauseChannel, {1});
    Run(PlayChannel, {1});
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelStop(11)", "BASS_ChannelPause(11)", "BASS_ChannelPlay(11, 0)"}));

    // A seek made after a stop is where the next play starts.
    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int(15876000));
    Run(StopChannel, {1});
    Run(SetPositionForChannel, {1, 90});
    Run(PlayChannel, {1});
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelStop(11)", "BASS_ChannelSeconds2Bytes(11, 90)",
                     "BASS_ChannelSetPosition(11, 15876000, 0)", "BASS_ChannelPlay(11, 0)"}));

    Run(StopChannel, {1});
    Run(FreeChannel, {1});
    Open(1, 21);
    Run(PlayChannel, {1});
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelPlay(21, 0)"}));

    Run(StopChannel, {1});
    Open(1, 31);  // reopening frees the old stream; the new one starts unmarked
    Run(PlayChannel, {1});
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelPlay(31, 0)"}));
}

TEST_F(TransportTest, StopOnAnEmptySlotMarksNothing) {
    Open(2, 12);
    Run(StopChannel, {1});
    Run(PlayChannel, {2});
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelPlay(12, 0)"}));
}

TEST_F(TransportTest, SeekConvertsWholeSecondsAndKeepsAll64BitsOfThePosition) {
    Open(1, 11);
    const uint64_t beyond4GiB = (uint64_t{1} << 32) + 4096;
    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int(beyond4GiB));
    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int(7));
    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int(8));
    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int(9));
    Run(SetPositionForChannel, {1, 24348});
    Run(SetPositionForChannel, {1, 0});
    Run(SetPositionForChannel, {1, INT_MAX});  // single precision: 2^31
    Run(SetPositionForChannel, {1, INT_MIN});
    Run(SetPositionForChannel, {2, 90});  // empty slot: nothing
    EXPECT_EQ(
        Take(),
        (Calls{"BASS_ChannelSeconds2Bytes(11, 24348)", "BASS_ChannelSetPosition(11, 4294971392, 0)",
               "BASS_ChannelSeconds2Bytes(11, 0)", "BASS_ChannelSetPosition(11, 7, 0)",
               "BASS_ChannelSeconds2Bytes(11, 2147483648)", "BASS_ChannelSetPosition(11, 8, 0)",
               "BASS_ChannelSeconds2Bytes(11, -2147483648)", "BASS_ChannelSetPosition(11, 9, 0)"}));

    // The rewind after a stop keeps all 64 bits too.
    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int(beyond4GiB));
    Run(StopChannel, {1});
    Run(PlayChannel, {1});
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelStop(11)", "BASS_ChannelSeconds2Bytes(11, 0)",
                     "BASS_ChannelSetPosition(11, 4294971392, 0)", "BASS_ChannelPlay(11, 0)"}));
}

TEST_F(TransportTest, VolumeIsThePercentageAsALinearGainUnclamped) {
    Open(1, 11);
    for (int32_t percent : {50, 150, 100, 0, -100, 33, INT_MAX, INT_MIN}) {
        Run(SetValumeChannel, {1, percent});
    }
    Run(SetValumeChannel, {2, 50});  // an empty slot is not tested
    EXPECT_EQ(
        Take(),
        (Calls{
            "BASS_ChannelSetAttribute(11, 2, 0.5)", "BASS_ChannelSetAttribute(11, 2, 1.5)",
            "BASS_ChannelSetAttribute(11, 2, 1)", "BASS_ChannelSetAttribute(11, 2, 0)",
            "BASS_ChannelSetAttribute(11, 2, -1)", "BASS_ChannelSetAttribute(11, 2, 0.330000013)",
            "BASS_ChannelSetAttribute(11, 2, 21474836)",
            "BASS_ChannelSetAttribute(11, 2, -21474836)", "BASS_ChannelSetAttribute(0, 2, 0.5)"}));
}

// Slot numbers outside 1..32 act as an empty slot and never touch the tables.
TEST_F(TransportTest, SlotsOutsideTheTableActAsEmptySlots) {
    for (int i = 0; i < kSlotCount; ++i) Channels[i] = 100 + i;
    for (int32_t slot : kOutsideSlots) {
        SCOPED_TRACE(slot);
        SetData(slot);
        SetFile("song.wav");
        EXPECT_FALSE(CreateChannel());
        Run(EqCreateChannel, {slot});
        Run(PlayChannel, {slot});
        Run(StopChannel, {slot});
        Run(FreeChannel, {slot});
        Run(SetPositionForChannel, {slot, 10});
        EXPECT_TRUE(Take().empty());

        Run(PauseChannel, {slot});
        Run(SetValumeChannel, {slot, 50});
        EXPECT_EQ(Take(), (Calls{"BASS_ChannelPause(0)", "BASS_ChannelSetAttribute(0, 2, 0.5)"}));
    }
    for (int i = 0; i < kSlotCount; ++i) EXPECT_EQ(Channels[i], 100u + i);
    for (int i = 0; i < kSlotCount; ++i) EXPECT_FALSE(WasStopped[i]);
    for (const auto& row : EqEffects) {
        for (uint32_t effect : row) EXPECT_EQ(effect, 0u);
    }
}

TEST_F(TransportTest, TheFirstAndLastSlotsAreInTheTable) {
    Open(1, 11);
    Open(32, 42);
    EXPECT_EQ(Channels[0], 11u);
    EXPECT_EQ(Channels[31], 42u);
    Run(PlayChannel, {32});
    Run(PlayChannel, {1});
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelPlay(42, 0)", "BASS_ChannelPlay(11, 0)"}));
}

}  // namespace
