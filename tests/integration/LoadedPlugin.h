// SPDX-License-Identifier: MIT
// Plugin.so loaded once per test program, as a host loads it once and unloads it when
// it closes: a global test environment that loads it before the first test, starts
// the engine through InitBass on the engine output named `output` ("null", "manual",
// ...), and unloads it after the last test. Exiting with the plug-in still loaded is
// covered by the engine's process tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/integration/PluginHost.h"

namespace integration {

class LoadedPlugin : public ::testing::Environment {
  public:
    // Registers the environment; call it once, from a namespace-scope initialiser.
    static bool Register(const char* path, const char* output) {
        return ::testing::AddGlobalTestEnvironment(new LoadedPlugin(path, output)) != nullptr;
    }

    // The loaded plug-in; valid from the first test to the last.
    static PluginHost& Host() { return *host_; }

    void SetUp() override {
        setenv("AUDIOENGINE_OUTPUT", output_.c_str(), 1);
        host_ = new PluginHost(path_.c_str());
        if (host_->ok()) host_->Call("InitBass");
    }
    void TearDown() override {
        delete host_;
        host_ = nullptr;
    }

  private:
    LoadedPlugin(const char* path, const char* output) : path_(path), output_(output) {}

    static inline PluginHost* host_ = nullptr;
    std::string path_;
    std::string output_;
};

}  // namespace integration
