// SPDX-License-Identifier: MIT
// The engine's DSP building blocks on their own, beside sox's and ffmpeg's
// equalizers doing the same work on the same five minutes of audio. Ours run on
// in-memory audio in the engine's block sizes; the peers are whole processes, timed
// by their CPU time (getrusage of the child), so that a busy machine does not skew
// either side. Each peer is also run without the equalizer ("copy"): the difference
// is what their equalizer costs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audioengine/dsp/EqChain.h"
#include "audioengine/dsp/PeakLevel.h"
#include "audioengine/dsp/Spectrum512.h"

namespace {

using ae::dsp::EqChain;
using ae::dsp::PeakingParams;

constexpr int kRate = 44100;
constexpr int kSeconds = 300;
constexpr size_t kFrames = static_cast<size_t>(kRate) * kSeconds;

// The plug-in's ten bands: three octaves wide, gains alternating.
constexpr float kCentres[10] = {80, 170, 310, 600, 1000, 3000, 6000, 12000, 14000, 16000};
float GainOf(int band) { return band % 2 ? -6.0f : 6.0f; }

// Deterministic noise plus a sweep, interleaved, generated once per channel count.
const std::vector<float>& FiveMinutes(int channels) {
    static std::vector<float> signals[9];
    std::vector<float>& s = signals[channels];
    if (s.empty()) {
        s.resize(kFrames * static_cast<size_t>(channels));
        uint32_t state = 12345u;
        for (size_t i = 0; i < s.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            const double t = static_cast<double>(i / channels) / kRate;
            s[i] = static_cast<float>(0.1 * (static_cast<double>(state >> 8) / 8388608.0 - 1.0) +
                                      0.2 * std::sin(2.0 * 3.14159265 * (100.0 + 20.0 * t) * t));
        }
    }
    return s;
}

// Five minutes through ten bands, in blocks as the decode thread does it: each block
// is copied from the source (as a decoder would write it) and filtered in place.
void BM_TenBands(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const size_t block = static_cast<size_t>(state.range(1));
    const std::vector<float>& source = FiveMinutes(channels);
    EqChain chain(kRate, channels);
    for (int b = 0; b < 10; ++b) {
        chain.SetParams(chain.AddBand(10 - b), {kCentres[b], 36.0f, GainOf(b)});
    }
    std::vector<float> work(block * static_cast<size_t>(channels));
    for (auto _ : state) {
        for (size_t at = 0; at < kFrames; at += block) {
            const size_t n = std::min(block, kFrames - at);
            std::memcpy(work.data(), source.data() + at * channels, n * channels * sizeof(float));
            chain.Process(work.data(), n);
            benchmark::DoNotOptimize(work.data());
        }
    }
    state.counters["realtime_x"] =
        benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
}
BENCHMARK(BM_TenBands)
    ->ArgNames({"channels", "block"})
    ->Args({2, 1024})
    ->Args({2, 256})
    ->Args({1, 1024})
    ->Args({6, 1024})
    ->Unit(benchmark::kMillisecond);

// One spectrum: channel average of 512 stereo frames, window, FFT, magnitudes.
void BM_Spectrum512(benchmark::State& state) {
    const std::vector<float>& source = FiveMinutes(2);
    ae::dsp::Spectrum512 spectrum;
    float bins[ae::dsp::Spectrum512::kBins];
    size_t at = 0;
    for (auto _ : state) {
        spectrum.Compute(source.data() + at * 2, 2, bins);
        benchmark::DoNotOptimize(bins);
        at = (at + 256) % (kFrames - 512);
    }
}
BENCHMARK(BM_Spectrum512);

// The FFT with its window on its own (mono input ready).
void BM_Spectrum512Mono(benchmark::State& state) {
    const std::vector<float>& source = FiveMinutes(1);
    ae::dsp::Spectrum512 spectrum;
    float bins[ae::dsp::Spectrum512::kBins];
    size_t at = 0;
    for (auto _ : state) {
        spectrum.ComputeMono(source.data() + at, bins);
        benchmark::DoNotOptimize(bins);
        at = (at + 256) % (kFrames - 512);
    }
}
BENCHMARK(BM_Spectrum512Mono);

// The meter over 20 ms of stereo.
void BM_PeakLevel20ms(benchmark::State& state) {
    const std::vector<float>& source = FiveMinutes(2);
    size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ae::dsp::PeakLevel(source.data() + at * 2, 882, 2));
        at = (at + 882) % (kFrames - 882);
    }
}
BENCHMARK(BM_PeakLevel20ms);

// ---- Peers --------------------------------------------------------------------

bool Found(const char* tool) {
    const std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// A five-minute stereo float WAV written by sox once, removed at exit.
const std::string& PeerInput() {
    static std::string path;
    if (path.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_dsp_" + std::to_string(getpid()) +
               ".wav";
        const std::string command = "sox -n -r 44100 -c 2 -e floating-point -b 32 '" + path +
                                    "' synth 300 pinknoise sine 100-4000 vol 0.3 2>/dev/null";
        if (std::system(command.c_str()) != 0) path.clear();
        static struct Remover {
            ~Remover() {
                if (!path.empty()) std::remove(path.c_str());
            }
        } remover;
    }
    return path;
}

double ChildCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Runs `command` once per iteration and reports its CPU time.
void RunPeer(benchmark::State& state, const char* tool, const std::string& command) {
    if (!Found(tool)) {
        state.SkipWithError((std::string(tool) + " not found").c_str());
        return;
    }
    if (PeerInput().empty()) {
        state.SkipWithError("could not write the input with sox");
        return;
    }
    for (auto _ : state) {
        const double before = ChildCpuSeconds();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError((std::string(tool) + " failed").c_str());
            return;
        }
        state.SetIterationTime(ChildCpuSeconds() - before);
    }
    state.counters["realtime_x"] =
        benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

std::string SoxCommand(bool equalize) {
    std::string command = "sox --single-threaded -D '" + PeerInput() + "' -n";
    for (int b = 0; equalize && b < 10; ++b) {
        char band[64];
        std::snprintf(band, sizeof band, " equalizer %g 3o %g", kCentres[b], GainOf(b));
        command += band;
    }
    return command + " 2>/dev/null";
}

std::string FfmpegCommand(bool equalize) {
    std::string command =
        "ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -i '" + PeerInput() + "'";
    if (equalize) {
        command += " -af '";
        for (int b = 0; b < 10; ++b) {
            char band[64];
            std::snprintf(band, sizeof band, "%sequalizer=f=%g:t=o:w=3:g=%g", b ? "," : "",
                          kCentres[b], GainOf(b));
            command += band;
        }
        command += "'";
    }
    return command + " -f null - 2>/dev/null";
}

void BM_Peer_SoxTenBands(benchmark::State& state) { RunPeer(state, "sox", SoxCommand(true)); }
void BM_Peer_SoxCopy(benchmark::State& state) { RunPeer(state, "sox", SoxCommand(false)); }
void BM_Peer_FfmpegTenBands(benchmark::State& state) {
    RunPeer(state, "ffmpeg", FfmpegCommand(true));
}
void BM_Peer_FfmpegCopy(benchmark::State& state) { RunPeer(state, "ffmpeg", FfmpegCommand(false)); }
BENCHMARK(BM_Peer_SoxTenBands)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_SoxCopy)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_FfmpegTenBands)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_FfmpegCopy)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
