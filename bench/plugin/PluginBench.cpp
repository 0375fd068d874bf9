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
// same way. Those single calls are timed with the monotonic clock: reading this
// thread's CPU clock costs a system call here (over 1 us, a tenth of the target),
// and the median over many calls discards the few that another process interrupts.
// The position query and the empty call are timed in loops on the thread's CPU
// clock, as Google Benchmark does.
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
        const auto library = pluginloader::PluginLibrary::Load(PLUGIN_PATH, &error_);
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

// A repetition's time is the mean of its calls, so one call that another process
// interrupts weighs on it; the median call, shown beside it as "call_median_us",
// does not. Kept for the single calls timed after a pause.
class CallTimes {
  public:
    explicit CallTimes(size_t calls) { seconds_.reserve(calls); }
    void Add(double seconds) { seconds_.push_back(seconds); }
    void Report(benchmark::State& state) {
        if (seconds_.empty()) return;
        auto middle = seconds_.begin() + static_cast<std::ptrdiff_t>(seconds_.size() / 2);
        std::nth_element(seconds_.begin(), middle, seconds_.end());
        state.counters["call_median_us"] = *middle * 1e6;
    }

  private:
    std::vector<double> seconds_;
};

// Counts the '#'-closed fields of a text.
int Fields(const char* text) {
    int n = 0;
    for (; *text; ++text) n += *text == '#';
    return n;
}

void BM_GetDataChannel20(benchmark::State& state) {
    Plugin& p = Plugin::Get();
    if (!p.ok()) return state.SkipWithError(p.error().c_str());
    p.Restart();
    long nonzero = 0;
    CallTimes calls(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        std::this_thread::sleep_for(kFrameGap);
        const double start = Seconds();
        p.Call(p.exports.GetDataChannel20, {kSlot});
        const char* text = p.exports.GetFile();
        const double elapsed = Seconds() - start;
        state.SetIterationTime(elapsed);
        calls.Add(elapsed);
        if (Fields(text) != 20) return state.SkipWithError("GetDataChannel20 gave no 20 fields");
        nonzero += std::strncmp(text, "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#", 40) != 0;
    }
    // A playing stream gives a real spectrum: nearly every answer has a non-zero field.
    state.counters["nonzero_share"] =
        static_cast<double>(nonzero) / static_cast<double>(state.iterations());
    calls.Report(state);
}
BENCHMARK(BM_GetDataChannel20)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

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

// One spectrum from scratch: Hann window over 512 samples, real FFT, 256 magnitudes.
void BM_KissFft512(benchmark::State& state) {
    kiss_fftr_cfg cfg = kiss_fftr_alloc(512, 0, nullptr, nullptr);
    if (!cfg) return state.SkipWithError("kiss_fftr_alloc failed");
    std::vector<float> window(512), source(44100), in(512), out(256);
    std::vector<kiss_fft_cpx> bins(257);
    for (int i = 0; i < 512; ++i)
        window[static_cast<size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(2 * M_PI * i / 512));
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<float>(0.4 * std::sin(0.05 * static_cast<double>(i)));
    size_t at = 0;
    CallTimes calls(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        std::this_thread::sleep_for(kFrameGap);
        const double start = Seconds();
        for (size_t i = 0; i < 512; ++i) in[i] = source[at + i] * window[i];
        kiss_fftr(cfg, in.data(), bins.data());
        for (size_t k = 0; k < 256; ++k)
            out[k] = std::sqrt(bins[k].r * bins[k].r + bins[k].i * bins[k].i) / 256.0f;
        benchmark::DoNotOptimize(out.data());
        const double elapsed = Seconds() - start;
        state.SetIterationTime(elapsed);
        calls.Add(elapsed);
        at = (at + 256) % (source.size() - 512);
    }
    kiss_fftr_free(cfg);
    calls.Report(state);
}
BENCHMARK(BM_KissFft512)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

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
