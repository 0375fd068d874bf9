// SPDX-License-Identifier: MIT
#include "audioengine/core/DeviceList.h"

#include <SDL.h>
#ifndef _WIN32
#include <alsa/asoundlib.h>
#include <pulse/pulseaudio.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <unordered_set>
#include <vector>

#include "audioengine/core/Stream.h"
#include "audioengine/core/Trace.h"
#include "plugin/engine/Bass.h"

#ifdef _WIN32
#include "audioengine/platform/WindowsText.h"
#endif

namespace ae {
namespace {

// Keeps `text` for the life of the process and gives its copy: the engine API hands
// out device texts as bare pointers that callers keep. Each distinct text is kept
// once; there are as many as devices seen.
const char* Keep(const std::string& text) {
    static std::mutex* mutex = new std::mutex;
    static std::unordered_set<std::string>* kept = new std::unordered_set<std::string>;
    std::lock_guard<std::mutex> lock(*mutex);
    return kept->insert(text).first->c_str();  // set nodes never move
}

// What the device output was started on: a driver identifier, "" for the default.
std::atomic<const char*> gDeviceInUse{""};

// ---------------------------------------------------------------- asking

struct Found {
    std::string name;    // for people
    std::string driver;  // what opens it
};

// One answer of a sound server or of SDL.
struct Answer {
    std::vector<Found> devices;
    std::string defaultDriver;  // empty when not known
    std::string source;         // where the list came from, or why there is none
};

#ifndef _WIN32
enum class PulseOutcome { Listed, NoServer, NoAnswer };

struct PulseQuery {
    Answer* answer;
    int pending = 0;  // replies still to come
    bool failed = false;
};

void OnSink(pa_context*, const pa_sink_info* sink, int eol, void* data) {
    auto* query = static_cast<PulseQuery*>(data);
    if (eol != 0) {
        if (eol < 0) query->failed = true;
        --query->pending;
        return;
    }
    if (!sink || !sink->name) return;
    try {  // libpulse is C: nothing may unwind through it
        const char* description = sink->description;
        query->answer->devices.push_back(
            {description && *description ? description : sink->name, sink->name});
    } catch (const std::exception&) {
        query->failed = true;
    }
}

void OnServer(pa_context*, const pa_server_info* server, void* data) {
    auto* query = static_cast<PulseQuery*>(data);
    --query->pending;
    if (!server) {
        query->failed = true;
        return;
    }
    try {
        if (server->default_sink_name) query->answer->defaultDriver = server->default_sink_name;
    } catch (const std::exception&) {
        query->failed = true;
    }
}

// Runs `loop` until `done` or the deadline; false at the deadline or when the loop
// fails.
template <typename Done>
bool RunUntil(pa_mainloop* loop, int64_t deadlineNs, Done done) {
    while (!done()) {
        const int64_t left = deadlineNs - MonotonicNs();
        if (left <= 0) return false;
        if (pa_mainloop_prepare(loop, static_cast<int>(left / 1000 + 1)) < 0 ||
            pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
            return false;
        }
    }
    return true;
}

// Asks the PulseAudio-protocol server (PULSE_SERVER, or where libpulse finds it) for
// its sinks and its default sink, on a main loop of our own that lives for this
// query only. Never starts a server.
PulseOutcome AskPulse(Answer* answer) {
    const int64_t deadline = MonotonicNs() + kDeviceQueryPatienceNs;
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) {
        answer->source = "libpulse: cannot make a main loop";
        return PulseOutcome::NoServer;
    }
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "audio engine device list");
    PulseOutcome outcome = PulseOutcome::NoServer;
    PulseQuery query{answer};
    pa_operation* operations[2] = {nullptr, nullptr};
    if (!context) {
        answer->source = "libpulse: cannot make a context";
    } else if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        answer->source = std::string("no sound server: ") + pa_strerror(pa_context_errno(context));
    } else {
        pa_context_state_t state = PA_CONTEXT_UNCONNECTED;
        const bool settled = RunUntil(loop, deadline, [&] {
            state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
        if (!settled) {
            outcome = PulseOutcome::NoAnswer;
            answer->source = "the sound server did not answer within a second";
        } else if (state != PA_CONTEXT_READY) {
            answer->source =
                std::string("no sound server: ") + pa_strerror(pa_context_errno(context));
        } else {
            query.pending = 2;
            operations[0] = pa_context_get_server_info(context, &OnServer, &query);
            operations[1] = pa_context_get_sink_info_list(context, &OnSink, &query);
            if (!operations[0] || !operations[1]) {
                outcome = PulseOutcome::NoAnswer;
                answer->source = "the sound server refused the device query";
            } else if (!RunUntil(loop, deadline, [&] { return query.pending == 0; })) {
                outcome = PulseOutcome::NoAnswer;
                answer->source = "the sound server did not list its devices within a second";
            } else if (query.failed) {
                outcome = PulseOutcome::NoAnswer;
                answer->source = std::string("the sound server's device list failed: ") +
                                 pa_strerror(pa_context_errno(context));
            } else {
                outcome = PulseOutcome::Listed;
                const char* server = pa_context_get_server(context);
                answer->source = std::string("the sound server") + (server ? " at " : "") +
                                 (server ? server : "");
            }
        }
    }
    for (pa_operation* operation : operations) {
        if (!operation) continue;
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation);  // given up on: its callback must not come
        }
        pa_operation_unref(operation);
    }
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_mainloop_free(loop);
    if (outcome != PulseOutcome::Listed) {
        answer->devices.clear();
        answer->defaultDriver.clear();
    }
    return outcome;
}
#endif

// Asks SDL2 for its output devices, starting its audio subsystem for the query, with
// the drivers the device output uses.
bool AskSdl(Answer* answer) {
    std::lock_guard<std::mutex> lock(SdlAudioMutex());
    if (!StartSdlAudio(&answer->source)) return false;
    const char* sdlDriver = SDL_GetCurrentAudioDriver();
    answer->source = std::string("SDL's ") + (sdlDriver ? sdlDriver : "") + " audio driver";
    const int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
        // Copied at once: SDL's texts last until its next enumeration.
        if (const char* name = SDL_GetAudioDeviceName(i, 0))
            answer->devices.push_back({name, name});
    }
#if SDL_VERSION_ATLEAST(2, 24, 0)
    char* defaultName = nullptr;
    SDL_AudioSpec spec;
    if (SDL_GetDefaultAudioInfo(&defaultName, &spec, 0) == 0 && defaultName) {
        answer->defaultDriver = defaultName;
    }
    SDL_free(defaultName);
#endif
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return true;
}

// Asks the sound server, or SDL where no server answers, as AUDIOENGINE_DRIVER allows.
Answer AskForDevices() {
    Answer answer;
    const char* setting = std::getenv("AUDIOENGINE_DRIVER");
    const std::string driver = setting ? setting : "";
#ifdef _WIN32
    // Windows has SDL2's drivers alone (WASAPI, DirectSound, winmm).
    if (driver.empty() || driver == "sdl") {
        AskSdl(&answer);
    } else {
        answer.source = "AUDIOENGINE_DRIVER=" + driver + " is not a driver on Windows (sdl)";
    }
#else
    if (driver.empty() || driver == "pulse") {
        const PulseOutcome outcome = AskPulse(&answer);
        if (driver.empty() && outcome == PulseOutcome::NoServer) {
            const std::string noServer = answer.source;
            AskSdl(&answer);
            answer.source = noServer + "; " + answer.source;
        }
    } else if (driver == "sdl") {
        AskSdl(&answer);
    } else {
        answer.source = "AUDIOENGINE_DRIVER=" + driver + " is not a driver (pulse or sdl)";
    }
#endif
    return answer;
}

// ---------------------------------------------------------------- the list

struct Listed {
    const char* name;
    const char* driver;
    bool present;
};

struct DeviceTable {
    std::mutex mutex;             // the fields below; held through a refresh
    std::vector<Listed> devices;  // device 2 first
    const char* defaultDriver = "";
    bool refreshed = false;
    int64_t refreshedNs = 0;
    std::string source;
};

DeviceTable& Table() {
    static DeviceTable* table = new DeviceTable;  // outlives static destructors
    return *table;
}

// Merges a fresh answer into the list, numbers unchanged; traces what changed.
void Refresh(DeviceTable& table) {
    const Answer answer = AskForDevices();
    if (answer.source != table.source) Trace("device list: %s", answer.source.c_str());
    table.source = answer.source;
    std::vector<bool> present(table.devices.size(), false);
    for (const Found& listed : answer.devices) {
#ifdef _WIN32
        // Names for people in the system's code page, as a host's texts are; SDL's
        // are UTF-8 (which opens the device, so the identifier stays as it is).
        const Found found{Utf8ToAnsi(listed.name), listed.driver};
#else
        const Found& found = listed;
#endif
        size_t i = 0;
        while (i < table.devices.size() && found.driver != table.devices[i].driver) ++i;
        if (i == table.devices.size()) {
            table.devices.push_back({Keep(found.name), Keep(found.driver), false});
            present.push_back(false);
        }
        if (present[i]) continue;  // a driver listed twice opens the first
        present[i] = true;
        Listed& device = table.devices[i];
        if (found.name != device.name) device.name = Keep(found.name);
        if (!device.present) Trace("device %zu: %s (%s)", i + 2, device.name, device.driver);
    }
    for (size_t i = 0; i < table.devices.size(); ++i) {
        Listed& device = table.devices[i];
        if (device.present && !present[i]) Trace("device %zu gone: %s", i + 2, device.driver);
        device.present = present[i];
    }
    const char* defaultDriver = Keep(answer.defaultDriver);
    if (std::strcmp(defaultDriver, table.defaultDriver) != 0 && *defaultDriver) {
        Trace("default device: %s", defaultDriver);
    }
    table.defaultDriver = defaultDriver;
    table.refreshed = true;
    table.refreshedNs = MonotonicNs();
}

// Refreshes the list when it is too old. Table's mutex held.
void RefreshIfOld(DeviceTable& table) {
    if (!table.refreshed || MonotonicNs() - table.refreshedNs > kDeviceListMaxAgeNs) {
        Refresh(table);
    }
}

}  // namespace

Result<DeviceDescription> DescribeDevice(int64_t number, const char* outputName) {
    const bool onDevice = std::strcmp(outputName, "device") == 0;
    const bool started = *outputName != '\0';
    const char* inUse = gDeviceInUse.load(std::memory_order_acquire);
    DeviceDescription description;
    if (number == kNoSoundDevice) {
        description.name = "No sound";
        description.flags = BASS_DEVICE_ENABLED | (started && !onDevice ? BASS_DEVICE_INIT : 0);
        return description;
    }
    if (number == kDefaultDevice) {
        description.name = "Default";
        description.flags = BASS_DEVICE_ENABLED | BASS_DEVICE_DEFAULT |
                            (onDevice && *inUse == '\0' ? BASS_DEVICE_INIT : 0);
        return description;
    }
    if (number < 0) return Error{BASS_ERROR_DEVICE};
    DeviceTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    RefreshIfOld(table);
    const uint64_t index = static_cast<uint64_t>(number) - 2;
    if (index >= table.devices.size()) return Error{BASS_ERROR_DEVICE};
    const Listed& device = table.devices[index];
    description.name = device.name;
    description.driver = device.driver;
    if (device.present) description.flags |= BASS_DEVICE_ENABLED;
    if (*table.defaultDriver && std::strcmp(device.driver, table.defaultDriver) == 0) {
        description.flags |= BASS_DEVICE_DEFAULT;
    }
    if (onDevice && *inUse && std::strcmp(device.driver, inUse) == 0) {
        description.flags |= BASS_DEVICE_INIT;
    }
    return description;
}

Result<std::string> DeviceDriver(int number) {
    if (number < 2) return Error{BASS_ERROR_DEVICE};
    DeviceTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    RefreshIfOld(table);
    const size_t index = static_cast<size_t>(number) - 2;
    if (index >= table.devices.size()) return Error{BASS_ERROR_DEVICE};
    return std::string(table.devices[index].driver);
}

void SetDeviceInUse(const std::string& driver) {
    gDeviceInUse.store(Keep(driver), std::memory_order_release);
}

#ifndef _WIN32
namespace {
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}
}  // namespace
#endif

bool StartSdlAudio(std::string* error) {
#ifdef _WIN32
    // WASAPI first, then the older APIs; never SDL's dummy or disk drivers.
    const char* drivers = "wasapi,directsound,winmm";
#else
    snd_lib_error_set_handler(SilentAlsaError);  // ALSA's messages never reach the host
    // Sound servers first, then ALSA; never JACK or SDL's dummy/disk drivers.
    const char* drivers = "pulseaudio,pipewire,alsa";
#endif
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");  // the host keeps its handlers
    if (!std::getenv("SDL_AUDIODRIVER")) SDL_SetHint(SDL_HINT_AUDIODRIVER, drivers);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) return true;
    *error = std::string("SDL: ") + SDL_GetError();
    return false;
}

std::mutex& SdlAudioMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

}  // namespace ae
