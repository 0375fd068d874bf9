#include "tests/integration/PluginHost.h"

#include "plugin/exports/ExportNames.h"

namespace integration {

PluginHost::PluginHost(const char* path) {
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = why ? why : "dlopen failed";
        return;
    }
    for (const char* name : kPluginExportNames) {
        if (!dlsym(handle_, name)) {
            error_ = std::string("missing export ") + name;
            return;
        }
    }
    set_data_ = reinterpret_cast<void (*)(int32_t)>(dlsym(handle_, "SetData"));
    set_file_ = reinterpret_cast<void (*)(const char*)>(dlsym(handle_, "SetFile"));
    get_file_ = reinterpret_cast<const char* (*)()>(dlsym(handle_, "GetFile"));
    ok_ = true;
}

PluginHost::~PluginHost() {
    if (handle_) dlclose(handle_);
}

void PluginHost::Call(const char* name) {
    // CreateChannel hands back its success as a one-byte Boolean; calling it through
    // another type would be undefined.
    if (std::string(name) == "CreateChannel") {
        CreateChannel();
        return;
    }
    reinterpret_cast<void (*)()>(dlsym(handle_, name))();
}

bool PluginHost::CreateChannel() {
    return reinterpret_cast<bool (*)()>(dlsym(handle_, "CreateChannel"))();
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
