// SPDX-License-Identifier: MIT
// Drives the plug-in's exports as a host does, over the recording engine double.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/channels/ChannelExports.h"
#include "plugin/channels/uFunctions.h"
#include "plugin/host/HostExports.h"
#include "tests/plugin/double/EngineDouble.h"

using Calls = std::vector<std::string>;
namespace ed = enginedouble;

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetAll(); }
    void TearDown() override { ResetAll(); }

  public:
    // The state of a freshly loaded library, and a double with nothing scripted.
    static void ResetAll() {
        std::memset(Channels, 0, sizeof Channels);
        std::memset(WasStopped, 0, sizeof WasStopped);
        std::memset(EqEffects, 0, sizeof EqEffects);
        std::memset(DataHistory, 0, sizeof DataHistory);
        DataResult = 0;
        ParentWindow = nullptr;
        ReleaseTexts();
        ed::Reset();
    }

    // Opens a stream the engine gives `handle` into `slot` and forgets the calls made.
    static void Open(int32_t slot, uint32_t handle, const char* file = "song.wav") {
        ed::Queue("BASS_StreamCreateFile", ed::Int(handle));
        SetData(slot);
        SetFile(file);
        ASSERT_TRUE(CreateChannel());
        ed::TakeCalls();
    }

    // Pushes the integers, first one first (so the last is entry 0), and calls `fn`.
    static void Run(void (*fn)(), std::initializer_list<int32_t> operands) {
        for (int32_t value : operands) SetData(value);
        fn();
    }

    // Runs a query for `slot` and returns the text the host reads back.
    static std::string Query(void (*fn)(), int32_t slot) {
        Run(fn, {slot});
        return GetFile();
    }

    static Calls Take() { return ed::TakeCalls(); }
};
