// SPDX-License-Identifier: MIT
#include "tools/plughost/Plugin.h"

#include <algorithm>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "tools/plughost/Texts.h"

namespace plughost {
namespace {

#ifdef _WIN32
constexpr const char* kSeparators = "\\/";
constexpr const char* kPluginFile = "Plugin.dll";
#else
constexpr const char* kSeparators = "/";
constexpr const char* kPluginFile = "Plugin.so";
#endif

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of(kSeparators);
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
    plugin->FindEngineCalls();
    // plughost owns its process and uses no FFmpeg of its own: what FFmpeg would log
    // on a damaged file is not for its output, which reports the file its own way.
    using Quiet = decltype(&AE_QuietLibraries);
    if (auto quiet = reinterpret_cast<Quiet>(plugin->library_->EngineFunction("AE_QuietLibraries")))
        quiet();
    return plugin;
}

void Plugin::FindEngineCalls() {
    const auto find = [this](auto& pointer, const char* name) {
        pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(
            library_->EngineFunction(name));
    };
    find(errorGetCode_, "BASS_ErrorGetCode");
    find(errorName_, "AE_ErrorName");
    find(outputName_, "AE_OutputName");
    find(outputReason_, "AE_OutputReason");
    find(outputPendingMs_, "AE_OutputPendingMs");
    find(streamInfo_, "AE_StreamInfo");
    find(streamRefusal_, "AE_StreamRefusal");
    find(render_, "AE_Render");
}

std::string Plugin::Start() {
    const std::string folder = FolderOf(path()) + "/";
    exports().SetPath(folder.c_str());
    exports().SetParentWindow(nullptr);
    exports().InitBass();
    // InitBass makes one engine call, BASS_Init, on this thread: its error code is
    // this thread's now.
    const int code = errorGetCode_ ? errorGetCode_() : 0;
    const bool started = outputName_ ? !OutputName().empty() : code == 0;
    if (started) return "";
    const std::string reason = OutputReason();
    if (!reason.empty()) return reason;
    std::string text = "the engine did not start (error " + std::to_string(code);
    if (errorName_) text += std::string(", ") + errorName_(code);
    return text + ")";
}

std::string Plugin::Refusal() const {
    if (!streamRefusal_) return "";
    char text[256];
    streamRefusal_(text, sizeof text);
    return text;
}

std::string Plugin::OutputReason() const {
    const char* reason = outputReason_ ? outputReason_() : nullptr;
    return reason ? reason : "";
}

std::string Plugin::OutputName() const {
    const char* name = outputName_ ? outputName_() : nullptr;
    return name ? name : "";
}

int Plugin::OutputPendingMs() const {
    return outputPendingMs_ ? static_cast<int>(std::min<DWORD>(outputPendingMs_(), INT32_MAX)) : 0;
}

std::optional<AE_STREAMINFO> Plugin::StreamInfo(const std::string& file) const {
    AE_STREAMINFO info{};
    if (!streamInfo_ || !streamInfo_(file.c_str(), &info)) return std::nullopt;
    return info;
}

bool Plugin::Render(float* out, uint32_t frames) const {
    return render_ != nullptr && render_(out, frames) != 0;
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
    const std::string self = pluginloader::RunningProgramPath();
    if (self.empty()) return kPluginFile;
    return FolderOf(self) + kSeparators[0] + kPluginFile;
}

}  // namespace plughost
