// SPDX-License-Identifier: MIT
// A host that loads Plugin.so as a real host does and starts 32 slots playing on the
// engine, then ends one of four ways. The engine must outlive the plug-in, and the
// process must end with the exit code it chooses.
//
//   plugin_unload_host CODE [MODE]
//     unload       unloads the plug-in: its streams must be gone from the engine;
//                  loads it again, plays one slot and unloads it again (the default)
//     keep         exits with the plug-in still loaded
//     fork-exit    a forked child calls exit(kChildCode) with the plug-in loaded
//     fork-unload  a forked child unloads the plug-in, then calls _exit(kChildCode)
//   After a fork-* child has ended, the host goes on as in `unload`.
//
// This program defines BASS_StreamCreateFile and BASS_StreamFree itself and exports
// them, so the plug-in's calls reach these, which record the call and pass it on to
// the engine. A stream freed once the exit handlers have run (the engine has shut
// down by then), or in a forked child, is reported on stderr.
//
// Exit codes other than CODE: 2 the plug-in did not load or unload (the reason on
// stderr), 3 a file could not be written, 4 a stream of an unloaded plug-in is still
// in the engine or a reloaded one does not play, 6 the forked child did not end
// within 5 s, 7 it ended otherwise than with kChildCode.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "plugin/engine/Bass.h"
#include "tests/support/AudioFiles.h"
#include "tools/pluginloader/PluginLoader.h"

namespace {

constexpr int kChildCode = 9;

const pid_t hostProcess = getpid();
bool exitHandlersRan = false;  // set by the first exit handler registered, run last

// Every stream the plug-in opened, in order.
HSTREAM opened[64];
int openedCount = 0;

void Report(const char* text) {
    const ssize_t written = write(STDERR_FILENO, text, std::strlen(text));
    (void)written;
}

// Says on stderr why the host ends with `status`.
int Fail(int status, const char* why) {
    Report(why);
    return status;
}

template <typename Fn>
Fn Engine(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HSTREAM BASS_CALL
BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
    static const auto create =
        Engine<HSTREAM (*)(BOOL, const void*, QWORD, QWORD, DWORD)>("BASS_StreamCreateFile");
    const HSTREAM handle = create(mem, file, offset, length, flags);
    if (handle != 0 && openedCount < 64) opened[openedCount++] = handle;
    return handle;
}

extern "C" __attribute__((visibility("default"))) BOOL BASS_CALL BASS_StreamFree(HSTREAM handle) {
    static const auto engineFree = Engine<BOOL (*)(HSTREAM)>("BASS_StreamFree");
    if (getpid() != hostProcess) {
        Report("a stream was freed in a forked child\n");
        return FALSE;
    }
    if (exitHandlersRan) {
        Report("a stream was freed at process exit\n");
        return FALSE;
    }
    return engineFree(handle);
}

namespace {

// True when none of the streams opened[first..end) is left in the engine: each handle
// is stale (the engine knows it no more), not merely stopped.
bool StreamsGone(int first, int end) {
    for (int i = first; i < end; ++i) {
        if (BASS_ChannelIsActive(opened[i]) != BASS_ACTIVE_STOPPED ||
            BASS_ErrorGetCode() != BASS_ERROR_HANDLE) {
            return false;
        }
    }
    return true;
}

std::unique_ptr<pluginloader::PluginLibrary> Load() {
    std::string error;
    auto plugin = pluginloader::PluginLibrary::Load(PLUGIN_PATH, &error);
    if (!plugin) std::fprintf(stderr, "%s\n", error.c_str());
    return plugin;
}

bool Unload(pluginloader::PluginLibrary& plugin) {
    std::string error;
    if (plugin.Unload(&error)) return true;
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
}

void Play(const pluginloader::PluginExports& e, int slot, const std::string& path) {
    e.SetData(slot);
    e.SetFile(path.c_str());
    e.CreateChannel();
    e.EqCreateChannel();
    e.PlayChannel();
}

// Runs `child` in a forked child; 0 when it ended with kChildCode within 5 s.
template <typename Child>
int RunForked(Child child) {
    const pid_t pid = fork();
    if (pid < 0) return Fail(7, "fork failed\n");
    if (pid == 0) child();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return Fail(6, "the forked child did not end within 5 s\n");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kChildCode) return 0;
    return Fail(7, "the forked child did not end with its own exit code\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::atexit([] { exitHandlersRan = true; });
    const int code = argc > 1 ? std::atoi(argv[1]) : 0;
    const std::string mode = argc > 2 ? argv[2] : "unload";
    // Local, not static: a forked child that calls exit must not remove it.
    testaudio::TempDir dir;
    const std::string path = dir.File("tone.mp3");
    if (!testaudio::Write(path, testaudio::Format::Mp3, 44100, 2,
                          testaudio::Sine(44100, 2, 44100 * 4, 440, 0.2)))
        return 3;

    auto plugin = Load();
    if (!plugin) return 2;
    plugin->exports().InitBass();
    for (int slot = 1; slot <= 32; ++slot) Play(plugin->exports(), slot, path);
    usleep(300000);
    if (openedCount != 32 || BASS_ChannelIsActive(opened[0]) != BASS_ACTIVE_PLAYING)
        return Fail(4, "the 32 slots do not play\n");

    if (mode == "keep") {
        plugin->LeaveLoaded();
        return code;
    }
    if (mode == "fork-exit" || mode == "fork-unload") {
        const int child = RunForked([&] {
            if (mode == "fork-exit") std::exit(kChildCode);
            // Ends without the exit handlers, so that what is watched is the unload.
            _exit(Unload(*plugin) ? kChildCode : 2);
        });
        if (child != 0) return child;
    }

    if (!Unload(*plugin)) return 2;
    if (!StreamsGone(0, openedCount))
        return Fail(4, "a stream of the unloaded plug-in is still in the engine\n");
    // A reloaded plug-in starts with empty slots and the engine with none of the old
    // streams: what plays then is the new plug-in's alone, and goes at its unload.
    const int reloaded = openedCount;
    plugin = Load();
    if (!plugin) return 2;
    plugin->exports().InitBass();  // the engine runs already: refused, changes nothing
    Play(plugin->exports(), 1, path);
    if (openedCount != reloaded + 1 ||
        BASS_ChannelIsActive(opened[reloaded]) != BASS_ACTIVE_PLAYING)
        return Fail(4, "the reloaded plug-in does not play\n");
    if (!Unload(*plugin)) return 2;
    if (!StreamsGone(reloaded, openedCount))
        return Fail(4, "the reloaded plug-in's stream is still in the engine\n");
    usleep(200000);  // the engine runs on without the plug-in
    return code;
}
