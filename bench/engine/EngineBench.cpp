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
//   engine_bench seek-time FILE         BASS_ChannelSetPosition call times, playing on null
//   engine_bench spectrum-requests FILE the 20 spectrum requests of one GetDataChannel20
//                                       call after a host's 7 ms pause, each timed: the
//                                       median first request and median later one (run
//                                       it with bench_standin_spectrum preloaded to time
//                                       requests that only copy)
//   engine_bench isolation DELAY_MS TONE FILE RECORDING
//                                       TONE and FILE (silent) play on the wav: output
//                                       while FILE seeks far, each of its reads that
//                                       jumps slowed by DELAY_MS; bench/run looks for
//                                       gaps in TONE in the recording
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"
#ifdef HAVE_TEST_AUDIO
#include "tests/support/AudioFiles.h"
#endif
#ifdef HAVE_READ_SHIM
#include "tests/support/ReadShim.h"
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

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
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

// Times 20 BASS_ChannelSetPosition calls on a playing stream, on the null output, to
// places spread over the whole file. Each call's own CPU time and the calling thread's
// context switches are read too: a call that took much longer than its CPU time
// waited, blocked (a voluntary switch: a lock) or preempted (an involuntary one: the
// CPU went to another thread, such as the decode worker the call wakes).
int SeekTime(const char* path) {
    if (!Start("null")) return 1;
    const HSTREAM h = Open(path);
    if (!h) return 1;
    BASS_ChannelPlay(h, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double length = BASS_ChannelBytes2Seconds(h, BASS_ChannelGetLength(h, BASS_POS_BYTE));
    constexpr int kPlaces = 20;
    std::vector<std::pair<double, double>> calls;  // wall, CPU of the calling thread
    long blocked = 0, preempted = 0;               // calls that switched out so
    for (int i = 0; i < kPlaces; ++i) {
        // The middle of every twentieth of the file once, 7/20 of the file apart in
        // turn (7 and 20 have no common factor), so that no seek lands near the last.
        const double seconds = length * ((i * 7 % kPlaces) + 0.5) / kPlaces;
        const QWORD target = BASS_ChannelSeconds2Bytes(h, seconds);
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        const double cpu = ThreadCpuSeconds();
        const auto start = Clock::now();
        const BOOL sought = BASS_ChannelSetPosition(h, target, BASS_POS_BYTE);
        calls.emplace_back(Since(start), ThreadCpuSeconds() - cpu);
        getrusage(RUSAGE_THREAD, &after);
        blocked += after.ru_nvcsw > before.ru_nvcsw;
        preempted += after.ru_nivcsw > before.ru_nivcsw;
        if (!sought) {
            std::fprintf(stderr, "seek to %.1f s of %s failed: error %d\n", seconds, path,
                         BASS_ErrorGetCode());
            return 1;
        }
        // The decode side carries the seek out, and plays from there, before the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::sort(calls.begin(), calls.end());
    const double median = 0.5 * (calls[kPlaces / 2 - 1].first + calls[kPlaces / 2].first);
    // A call that spent over 0.5 ms not running (its thread's CPU time far below its
    // wall time, with no switch the kernel saw: the machine was taken from it) says
    // nothing about the engine; it is counted apart, as the position row does.
    std::pair<double, double> worst{0, 0};
    long descheduled = 0;
    for (const auto& call : calls) {
        if (call.first - call.second > 0.5e-3) {
            ++descheduled;
        } else {
            worst = std::max(worst, call);
        }
    }
    std::printf("seek_median %.2f us\n", median * 1e6);
    std::printf("seek_worst %.2f us\n", worst.first * 1e6);
    std::printf("seek_worst_cpu %.2f us\n", worst.second * 1e6);
    std::printf("seek_worst_any %.2f us\n", calls.back().first * 1e6);
    std::printf("seek_descheduled %ld calls\n", descheduled);
    std::printf("seek_blocked %ld calls\n", blocked);
    std::printf("seek_preempted %ld calls\n", preempted);
    std::printf("seek_length %.1f s\n", length);
    return 0;
}

// Plays TONE on the wav: output with FILE beside it at volume 0 (decoded and mixed as
// any stream, but not heard, so that the recording holds TONE alone), then seeks FILE
// to far places while TONE plays, each seek 250 ms after the last. With DELAY_MS, every
// read of FILE that does not follow on from the previous one first sleeps that long, as
// on a disk or share that seeks slowly. The recording is complete once the process has
// exited (the engine closes its output at exit).
int Isolation(int delayMs, const char* tone, const char* file, const char* recording) {
#ifndef HAVE_READ_SHIM
    if (delayMs > 0) {
        std::fprintf(stderr, "slowed reads need the read shim (build with the tests)\n");
        return 2;
    }
#endif
    const std::string output = std::string("wav:") + recording;
    if (!Start(output.c_str())) return 1;
#ifdef HAVE_READ_SHIM
    // Watched before it is opened, so that every descriptor the engine opens on it is.
    readshim::WatchedFile watched(file);
    if (!watched.ok()) {
        std::fprintf(stderr, "cannot watch the reads of %s\n", file);
        return 1;
    }
#endif
    const HSTREAM a = Open(tone), b = Open(file);
    if (!a || !b) return 1;
    BASS_ChannelSetAttribute(b, BASS_ATTRIB_VOL, 0.0f);
    BASS_ChannelPlay(b, FALSE);
    BASS_ChannelPlay(a, FALSE);
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
#ifdef HAVE_READ_SHIM
    watched.SetSeekDelay(std::chrono::milliseconds(delayMs));
    const int64_t jumpsBefore = watched.seeks();
#endif
    const double length = BASS_ChannelBytes2Seconds(b, BASS_ChannelGetLength(b, BASS_POS_BYTE));
    // The last seconds (the farthest a file without a seek table makes the decoder
    // search), and far places between.
    const double targets[] = {length - 3, 30, length - 8, length / 2, length - 5, 60};
    std::string calls;
    double worst = 0.0;
    for (const double seconds : targets) {
        const QWORD target = BASS_ChannelSeconds2Bytes(b, std::max(0.0, seconds));
        const auto start = Clock::now();
        const BOOL sought = BASS_ChannelSetPosition(b, target, BASS_POS_BYTE);
        const double took = Since(start);
        if (!sought) {
            std::fprintf(stderr, "seek to %.1f s of %s failed: error %d\n", seconds, file,
                         BASS_ErrorGetCode());
            return 1;
        }
        worst = std::max(worst, took);
        calls += (calls.empty() ? "" : ",") + std::to_string(took * 1e3);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const bool tonePlays = BASS_ChannelIsActive(a) == BASS_ACTIVE_PLAYING;
    std::printf("isolation_played %.3f s\n", Since(started));
#ifdef HAVE_READ_SHIM
    std::printf("isolation_slowed_reads %lld\n",
                static_cast<long long>(watched.seeks() - jumpsBefore));
    // Reads still sleeping are let go when `watched` goes, before the engine shuts down.
    watched.SetSeekDelay(std::chrono::milliseconds(0));
#endif
    std::printf("isolation_seek_call_worst %.3f ms\n", worst * 1e3);
    std::printf("isolation_seek_calls_ms %s\n", calls.c_str());
    if (!tonePlays) {
        std::fprintf(stderr, "%s stopped playing\n", tone);
        return 1;
    }
    return 0;
}

// The engine's side of GetDataChannel20 as a host drives it: after a 7 ms pause, the
// twenty requests the plug-in makes, each timed on the steady clock (a reading
// costs about 20 ns, inside each figure). The first request finds the caches and
// TLB as the pause left them; the others follow it at once.
int SpectrumRequests(const char* path) {
    constexpr int kWakes = 400, kRequests = 20;
    if (!Start("null")) return 1;
    const HSTREAM h = Open(path);
    if (!h || !BASS_ChannelPlay(h, FALSE)) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> first, later;
    float spectrum[256];
    for (int wake = 0; wake < kWakes; ++wake) {
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
        Clock::time_point times[kRequests + 1];
        times[0] = Clock::now();
        for (int r = 0; r < kRequests; ++r) {
            if (BASS_ChannelGetData(h, spectrum, BASS_DATA_FFT512) != sizeof spectrum) {
                std::fprintf(stderr, "spectrum request failed: error %d\n", BASS_ErrorGetCode());
                return 1;
            }
            times[r + 1] = Clock::now();
        }
        const auto ns = [](Clock::duration d) {
            return std::chrono::duration<double, std::nano>(d).count();
        };
        first.push_back(ns(times[1] - times[0]));
        for (int r = 1; r < kRequests; ++r) later.push_back(ns(times[r + 1] - times[r]));
    }
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    std::printf("spectrum_first_request %.0f ns\n", median(first));
    std::printf("spectrum_later_request %.0f ns\n", median(later));
    std::printf("spectrum_call_estimate %.0f ns\n", median(first) + 19 * median(later));
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
    if (mode == "seek-time" && argc == 3) return SeekTime(argv[2]);
    if (mode == "spectrum-requests" && argc == 3) return SpectrumRequests(argv[2]);
    if (mode == "isolation" && argc == 6)
        return Isolation(std::atoi(argv[2]), argv[3], argv[4], argv[5]);
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
                 "                    decode FILE | cpu SECONDS FILE | seek-time FILE |\n"
                 "                    spectrum-requests FILE |\n"
                 "                    isolation DELAY_MS TONE FILE RECORDING\n");
    return 2;
}
