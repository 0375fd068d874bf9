// SPDX-License-Identifier: MIT
// The plug-in's per-frame queries as a host makes them: Plugin.so loaded as a host
// loads it, operands pushed with SetData, the export called, the text read with
// GetFile, on a stream that plays on the null output. Beside them, their baselines:
// one 512-point KISS FFT with its Hann window and magnitudes, and an empty exported
// C call.
//
// The spectrum query caches its result per 256-frame step of the heard position; a
// host that draws at its frame rate sees a new step on every call, so each timed
// call here follows a pause longer than a step, and the FFT baseline is timed the
// same way, interleaved with it. Those single calls are timed with the monotonic
// clock: reading this thread's CPU clock costs a system call here (over 1 us), and
// the median over many calls discards the few that another process interrupts.
// The position query and the empty call are timed in loops on the thread's CPU
// clock, as Google Benchmark does.
//
// BENCH_PLUGIN=PATH times another build's Plugin.so (with the engine beside it), to
// compare two builds with the same harness.
//
// BENCH_LONG_MP3=FILE adds CreateChannel of that file, timed on the calling thread's
// CPU clock (the open runs on that thread; the file is in the page cache, so on an
// idle machine this is the host's wait), with the length the plug-in then reports
// as the counter "length_s".
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <kiss_fftr.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/AudioFiles.h"
#include "tools/pluginloader/PluginLoader.h"

namespace {

constexpr int32_t kSlot = 1;      // the playing stream
constexpr int32_t kOpenSlot = 2;  // where CreateChannel is timed
constexpr int kSeconds = 60;      // length of the playing file
// Longer than one 256-frame step at 44.1 kHz (5.8 ms): every spectrum is new.
constexpr auto kFrameGap = std::chrono::milliseconds(7);

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double Seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Plugin.so and the file it plays, loaded on first use and kept for the process.
class Plugin {
  public:
    static Plugin& Get() {
        static Plugin plugin;
        return plugin;
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    void Call(void (*function)(), std::initializer_list<int32_t> operands) {
        for (const int32_t v : operands) exports.SetData(v);
        function();
    }
    bool Open(int32_t slot, const char* path) {
        exports.SetData(slot);
        exports.SetFile(path);
        return exports.CreateChannel();
    }
    // Plays the stream from the start, so that it plays through every measurement.
    void Restart() {
        Call(exports.SetPositionForChannel, {kSlot, 0});
        Call(exports.PlayChannel, {kSlot});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    pluginloader::PluginExports exports;

  private:
    Plugin() {
        setenv("AUDIOENGINE_OUTPUT", "null", 1);
        const char* other = std::getenv("BENCH_PLUGIN");
        const auto library =
            pluginloader::PluginLibrary::Load(other && *other ? other : PLUGIN_PATH, &error_);
        if (!library) return;
        library->LeaveLoaded();
        exports = library->exports();
        exports.InitBass();
        // A sweep over the spectrum's bands, so that every field has something.
        const int frames = 44100 * kSeconds;
        std::vector<float> audio(2 * static_cast<size_t>(frames));
        for (int i = 0; i < frames; ++i) {
            const double t = i / 44100.0;
            const auto x = static_cast<float>(0.4 * std::sin(2 * M_PI * (100 + 80 * t) * t));
            audio[2 * static_cast<size_t>(i)] = audio[2 * static_cast<size_t>(i) + 1] = x;
        }
        file_ = dir_.File("playing.wav");
        if (!testaudio::Write(file_, testaudio::Format::Wav, 44100, 2, audio)) {
            error_ = "cannot write " + file_;
        } else if (!Open(kSlot, file_.c_str())) {
            error_ = "CreateChannel failed on " + file_;
        }
    }

    std::string error_;
    testaudio::TempDir dir_;
    std::string file_;
};

// The median of a set of single calls: a call that another process interrupts does
// not weigh on it, as it would on a mean.
double MedianOf(std::vector<double> seconds) {
    if (seconds.empty()) return 0.0;
    auto middle = seconds.begin() + static_cast<std::ptrdiff_t>(seconds.size() / 2);
    std::nth_element(seconds.begin(), middle, seconds.end());
    return *middle;
}

// Counts the '#'-closed fields of a text.
int Fields(const char* text) {
    int n = 0;
    for (; *text; ++text) n += *text == '#';
    return n;
}

// One spectrum from scratch, as the baseline: a Hann window over 512 samples, a real
// FFT and 256 magnitudes, with KISS FFT (the library the engine uses).
class KissSpectrum {
  public:
    KissSpectrum()
        : cfg_(kiss_fftr_alloc(512, 0, nullptr, nullptr)),
          window_(512),
          source_(44100),
          in_(512),
          out_(256),
          bins_(257) {
        for (int i = 0; i < 512; ++i)
            window_[static_cast<size_t>(i)] =
                static_cast<float>(0.5 - 0.5 * std::cos(2 * M_PI * i / 512));
        for (size_t i = 0; i < source_.size(); ++i)
            source_[i] = static_cast<float>(0.4 * std::sin(0.05 * static_cast<double>(i)));
    }
    ~KissSpectrum() { kiss_fftr_free(cfg_); }
    bool ok() const { return cfg_ != nullptr; }
    // A new window of the source at every call, as the query sees new audio.
    void Compute() {
        for (size_t i = 0; i < 512; ++i) in_[i] = source_[at_ + i] * window_[i];
        kiss_fftr(cfg_, in_.data(), bins_.data());
        for (size_t k = 0; k < 256; ++k)
            out_[k] = std::sqrt(bins_[k].r * bins_[k].r + bins_[k].i * bins_[k].i) / 256.0f;
        benchmark::DoNotOptimize(out_.data());
        at_ = (at_ + 256) % (source_.size() - 512);
    }

  private:
    kiss_fftr_cfg cfg_;
    std::vector<float> window_, source_, in_, out_;
    std::vector<kiss_fft_cpx> bins_;
    size_t at_ = 0;
};

// GetDataChannel20 as a host calls it, once a frame, and its baseline, interleaved:
// each iteration times one query after a pause, then one transform after a pause, so
// that a slow period of the machine weighs on both. A repetition is a round: its
// counters are the median query and the median transform of its iterations.
void BM_SpectrumQueryVsFft(benchmark::State& state) {
    Plugin& p = Plugin::Get();
    if (!p.ok()) return state.SkipWithError(p.error().c_str());
    KissSpectrum fft;
    if (!fft.ok()) return state.SkipWithError("kiss_fftr_alloc failed");
    p.Restart();
    // The text the stand-in engine of bench/run gives (every bin 1.0): counted apart,
    // so that a run over the stand-in shows that it was the one answering.
    std::string standIn;
    for (int field = 0; field < 20; ++field) standIn += "1065353216#";
    long nonzero = 0, fromStandIn = 0;
    std::vector<double> queries, transforms;
    for (auto _ : state) {
        std::this_thread::sleep_for(kFrameGap);
        double start = Seconds();
        p.Call(p.exports.GetDataChannel20, {kSlot});
        const char* text = p.exports.GetFile();
        const double query = Seconds() - start;
        if (Fields(text) != 20) return state.SkipWithError("GetDataChannel20 gave no 20 fields");
        nonzero += std::strncmp(text, "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#", 40) != 0;
        fromStandIn += standIn == text;

        std::this_thread::sleep_for(kFrameGap);
        start = Seconds();
        fft.Compute();
        const double transform = Seconds() - start;
        queries.push_back(query);
        transforms.push_back(transform);
        state.SetIterationTime(query);
    }
    state.counters["query_median_us"] = MedianOf(queries) * 1e6;
    state.counters["fft_median_us"] = MedianOf(transforms) * 1e6;
    // A playing stream gives a real spectrum: nearly every answer has a non-zero field.
    state.counters["nonzero_share"] =
        static_cast<double>(nonzero) / static_cast<double>(state.iterations());
    state.counters["standin_share"] =
        static_cast<double>(fromStandIn) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SpectrumQueryVsFft)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

// The same query back to back: caches warm, and every call but the first after each
// 256-frame step answered from the engine's cached spectrum. Shown beside the
// per-frame figure; it is what a host that polls in a loop would see.
void BM_GetDataChannel20Loop(benchmark::State& state) {
    Plugin& p = Plugin::Get();
    if (!p.ok()) return state.SkipWithError(p.error().c_str());
    p.Restart();
    for (auto _ : state) {
        p.Call(p.exports.GetDataChannel20, {kSlot});
        benchmark::DoNotOptimize(p.exports.GetFile());
    }
    if (Fields(p.exports.GetFile()) != 20)
        state.SkipWithError("GetDataChannel20 gave no 20 fields");
}
BENCHMARK(BM_GetDataChannel20Loop)->Unit(benchmark::kMicrosecond);

void BM_GetPosTimeChannel(benchmark::State& state) {
    Plugin& p = Plugin::Get();
    if (!p.ok()) return state.SkipWithError(p.error().c_str());
    p.Restart();
    for (auto _ : state) {
        p.Call(p.exports.GetPosTimeChannel, {kSlot});
        benchmark::DoNotOptimize(p.exports.GetFile());
    }
    if (Fields(p.exports.GetFile()) != 2) state.SkipWithError("GetPosTimeChannel gave no 2 fields");
}
BENCHMARK(BM_GetPosTimeChannel)->Unit(benchmark::kMicrosecond);

void BM_EmptyExport(benchmark::State& state) {
    void* library = dlopen(EMPTY_PATH, RTLD_NOW | RTLD_LOCAL);
    auto* empty = library ? reinterpret_cast<void (*)()>(dlsym(library, "EmptyExport")) : nullptr;
    if (!empty) return state.SkipWithError("cannot load " EMPTY_PATH);
    for (auto _ : state) {
        empty();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EmptyExport)->Unit(benchmark::kMicrosecond);

void BM_CreateChannel(benchmark::State& state) {
    const char* path = std::getenv("BENCH_LONG_MP3");
    if (!path || !*path) return state.SkipWithError("BENCH_LONG_MP3 is not set");
    Plugin& p = Plugin::Get();
    if (!p.ok()) return state.SkipWithError(p.error().c_str());
    for (auto _ : state) {
        const double start = ThreadCpuSeconds();
        const bool opened = p.Open(kOpenSlot, path);
        state.SetIterationTime(ThreadCpuSeconds() - start);
        if (!opened) return state.SkipWithError("CreateChannel failed");
        p.Call(p.exports.GetLengthTimeChannel, {kOpenSlot});
        state.counters["length_s"] = std::atof(p.exports.GetFile());
        p.Call(p.exports.FreeChannel, {kOpenSlot});
    }
}
BENCHMARK(BM_CreateChannel)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
