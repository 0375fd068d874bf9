// SPDX-License-Identifier: MIT
// A test of the plug-in that LoadedPlugin has loaded, driven through its registers:
// files written into a temporary folder of the test's own, opened into slots, and
// every slot freed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/integration/LoadedPlugin.h"
#include "tests/integration/PluginHost.h"
#include "tests/support/AudioFiles.h"

namespace integration {

class PluginFixture : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Host().ok()) << Host().error(); }
    void TearDown() override {
        if (!Host().ok()) return;
        for (int slot = 1; slot <= 32; ++slot) Call("FreeChannel", {slot});
    }

    // Writes `frames` as `name` in `format` into the test's folder; the file's path.
    std::string Write(const std::string& name, testaudio::Format format, int rate, int channels,
                      const std::vector<float>& frames) {
        const std::string path = dir_.File(name + testaudio::Extension(format));
        EXPECT_TRUE(testaudio::Write(path, format, rate, channels, frames)) << path;
        return path;
    }

    // Opens `path` into `slot`; CreateChannel's own answer.
    static bool Open(int slot, const std::string& path) {
        Host().SetData(slot);
        Host().SetFile(path.c_str());
        return Host().CreateChannel();
    }

    // Sets the integer registers to `operands`, in order, and calls `name`.
    static void Call(const char* name, const std::vector<int32_t>& operands) {
        for (const int32_t v : operands) Host().SetData(v);
        Host().Call(name);
    }

    testaudio::TempDir dir_;

  private:
    static PluginHost& Host() { return LoadedPlugin::Host(); }
};

}  // namespace integration
