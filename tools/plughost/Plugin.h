// SPDX-License-Identifier: MIT
// The plug-in as plughost drives it: loaded through the shared loader, driven only
// through its exports. The typed wrappers below push operands into the plug-in's
// registers exactly as a host would.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "tools/pluginloader/PluginLoader.h"

namespace plughost {

using pluginloader::ChannelAction;
using pluginloader::PluginExports;

class Plugin {
  public:
    // Loads the plug-in at `path` and resolves every export. On failure returns
    // nullptr and sets *error to the loader's message (why it did not load, or the
    // exports it lacks).
    static std::unique_ptr<Plugin> Load(const std::string& path, std::string* error);
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const PluginExports& exports() const { return library_->exports(); }
    const std::string& path() const { return library_->path(); }

    // The start-up a host makes: SetPath (the plug-in's folder), SetParentWindow(0)
    // and InitBass. Returns an empty text when the engine started, else why not: the
    // engine's own account of its output when it gives one, else its error code.
    std::string Start();

    // ---- What the plug-in cannot tell, read from the engine it has loaded ----
    // The output in use and why it was chosen, in the engine's words ("null: no
    // sound device opened (...)"); empty when the engine does not say.
    std::string OutputReason() const;
    // The output in use ("device", "null", ...); empty when the engine does not say.
    std::string OutputName() const;
    // Milliseconds until the output has played what it has taken from the mix; 0 when
    // the engine does not say.
    int OutputPendingMs() const;
    // What the engine recognised in the file the last Open on this thread refused
    // ("MP4 with an unsupported codec: Dolby AC-4"), or "" when it cannot say.
    std::string Refusal() const;
    // The exact facts of a file as the engine would open it; nullopt when the engine
    // offers no such call or refuses the file.
    std::optional<AE_STREAMINFO> StreamInfo(const std::string& file) const;
    // Renders the next `frames` frames of the mix (stereo float at the engine's
    // rate) on the engine's manual output. False when the engine offers no render or
    // cannot render now.
    bool Render(float* out, uint32_t frames) const;
    bool CanRender() const { return render_ != nullptr; }

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
    void FindEngineCalls();

    std::unique_ptr<pluginloader::PluginLibrary> library_;
    // The engine's calls, found through the plug-in's own libraries; each may be
    // missing (another engine, an older one).
    decltype(&BASS_ErrorGetCode) errorGetCode_ = nullptr;
    decltype(&AE_ErrorName) errorName_ = nullptr;
    decltype(&AE_OutputName) outputName_ = nullptr;
    decltype(&AE_OutputReason) outputReason_ = nullptr;
    decltype(&AE_OutputPendingMs) outputPendingMs_ = nullptr;
    decltype(&AE_StreamRefusal) streamRefusal_ = nullptr;
    decltype(&AE_StreamInfo) streamInfo_ = nullptr;
    decltype(&AE_Render) render_ = nullptr;
};

// The default plug-in: Plugin.so in the folder of the running executable.
std::string DefaultPluginPath();

}  // namespace plughost
