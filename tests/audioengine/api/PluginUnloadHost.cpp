// A host that loads Plugin.so with dlopen, as a real host does, starts 32 slots
// playing on the engine and unloads the plug-in while they play. The engine must
// outlive the plug-in, and the process must end with the exit code it chooses.
//
//   plugin_unload_host CODE [keep]   (keep: exit with the plug-in still loaded)
//
// Exit codes other than CODE: 2 the plug-in did not load, 3 a file could not be written.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/AudioFiles.h"

int main(int argc, char** argv) {
    const int code = argc > 1 ? std::atoi(argv[1]) : 0;
    const bool keep = argc > 2 && std::string(argv[2]) == "keep";
    static testaudio::TempDir dir;
    const std::string path = dir.File("tone.mp3");
    if (!testaudio::Write(path, testaudio::Format::Mp3, 44100, 2,
                          testaudio::Sine(44100, 2, 44100 * 4, 440, 0.2)))
        return 3;

    void* plugin = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) return 2;
    using IntFn = void (*)(int);
    using TextFn = void (*)(const char*);
    using VoidFn = void (*)();
    const auto set_data = reinterpret_cast<IntFn>(dlsym(plugin, "SetData"));
    const auto set_file = reinterpret_cast<TextFn>(dlsym(plugin, "SetFile"));
    const auto init = reinterpret_cast<VoidFn>(dlsym(plugin, "InitBass"));
    // CreateChannel returns its success as a one-byte Boolean.
    const auto create = reinterpret_cast<bool (*)()>(dlsym(plugin, "CreateChannel"));
    const auto play = reinterpret_cast<VoidFn>(dlsym(plugin, "PlayChannel"));
    const auto eq = reinterpret_cast<VoidFn>(dlsym(plugin, "EqCreateChannel"));
    if (!set_data || !set_file || !init || !create || !play || !eq) return 2;

    init();
    for (int slot = 1; slot <= 32; ++slot) {
        set_data(slot);
        set_file(path.c_str());
        create();
        eq();
        play();
    }
    usleep(300000);
    if (!keep) {
        if (dlclose(plugin) != 0) return 2;
        usleep(200000);  // the engine keeps playing without the plug-in
    }
    return code;
}
