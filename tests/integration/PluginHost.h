// SPDX-License-Identifier: MIT
// Plugin.so loaded through the shared loader and driven only through its 30 exports,
// the way a host does: operands pushed with SetData/SetFile, results read with GetFile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/pluginloader/PluginLoader.h"

namespace integration {

class PluginHost {
  public:
    // Loads the plug-in; ok() tells whether it loaded with every export.
    explicit PluginHost(const char* path);
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    bool ok() const { return library_ != nullptr; }
    const std::string& error() const { return error_; }

    // Calls an export that takes no arguments and returns nothing (InitBass,
    // PlayChannel, ...), by name.
    void Call(const char* name);
    // CreateChannel, with the success it returns as a one-byte Boolean.
    bool CreateChannel() { return exports().CreateChannel(); }
    void SetData(int32_t value) { exports().SetData(value); }
    void SetFile(const char* text) { exports().SetFile(text); }
    std::string GetFile() { return exports().GetFile(); }

    // Pushes `operands` with SetData in order (the last becomes entry 0), calls the
    // export and returns FileResult.
    std::string Query(const char* name, const std::vector<int32_t>& operands);
    // The same with a text pushed after the integers.
    std::string Query(const char* name, const std::vector<int32_t>& operands,
                      const std::string& text);

    // The fields of a field list ("75#01:15#" gives "75", "01:15").
    static std::vector<std::string> Fields(const std::string& text);

  private:
    const pluginloader::PluginExports& exports() const { return library_->exports(); }

    std::string error_;  // before library_, which the load sets it from
    std::unique_ptr<pluginloader::PluginLibrary> library_;
};

}  // namespace integration
