// SPDX-License-Identifier: MIT
// The output devices the engine can open, numbered as the engine API numbers them:
// 0 "No sound" (the null output), 1 "Default" (the system's default device), then
// the sound devices. These come from the sound server's own protocol where a
// PulseAudio-protocol server answers (PulseAudio, or PipeWire's pipewire-pulse): its
// sinks, described for people, identified by sink name. Else from SDL2's output
// devices, whose name serves as both. AUDIOENGINE_DRIVER=pulse or sdl asks for one of
// the two only, as it does for the device output.
//
// A device keeps its number for the life of the process: a host that lists the
// devices and then opens one by number gets the one it listed, whatever appeared
// since. One that goes away stays listed, not present, and takes its number back
// when it returns.
//
// The list is refreshed when it is more than kDeviceListMaxAgeNs old at a query
// (counted from the end of the previous refresh), so that a host walking the list
// device by device asks the server once. Asking the server waits at most
// kDeviceQueryPatienceNs: a dead server answers at once, a hung one is given up on
// (and then SDL is not asked either: its pulse driver would wait for the same server
// without a limit).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "audioengine/core/Result.h"

namespace ae {

constexpr int64_t kDeviceListMaxAgeNs = 1000000000;
constexpr int64_t kDeviceQueryPatienceNs = 1000000000;

// Device numbers with a fixed meaning.
constexpr int kNoSoundDevice = 0;
constexpr int kDefaultDevice = 1;

struct DeviceDescription {
    const char* name = "";    // for people; static storage
    const char* driver = "";  // what DeviceRequest::name takes; "" for devices 0 and 1
    uint32_t flags = 0;       // BASS_DEVICE_*
};

// Describes device `number` (0, 1, then the sound devices). `outputName` is the
// engine's output name ("" before BASS_Init): on "device" the device the output was
// started on carries BASS_DEVICE_INIT, on any other output device 0 does. DEVICE past
// the end.
// Threads: any; may block while the list is refreshed (about 1 s at most for the
// server, plus SDL's own enumeration when it is asked).
Result<DeviceDescription> DescribeDevice(int64_t number, const char* outputName);

// Records the device the engine's device output was started on: its
// DeviceRequest::name, "" for the default device.
// Threads: any; never blocks for long (a lock shared with DescribeDevice's reads of
// it, not with its refresh).
void SetDeviceInUse(const std::string& driver);

// The driver identifier of sound device `number` (2 and up), for DeviceRequest::name;
// DEVICE past the end.
// Threads: any; may block as DescribeDevice.
Result<std::string> DeviceDriver(int number);

// Taken around SDL's audio subsystem start, stop and enumeration: SDL does not
// count its subsystem users safely across threads, and the list may be asked for
// while the device output opens or reopens its device.
std::mutex& SdlAudioMutex();

// Starts SDL's audio subsystem as the engine uses it: sound servers first, then ALSA
// (SDL_AUDIODRIVER overrides), ALSA's messages silenced, the host's signal handlers
// left alone. False with SDL's reason in `*error`. SdlAudioMutex held.
bool StartSdlAudio(std::string* error);

}  // namespace ae
