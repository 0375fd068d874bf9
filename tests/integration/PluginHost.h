// Loads Plugin.so with dlopen and drives it only through its 30 exports, the way a
// host does: operands pushed with SetData/SetFile, results read with GetFile.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string>
#include <vector>

namespace integration {

class PluginHost {
  public:
    // Loads the plug-in; ok() tells whether it loaded with every export.
    explicit PluginHost(const char* path);
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

    // Calls an export that takes no arguments (InitBass, PlayChannel, ...).
    void Call(const char* name);
    // CreateChannel, with the success it returns as a one-byte Boolean.
    bool CreateChannel();
    void SetData(int32_t value) { set_data_(value); }
    void SetFile(const char* text) { set_file_(text); }
    std::string GetFile() { return get_file_(); }

    // Pushes `operands` with SetData in order (the last becomes entry 0), calls the
    // export and returns FileResult.
    std::string Query(const char* name, const std::vector<int32_t>& operands);
    // The same with a text pushed after the integers.
    std::string Query(const char* name, const std::vector<int32_t>& operands,
                      const std::string& text);

    // The fields of a field list ("75#01:15#" gives "75", "01:15").
    static std::vector<std::string> Fields(const std::string& text);

  private:
    void* handle_ = nullptr;
    bool ok_ = false;
    std::string error_;
    void (*set_data_)(int32_t) = nullptr;
    void (*set_file_)(const char*) = nullptr;
    const char* (*get_file_)() = nullptr;
};

}  // namespace integration
