// SPDX-License-Identifier: MIT
#include "tests/integration/PluginHost.h"

#include <gtest/gtest.h>

namespace integration {

PluginHost::PluginHost(const char* path)
    : library_(pluginloader::PluginLibrary::Load(path, &error_)) {}

void PluginHost::Call(const char* name) {
    const auto action = pluginloader::ChannelAction(exports(), name);
    if (action == nullptr) {
        ADD_FAILURE() << name << " is not an export that takes no arguments";
        return;
    }
    action();
}

std::string PluginHost::Query(const char* name, const std::vector<int32_t>& operands) {
    for (const int32_t value : operands) SetData(value);
    Call(name);
    return GetFile();
}

std::string PluginHost::Query(const char* name, const std::vector<int32_t>& operands,
                              const std::string& text) {
    for (const int32_t value : operands) SetData(value);
    SetFile(text.c_str());
    Call(name);
    return GetFile();
}

std::vector<std::string> PluginHost::Fields(const std::string& text) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t hash = text.find('#'); hash != std::string::npos; hash = text.find('#', start)) {
        fields.push_back(text.substr(start, hash - start));
        start = hash + 1;
    }
    return fields;
}

}  // namespace integration
