// Loading the plug-in the way a host does: dlopen it, resolve its 30 exports by
// name, and drive it only through them. The typed wrappers below read operands
// from the plug-in's registers exactly as a host would push them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plughost {

// The plug-in's exports as a host sees them: the identity and register exports
// take and return plain values; every channel export takes no argument and
// returns nothing a host may rely on.
struct PluginExports {
    using Action = void (*)();
    const char* (*Copyright)() = nullptr;
    Action GetShortInfo = nullptr;
    const char* (*GetInfo)() = nullptr;
    int32_t (*GetType)() = nullptr;
    void (*SetPath)(const char*) = nullptr;
    void (*SetParentWindow)(void*) = nullptr;
    Action Draw = nullptr;
    void (*SetFile)(const char*) = nullptr;
    const char* (*GetFile)() = nullptr;
    void (*SetData)(int32_t) = nullptr;
    int32_t (*GetData)() = nullptr;
    Action InitBass = nullptr;
    Action PlayChannel = nullptr;
    // A host may ignore the one-byte success flag CreateChannel returns.
    bool (*CreateChannel)() = nullptr;
    Action FreeChannel = nullptr;
    Action StopChannel = nullptr;
    Action PauseChannel = nullptr;
    Action SetPositionForChannel = nullptr;
    Action GetLevelChannel = nullptr;
    Action GetDataChannel128 = nullptr;
    Action GetDataChannel20 = nullptr;
    Action GetPosTimeChannel = nullptr;
    Action GetLengthTimeChannel = nullptr;
    Action GetTagChannel = nullptr;
    Action EqSetChannel = nullptr;
    Action SetValumeChannel = nullptr;
    Action GetFreqChannel = nullptr;
    Action GetBitrateChannel = nullptr;
    Action GetChansChannel = nullptr;
    Action EqCreateChannel = nullptr;
};

// The argument-less export with this name that returns nothing, or nullptr when
// `name` is not one of them (the identity and register exports and CreateChannel
// take or return values).
PluginExports::Action ChannelAction(const PluginExports& exports, const std::string& name);

class Plugin {
  public:
    // Loads the library at `path` and resolves every export. On failure returns
    // nullptr and sets *error to a message that names the library and says why
    // (dlerror's text, or the exports that are missing).
    static std::unique_ptr<Plugin> Load(const std::string& path, std::string* error);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const PluginExports& exports() const { return exports_; }
    const std::string& path() const { return path_; }

    // The start-up a host makes: SetPath (the plug-in's folder), SetParentWindow(0)
    // and InitBass.
    void Start();

    // GetFile's text, copied at once (the plug-in's pointer is only borrowed).
    std::string Result() const;

    // ---- Channel operations, each pushing its operands as a host does ----
    // Opens `file` into `slot`; true when the slot then holds a stream (checked
    // through the sample-rate query: a slot without a stream reports 0).
    bool Open(int slot, const std::string& file);
    void Play(int slot);
    void Pause(int slot);
    void Stop(int slot);
    void Free(int slot);
    void Seek(int slot, int32_t seconds);
    void SetVolume(int slot, int32_t percent);
    void CreateEqualiser(int slot);
    void SetBand(int slot, int32_t band, int32_t gain);

    // ---- Queries: the export's text, as GetFile returns it ----
    std::string PositionText(int slot);
    std::string LengthText(int slot);
    std::string LevelText(int slot);
    std::string SpectrumText(int slot);
    std::string RateText(int slot);
    std::string BitrateText(int slot);
    std::string LayoutText(int slot);
    std::string TagText(int slot, const char* key);

  private:
    Plugin() = default;
    std::string Query(int slot, PluginExports::Action action);

    void* library_ = nullptr;
    std::string path_;
    PluginExports exports_;
};

// The default plug-in: Plugin.so in the folder of the running executable.
std::string DefaultPluginPath();

}  // namespace plughost
