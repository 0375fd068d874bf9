// SPDX-License-Identifier: MIT
// The device list against a real sound server: run under scripts/sound-server, whose
// null sink "ci" is the server's default sink. Skipped where no PulseAudio-protocol
// server answers. One engine per process, as ctest runs it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "audioengine/include/audioengine_ext.h"

namespace {

struct Listed {
    int number;
    std::string name, driver;
    DWORD flags;
};

std::vector<Listed> ListSoundDevices() {
    std::vector<Listed> devices;
    BASS_DEVICEINFO info;
    for (DWORD i = 2; BASS_GetDeviceInfo(i, &info); ++i)
        devices.push_back({static_cast<int>(i), info.name, info.driver, info.flags});
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    return devices;
}

// The server's default sink is listed as the default device: by its sink name on the
// server's own protocol, by its description through SDL (AUDIOENGINE_DRIVER=sdl). It
// opens by its number and is then the device in use.
TEST(DeviceList, ServerDefaultSinkListedAndOpenedByNumber) {
    if (*AE_OutputName()) GTEST_SKIP() << "needs a process of its own";
    if (std::system("pactl info >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no PulseAudio-protocol server answers (pactl info); run under "
                        "scripts/sound-server";
    }
    unsetenv("AUDIOENGINE_OUTPUT");
    const char* driver = std::getenv("AUDIOENGINE_DRIVER");
    const bool sdl = driver && std::string(driver) == "sdl";

    std::vector<Listed> defaults;
    for (const Listed& device : ListSoundDevices()) {
        EXPECT_FALSE(device.name.empty()) << device.number;
        EXPECT_TRUE(device.flags & BASS_DEVICE_ENABLED) << device.name;
        EXPECT_FALSE(device.flags & BASS_DEVICE_INIT) << device.name << ": nothing runs yet";
        if (device.flags & BASS_DEVICE_DEFAULT) defaults.push_back(device);
    }
    ASSERT_EQ(defaults.size(), 1u) << "one sound device is the server's default";
    const Listed chosen = defaults[0];
    if (sdl) {
        EXPECT_EQ(chosen.driver, chosen.name) << "SDL opens a device by its name";
    } else {
        EXPECT_EQ(chosen.driver, "ci") << chosen.name;
    }

    ASSERT_TRUE(BASS_Init(chosen.number, 44100, 0, nullptr, nullptr))
        << AE_ErrorName(BASS_ErrorGetCode()) << ": " << AE_OutputReason();
    EXPECT_STREQ(AE_OutputName(), "device") << AE_OutputReason();
    BASS_DEVICEINFO info;
    for (DWORD i = 0; BASS_GetDeviceInfo(i, &info); ++i) {
        EXPECT_EQ((info.flags & BASS_DEVICE_INIT) != 0, static_cast<int>(i) == chosen.number)
            << i << " " << info.name;
    }
}

}  // namespace
