// SPDX-License-Identifier: MIT
#include "tools/plughost/Plugin.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "tools/plughost/Texts.h"

namespace plughost {
namespace {

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::unique_ptr<Plugin> Plugin::Load(const std::string& path, std::string* error) {
    auto library = pluginloader::PluginLibrary::Load(path, error);
    if (!library) return nullptr;
    std::unique_ptr<Plugin> plugin(new Plugin);
    plugin->library_ = std::move(library);
    return plugin;
}

void Plugin::Start() {
    const std::string folder = FolderOf(path()) + "/";
    exports().SetPath(folder.c_str());
    exports().SetParentWindow(nullptr);
    exports().InitBass();
}

std::string Plugin::Result() const {
    const char* text = exports().GetFile();
    return text ? std::string(text) : std::string();
}

std::string Plugin::Query(int slot, PluginExports::Action action) {
    exports().SetData(slot);
    action();
    return Result();
}

bool Plugin::Open(int slot, const std::string& file) {
    exports().SetData(slot);
    exports().SetFile(file.c_str());
    exports().CreateChannel();
    const auto rate = ParseDecimal(RateText(slot));
    return rate && *rate > 0;
}

void Plugin::Play(int slot) {
    exports().SetData(slot);
    exports().PlayChannel();
}

void Plugin::Pause(int slot) {
    exports().SetData(slot);
    exports().PauseChannel();
}

void Plugin::Stop(int slot) {
    exports().SetData(slot);
    exports().StopChannel();
}

void Plugin::Free(int slot) {
    exports().SetData(slot);
    exports().FreeChannel();
}

void Plugin::Seek(int slot, int32_t seconds) {
    exports().SetData(slot);
    exports().SetData(seconds);
    exports().SetPositionForChannel();
}

void Plugin::SetVolume(int slot, int32_t percent) {
    exports().SetData(slot);
    exports().SetData(percent);
    exports().SetValumeChannel();
}

void Plugin::CreateEqualiser(int slot) {
    exports().SetData(slot);
    exports().EqCreateChannel();
}

void Plugin::SetBand(int slot, int32_t band, int32_t gain) {
    exports().SetData(slot);
    exports().SetData(band);
    exports().SetData(gain);
    exports().EqSetChannel();
}

std::string Plugin::PositionText(int slot) { return Query(slot, exports().GetPosTimeChannel); }
std::string Plugin::LengthText(int slot) { return Query(slot, exports().GetLengthTimeChannel); }
std::string Plugin::LevelText(int slot) { return Query(slot, exports().GetLevelChannel); }
std::string Plugin::SpectrumText(int slot) { return Query(slot, exports().GetDataChannel20); }
std::string Plugin::RateText(int slot) { return Query(slot, exports().GetFreqChannel); }
std::string Plugin::BitrateText(int slot) { return Query(slot, exports().GetBitrateChannel); }
std::string Plugin::LayoutText(int slot) { return Query(slot, exports().GetChansChannel); }

std::string Plugin::TagText(int slot, const char* key) {
    exports().SetData(slot);
    exports().SetFile(key);
    exports().GetTagChannel();
    return Result();
}

std::string DefaultPluginPath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "Plugin.so";
    self[n] = '\0';
    return FolderOf(self) + "/Plugin.so";
}

}  // namespace plughost
