// SPDX-License-Identifier: MIT
// The built Plugin.so loaded as a host loads it, with the recording engine double as
// its libbass.so and libtags.so: every argument and result crosses the real dynamic
// boundary (64-bit positions, doubles, floats, records, texts, the one-byte Boolean).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/plugin/double/EngineDouble.h"
#include "tools/pluginloader/PluginLoader.h"

namespace {

namespace ed = enginedouble;
using Calls = std::vector<std::string>;

class HostBoundaryTest : public ::testing::Test {
  protected:
    // One load for the whole suite: the registers and tables live as long as the library.
    static void SetUpTestSuite() {
        // The engine libraries this test links are already loaded under the names the
        // plug-in needs, so the plug-in's engine calls reach the double.
        std::string error;
        library_ = pluginloader::PluginLibrary::Load(PLUGIN_PATH, &error);
        ASSERT_NE(library_, nullptr) << error;
    }
    static void TearDownTestSuite() {
        if (library_ != nullptr) {
            std::string error;
            EXPECT_TRUE(library_->Unload(&error)) << error;
        }
        library_.reset();
    }
    void SetUp() override {
        ASSERT_NE(library_, nullptr);
        ed::Reset();
    }

    static const pluginloader::PluginExports& Exports() { return library_->exports(); }
    // An export that takes and returns nothing, by name.
    static void Call(const char* name) {
        const auto action = pluginloader::ChannelAction(Exports(), name);
        ASSERT_NE(action, nullptr) << name;
        action();
    }
    static void SetData(int32_t value) { Exports().SetData(value); }
    static void SetFile(const char* text) { Exports().SetFile(text); }
    static std::string GetFile() { return Exports().GetFile(); }
    // Opens a stream the engine gives `handle` into `slot`, forgetting the calls made.
    static void Open(int32_t slot, uint32_t handle) {
        ed::Queue("BASS_StreamCreateFile", ed::Int(handle));
        SetData(slot);
        SetFile("song.wav");
        ASSERT_TRUE(Exports().CreateChannel());
        ed::TakeCalls();
    }

    static inline std::unique_ptr<pluginloader::PluginLibrary> library_;
};

TEST_F(HostBoundaryTest, AFreshLoadStartsEmptyAndInitsOnTheParentWindow) {
    EXPECT_EQ(GetFile(), "");
    EXPECT_EQ(Exports().GetData(), 0);
    Exports().SetParentWindow(reinterpret_cast<void*>(0x1234));
    ed::Queue("BASS_Init", ed::Int(FALSE));
    Call("InitBass");  // a failed start leaves the host running
    EXPECT_EQ(ed::TakeCalls(), (Calls{"BASS_Init(-1, 44100, 0, 0x1234, null)"}));
}

TEST_F(HostBoundaryTest, TransportCallsCarryTheirExactArguments) {
    ed::Queue("BASS_StreamCreateFile", ed::Int(88));
    SetData(3);
    SetFile("/music/caf\xe9.mp3");
    EXPECT_TRUE(Exports().CreateChannel());

    ed::Queue("BASS_ChannelSeconds2Bytes", ed::Int((uint64_t{1} << 33) + 2));
    SetData(3);
    SetData(90);
    Call("SetPositionForChannel");
    SetData(3);
    SetData(50);
    Call("SetValumeChannel");
    SetData(3);
    Call("StopChannel");
    Call("PlayChannel");
    EXPECT_EQ(
        ed::TakeCalls(),
        (Calls{"BASS_StreamCreateFile(0, \"/music/caf\xe9.mp3\", 0, 0, 0)",
               "BASS_ChannelSeconds2Bytes(88, 90)", "BASS_ChannelSetPosition(88, 8589934594, 0)",
               "BASS_ChannelSetAttribute(88, 2, 0.5)", "BASS_ChannelStop(88)",
               "BASS_ChannelSeconds2Bytes(88, 0)", "BASS_ChannelSetPosition(88, 0, 0)",
               "BASS_ChannelPlay(88, 0)"}));
}

TEST_F(HostBoundaryTest, QueriesReadTheEngineResults) {
    Open(2, 77);
    ed::Queue("BASS_ChannelGetLength", ed::Int(26460000));
    ed::Queue("BASS_ChannelBytes2Seconds", ed::Seconds(3725.5));
    SetData(2);
    Call("GetLengthTimeChannel");
    EXPECT_EQ(GetFile(), "3726#02:06#");

    ed::Queue("BASS_ChannelGetInfo", ed::Info(44100, 6));
    Call("GetChansChannel");
    EXPECT_EQ(GetFile(), "6 channels");

    ed::Queue("TAGS_Read", ed::Text("Title \xff"));
    SetFile("%TITL");
    Call("GetTagChannel");
    EXPECT_EQ(GetFile(), "Title \xff");

    std::vector<uint32_t> spectrum(256, 0);
    spectrum[5] = 0x3F800000;  // 1.0
    ed::Queue("BASS_ChannelGetData", ed::Spectrum(spectrum));
    Call("GetDataChannel20");
    EXPECT_EQ(GetFile(), "1065353216#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");
    EXPECT_EQ(ed::TakeCalls().size(), 2u + 1 + 1 + 20);
}

TEST_F(HostBoundaryTest, EqualiserRecordsReachTheEngine) {
    Open(2, 77);
    for (uint32_t i = 0; i < 10; ++i) ed::Queue("BASS_ChannelSetFX", ed::Int(300 + i));
    SetData(2);
    Call("EqCreateChannel");
    SetData(2);
    SetData(10);
    SetData(-15);
    Call("EqSetChannel");
    const Calls calls = ed::TakeCalls();
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(calls[0], "BASS_ChannelSetFX(77, 7, 1)");
    EXPECT_EQ(calls[10], "BASS_FXSetParameters(309, {16000, 36, -15})");
    EXPECT_EQ(GetFile(), "");
}

}  // namespace
