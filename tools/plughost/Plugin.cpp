#include "tools/plughost/Plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "plugin/exports/ExportNames.h"
#include "tools/plughost/Texts.h"

namespace plughost {
namespace {

// dlsym hands back an object pointer; POSIX guarantees it converts to the
// function pointer it names.
template <typename Fn>
void Bind(Fn& target, void* symbol) {
    target = reinterpret_cast<Fn>(symbol);
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

PluginExports::Action ChannelAction(const PluginExports& e, const std::string& name) {
    const std::pair<const char*, PluginExports::Action> actions[] = {
        {"GetShortInfo", e.GetShortInfo},
        {"Draw", e.Draw},
        {"InitBass", e.InitBass},
        {"PlayChannel", e.PlayChannel},
        {"FreeChannel", e.FreeChannel},
        {"StopChannel", e.StopChannel},
        {"PauseChannel", e.PauseChannel},
        {"SetPositionForChannel", e.SetPositionForChannel},
        {"GetLevelChannel", e.GetLevelChannel},
        {"GetDataChannel128", e.GetDataChannel128},
        {"GetDataChannel20", e.GetDataChannel20},
        {"GetPosTimeChannel", e.GetPosTimeChannel},
        {"GetLengthTimeChannel", e.GetLengthTimeChannel},
        {"GetTagChannel", e.GetTagChannel},
        {"EqSetChannel", e.EqSetChannel},
        {"SetValumeChannel", e.SetValumeChannel},
        {"GetFreqChannel", e.GetFreqChannel},
        {"GetBitrateChannel", e.GetBitrateChannel},
        {"GetChansChannel", e.GetChansChannel},
        {"EqCreateChannel", e.EqCreateChannel},
    };
    for (const auto& [actionName, action] : actions) {
        if (name == actionName) return action;
    }
    return nullptr;
}

std::unique_ptr<Plugin> Plugin::Load(const std::string& path, std::string* error) {
    // A bare name would make dlopen search the library path; the user means a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        *error = "cannot load the plug-in " + path + ": " + (why ? why : "unknown error");
        return nullptr;
    }

    std::array<void*, 30> symbols{};
    std::string missing;
    int missingCount = 0;
    for (size_t i = 0; i < std::size(kPluginExportNames); ++i) {
        dlerror();
        symbols[i] = dlsym(library, kPluginExportNames[i]);
        if (symbols[i] == nullptr) {
            missing += (missingCount++ ? ", " : "") + std::string(kPluginExportNames[i]);
        }
    }
    if (missingCount > 0) {
        dlclose(library);
        *error = "the plug-in " + path + " lacks " +
                 (missingCount == 1 ? "the export " : "the exports ") + missing;
        return nullptr;
    }

    std::unique_ptr<Plugin> plugin(new Plugin);
    plugin->library_ = library;
    plugin->path_ = path;
    PluginExports& e = plugin->exports_;
    size_t i = 0;
    Bind(e.Copyright, symbols[i++]);
    Bind(e.GetShortInfo, symbols[i++]);
    Bind(e.GetInfo, symbols[i++]);
    Bind(e.GetType, symbols[i++]);
    Bind(e.SetPath, symbols[i++]);
    Bind(e.SetParentWindow, symbols[i++]);
    Bind(e.Draw, symbols[i++]);
    Bind(e.SetFile, symbols[i++]);
    Bind(e.GetFile, symbols[i++]);
    Bind(e.SetData, symbols[i++]);
    Bind(e.GetData, symbols[i++]);
    Bind(e.InitBass, symbols[i++]);
    Bind(e.PlayChannel, symbols[i++]);
    Bind(e.CreateChannel, symbols[i++]);
    Bind(e.FreeChannel, symbols[i++]);
    Bind(e.StopChannel, symbols[i++]);
    Bind(e.PauseChannel, symbols[i++]);
    Bind(e.SetPositionForChannel, symbols[i++]);
    Bind(e.GetLevelChannel, symbols[i++]);
    Bind(e.GetDataChannel128, symbols[i++]);
    Bind(e.GetDataChannel20, symbols[i++]);
    Bind(e.GetPosTimeChannel, symbols[i++]);
    Bind(e.GetLengthTimeChannel, symbols[i++]);
    Bind(e.GetTagChannel, symbols[i++]);
    Bind(e.EqSetChannel, symbols[i++]);
    Bind(e.SetValumeChannel, symbols[i++]);
    Bind(e.GetFreqChannel, symbols[i++]);
    Bind(e.GetBitrateChannel, symbols[i++]);
    Bind(e.GetChansChannel, symbols[i++]);
    Bind(e.EqCreateChannel, symbols[i++]);
    return plugin;
}

Plugin::~Plugin() {
    // The plug-in's unload releases its texts; the engine it loaded stays resident
    // and stops its threads at process exit.
    if (library_ != nullptr) dlclose(library_);
}

void Plugin::Start() {
    const std::string folder = FolderOf(path_) + "/";
    exports_.SetPath(folder.c_str());
    exports_.SetParentWindow(nullptr);
    exports_.InitBass();
}

std::string Plugin::Result() const {
    const char* text = exports_.GetFile();
    return text ? std::string(text) : std::string();
}

std::string Plugin::Query(int slot, PluginExports::Action action) {
    exports_.SetData(slot);
    action();
    return Result();
}

bool Plugin::Open(int slot, const std::string& file) {
    exports_.SetData(slot);
    exports_.SetFile(file.c_str());
    exports_.CreateChannel();
    const auto rate = ParseDecimal(RateText(slot));
    return rate && *rate > 0;
}

void Plugin::Play(int slot) {
    exports_.SetData(slot);
    exports_.PlayChannel();
}

void Plugin::Pause(int slot) {
    exports_.SetData(slot);
    exports_.PauseChannel();
}

void Plugin::Stop(int slot) {
    exports_.SetData(slot);
    exports_.StopChannel();
}

void Plugin::Free(int slot) {
    exports_.SetData(slot);
    exports_.FreeChannel();
}

void Plugin::Seek(int slot, int32_t seconds) {
    exports_.SetData(slot);
    exports_.SetData(seconds);
    exports_.SetPositionForChannel();
}

void Plugin::SetVolume(int slot, int32_t percent) {
    exports_.SetData(slot);
    exports_.SetData(percent);
    exports_.SetValumeChannel();
}

void Plugin::CreateEqualiser(int slot) {
    exports_.SetData(slot);
    exports_.EqCreateChannel();
}

void Plugin::SetBand(int slot, int32_t band, int32_t gain) {
    exports_.SetData(slot);
    exports_.SetData(band);
    exports_.SetData(gain);
    exports_.EqSetChannel();
}

std::string Plugin::PositionText(int slot) { return Query(slot, exports_.GetPosTimeChannel); }
std::string Plugin::LengthText(int slot) { return Query(slot, exports_.GetLengthTimeChannel); }
std::string Plugin::LevelText(int slot) { return Query(slot, exports_.GetLevelChannel); }
std::string Plugin::SpectrumText(int slot) { return Query(slot, exports_.GetDataChannel20); }
std::string Plugin::RateText(int slot) { return Query(slot, exports_.GetFreqChannel); }
std::string Plugin::BitrateText(int slot) { return Query(slot, exports_.GetBitrateChannel); }
std::string Plugin::LayoutText(int slot) { return Query(slot, exports_.GetChansChannel); }

std::string Plugin::TagText(int slot, const char* key) {
    exports_.SetData(slot);
    exports_.SetFile(key);
    exports_.GetTagChannel();
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
