// SPDX-License-Identifier: MIT
// A host that loads Plugin.so as a real host does, starts 32 slots playing on the
// engine and unloads the plug-in while they play. The engine must outlive the
// plug-in, and the process must end with the exit code it chooses.
//
//   plugin_unload_host CODE [keep]   (keep: exit with the plug-in still loaded)
//
// Exit codes other than CODE: 2 the plug-in did not load or unload (the reason on
// stderr), 3 a file could not be written.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/AudioFiles.h"
#include "tools/pluginloader/PluginLoader.h"

int main(int argc, char** argv) {
    const int code = argc > 1 ? std::atoi(argv[1]) : 0;
    const bool keep = argc > 2 && std::string(argv[2]) == "keep";
    static testaudio::TempDir dir;
    const std::string path = dir.File("tone.mp3");
    if (!testaudio::Write(path, testaudio::Format::Mp3, 44100, 2,
                          testaudio::Sine(44100, 2, 44100 * 4, 440, 0.2)))
        return 3;

    std::string error;
    const auto plugin = pluginloader::PluginLibrary::Load(PLUGIN_PATH, &error);
    if (!plugin) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const pluginloader::PluginExports& e = plugin->exports();
    e.InitBass();
    for (int slot = 1; slot <= 32; ++slot) {
        e.SetData(slot);
        e.SetFile(path.c_str());
        e.CreateChannel();
        e.EqCreateChannel();
        e.PlayChannel();
    }
    usleep(300000);
    if (keep) {
        plugin->LeaveLoaded();
    } else {
        if (!plugin->Unload(&error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
        usleep(200000);  // the engine keeps playing without the plug-in
    }
    return code;
}
