// SPDX-License-Identifier: MIT
// Concurrency stress, meant for the thread sanitizer: while the mixer runs on the
// null output, a host thread drives 32 playing streams with transport calls, effects
// and frees as fast as it can, and a second thread polls queries on the same
// handles, some of them freed under its feet. Runs STRESS_SECONDS (default 2).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "plugin/engine/tags.h"
#include "tests/audioengine/api/EngineTestSupport.h"

using namespace enginetest;
using testaudio::Format;

namespace {

double StressSeconds() {
    const char* text = std::getenv("STRESS_SECONDS");
    const double seconds = text ? std::atof(text) : 2.0;
    return seconds > 0.0 ? seconds : 2.0;
}

TEST(Stress, HostThreadsDriveThirtyTwoStreamsWhileTheMixerRuns) {
    ASSERT_TRUE(StartEngine("null")) << "error " << BASS_ErrorGetCode();
    testaudio::TempDir dir;
    std::vector<std::string> files;
    files.push_back(
        WriteFile(dir, "a", Format::Wav, 44100, 2, testaudio::Sine(44100, 2, 88200, 440, 0.2)));
    files.push_back(
        WriteFile(dir, "b", Format::Mp3, 44100, 2, testaudio::Sine(44100, 2, 88200, 550, 0.2)));
    files.push_back(
        WriteFile(dir, "c", Format::Flac, 48000, 1, testaudio::Sine(48000, 1, 96000, 660, 0.2)));
    files.push_back(WriteFile(dir, "d", Format::OggVorbis, 22050, 2,
                              testaudio::Sine(22050, 2, 44100, 770, 0.2)));

    constexpr int kStreams = 32;
    std::array<std::atomic<DWORD>, kStreams> handles;
    for (int i = 0; i < kStreams; ++i) {
        handles[i] = BASS_StreamCreateFile(FALSE, files[i % files.size()].c_str(), 0, 0, 0);
        ASSERT_NE(handles[i].load(), 0u);
        ASSERT_TRUE(BASS_ChannelPlay(handles[i], FALSE));
    }

    std::atomic<bool> stop{false};
    std::atomic<long> queries{0};
    std::thread poller([&] {
        std::mt19937 random(7);
        float spectrum[256];
        BASS_CHANNELINFO info{};
        while (!stop) {
            const DWORD h = handles[random() % kStreams];
            BASS_ChannelGetPosition(h, BASS_POS_BYTE);
            BASS_ChannelGetLevel(h);
            BASS_ChannelGetData(h, spectrum, BASS_DATA_FFT512);
            BASS_ChannelGetInfo(h, &info);
            BASS_ChannelIsActive(h);
            TAGS_Read(h, "%TITL");
            queries.fetch_add(1, std::memory_order_relaxed);
        }
    });

    std::array<std::vector<HFX>, kStreams> effects;
    std::mt19937 random(1);
    long calls = 0, failures = 0;
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(StressSeconds());
    while (std::chrono::steady_clock::now() < end) {
        const int slot = static_cast<int>(random() % kStreams);
        const DWORD h = handles[slot];
        bool ok = true;
        switch (random() % 12) {
            case 0:
                ok = BASS_ChannelPlay(h, FALSE);
                break;
            case 1:
                ok = BASS_ChannelPause(h) || BASS_ErrorGetCode() == BASS_ERROR_NOPLAY;
                break;
            case 2:
                ok = BASS_ChannelStop(h);
                break;
            case 3: {
                const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
                ok = length != ~QWORD{0} &&
                     BASS_ChannelSetPosition(
                         h, BASS_ChannelSeconds2Bytes(h, (random() % 100) / 100.0), BASS_POS_BYTE);
                break;
            }
            case 4:
                ok = BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, (random() % 200) / 100.0f);
                break;
            case 5: {
                const HFX fx =
                    BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, static_cast<int>(random() % 10));
                const BASS_DX8_PARAMEQ eq{1000.0f, 12.0f,
                                          static_cast<float>(random() % 31) - 15.0f};
                ok = fx && BASS_FXSetParameters(fx, &eq);
                if (random() % 2) ok = ok && BASS_ChannelRemoveFX(h, fx);
                break;
            }
            case 6: {
                const QWORD pos = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
                ok = pos != ~QWORD{0} && pos <= BASS_ChannelGetLength(h, BASS_POS_BYTE);
                break;
            }
            case 7:
                // -1 is a valid answer for a stream that is not playing; a live
                // handle never gives HANDLE.
                ok = BASS_ChannelGetLevel(h) != ~DWORD{0} ||
                     BASS_ErrorGetCode() != BASS_ERROR_HANDLE;
                break;
            case 8: {
                float spectrum[256];
                ok = BASS_ChannelGetData(h, spectrum, BASS_DATA_FFT512) == 1024u ||
                     BASS_ErrorGetCode() != BASS_ERROR_HANDLE;
                break;
            }
            case 9:
                ok = BASS_ChannelPlay(h, TRUE);
                break;
            case 10: {
                // Free the stream and open another in its place.
                ok = BASS_StreamFree(h);
                const DWORD fresh =
                    BASS_StreamCreateFile(FALSE, files[random() % files.size()].c_str(), 0, 0, 0);
                ok = ok && fresh && BASS_ChannelPlay(fresh, FALSE);
                handles[slot] = fresh;
                effects[slot].clear();
                break;
            }
            default:
                BASS_ChannelIsActive(h);
                ok = BASS_ErrorGetCode() == BASS_OK;
        }
        ++calls;
        if (!ok) ++failures;
    }
    stop = true;
    poller.join();
    EXPECT_EQ(failures, 0) << "of " << calls << " calls on live handles";
    EXPECT_GT(calls, 100);
    EXPECT_GT(queries.load(), 100);
    for (auto& h : handles) EXPECT_TRUE(BASS_StreamFree(h));
}

}  // namespace
