// SPDX-License-Identifier: MIT
// Measurements of the engine for bench/engine/run, one per invocation (the engine
// starts once per process). Each prints "name value unit" lines on stdout; the run
// script measures the baselines and prints the ratios.
//
//   engine_bench memory FILE            RSS growth per open, playing stream (32 streams)
//   engine_bench open FILE              BASS_StreamCreateFile time, median of 5
//   engine_bench position SECONDS FILE  heard position against the wall clock on null
//   engine_bench decode FILE            render a whole file as fast as possible (manual)
//   engine_bench cpu SECONDS FILE       32 streams x 10 bands in real time on null
//   engine_bench generate-opus PATH SECONDS   a 48 kHz stereo Opus input (sox cannot)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"
#ifdef HAVE_TEST_AUDIO
#include "tests/support/AudioFiles.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The plug-in's ten band centres, in Hz.
constexpr float kBandCentres[10] = {80, 170, 310, 600, 1000, 3000, 6000, 12000, 14000, 16000};

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool Start(const char* output) {
    setenv("AUDIOENGINE_OUTPUT", output, 1);
    if (BASS_Init(-1, 44100, 0, nullptr, nullptr)) return true;
    std::fprintf(stderr, "BASS_Init on %s failed: error %d\n", output, BASS_ErrorGetCode());
    return false;
}

HSTREAM Open(const char* path) {
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path, 0, 0, 0);
    if (!h) std::fprintf(stderr, "cannot open %s: error %d\n", path, BASS_ErrorGetCode());
    return h;
}

int Memory(const char* path) {
    if (!Start("null")) return 1;
    // Warm up once so that the engine's own one-time allocations are not counted.
    const HSTREAM warm = Open(path);
    if (!warm) return 1;
    BASS_ChannelPlay(warm, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    BASS_StreamFree(warm);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = ResidentKiB();
    std::vector<HSTREAM> streams;
    for (int i = 0; i < 32; ++i) {
        const HSTREAM h = Open(path);
        if (!h) return 1;
        BASS_ChannelPlay(h, FALSE);
        streams.push_back(h);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const long after = ResidentKiB();
    std::printf("memory_per_stream %.1f KiB\n", static_cast<double>(after - before) / 32.0);
    return 0;
}

int OpenTime(const char* path) {
    if (!Start("null")) return 1;
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        const HSTREAM h = Open(path);
        times.push_back(Since(start));
        if (!h) return 1;
        BASS_StreamFree(h);
    }
    std::sort(times.begin(), times.end());
    std::printf("open_median %.2f ms\n", times[2] * 1000.0);
    return 0;
}

int Position(double seconds, const char* path) {
    if (!Start("null")) return 1;
    const HSTREAM h = Open(path);
    if (!h) return 1;
    const auto start = Clock::now();
    BASS_ChannelPlay(h, FALSE);
    double worst = 0.0, first = NAN, last = 0.0;
    long samples = 0, interrupted = 0;
    while (Since(start) < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // The wall clock is read on both sides of the query. When another process
        // took the CPU between them (over 1 ms), the sample says nothing about the
        // engine and is left out, and counted.
        const double before = Since(start);
        const double heard =
            BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE));
        const double after = Since(start);
        if (after - before > 0.001) {
            ++interrupted;
            continue;
        }
        ++samples;
        const double wall = 0.5 * (before + after);
        const double offset = heard - wall;
        if (wall >= 1.0 && std::isnan(first)) first = offset;
        worst = std::max(worst, std::fabs(offset));
        last = offset;
    }
    std::printf("position_worst_offset %.2f ms\n", worst * 1000.0);
    std::printf("position_drift %.2f ms\n", (last - first) * 1000.0);
    std::printf("position_samples %ld\n", samples);
    std::printf("position_interrupted %ld\n", interrupted);
    return 0;
}

int Decode(const char* path) {
    if (!Start("manual")) return 1;
    const HSTREAM h = Open(path);
    if (!h) return 1;
    BASS_ChannelPlay(h, FALSE);
    std::vector<float> block(2 * 4096);
    const auto start = Clock::now();
    const double cpu_start = CpuSeconds();
    long frames = 0;
    while (BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING) {
        if (!AE_Render(block.data(), 4096)) return 1;
        frames += 4096;
    }
    const double elapsed = Since(start);
    std::printf("decode_time %.3f s\n", elapsed);
    std::printf("decode_cpu %.3f s\n", CpuSeconds() - cpu_start);
    std::printf("decode_speed %.1f x_realtime\n", static_cast<double>(frames) / 44100.0 / elapsed);
    return 0;
}

int Cpu(double seconds, const char* path) {
    if (!Start("null")) return 1;
    std::vector<HSTREAM> streams;
    for (int i = 0; i < 32; ++i) {
        const HSTREAM h = Open(path);
        if (!h) return 1;
        streams.push_back(h);
        for (int band = 0; band < 10; ++band) {
            const HFX fx = BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, band + 1);
            const BASS_DX8_PARAMEQ eq{kBandCentres[band], 36.0f,
                                      static_cast<float>(band % 5) - 2.0f};
            if (!fx || !BASS_FXSetParameters(fx, &eq)) {
                std::fprintf(stderr, "effect failed: error %d\n", BASS_ErrorGetCode());
                return 1;
            }
        }
        BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.03f);
        BASS_ChannelPlay(h, FALSE);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<QWORD> before;
    for (const HSTREAM h : streams) before.push_back(BASS_ChannelGetPosition(h, BASS_POS_BYTE));
    const double cpu_start = CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = CpuSeconds() - cpu_start, wall = Since(start);
    // Every stream must really have played through the measurement.
    double least = seconds;
    for (size_t i = 0; i < streams.size(); ++i) {
        const QWORD now = BASS_ChannelGetPosition(streams[i], BASS_POS_BYTE);
        least = std::min(least, BASS_ChannelBytes2Seconds(streams[i], now - before[i]));
    }
    std::printf("cpu_32x10 %.2f %%_of_one_core\n", 100.0 * cpu / wall);
    std::printf("cpu_least_played %.2f s\n", least);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "memory" && argc == 3) return Memory(argv[2]);
    if (mode == "open" && argc == 3) return OpenTime(argv[2]);
    if (mode == "position" && argc == 4) return Position(std::atof(argv[2]), argv[3]);
    if (mode == "decode" && argc == 3) return Decode(argv[2]);
    if (mode == "cpu" && argc == 4) return Cpu(std::atof(argv[2]), argv[3]);
#ifdef HAVE_TEST_AUDIO
    if (mode == "generate-opus" && argc == 4) {
        const int64_t frames = static_cast<int64_t>(std::atof(argv[3]) * 48000);
        return testaudio::Write(argv[2], testaudio::Format::Opus, 48000, 2,
                                testaudio::Sine(48000, 2, frames, 440, 0.5))
                   ? 0
                   : 1;
    }
#endif
    std::fprintf(stderr,
                 "usage: engine_bench memory FILE | open FILE | position SECONDS FILE |\n"
                 "                    decode FILE | cpu SECONDS FILE\n");
    return 2;
}
