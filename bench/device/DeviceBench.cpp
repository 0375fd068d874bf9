// SPDX-License-Identifier: MIT
// The plug-in on a sound server's sink, timed against what the sink played, recorded
// from its monitor in 256-frame reads stamped with CLOCK_MONOTONIC. Run by bench/run
// under scripts/sound-server; prints "name value unit" lines, and "output: REASON".
//
//   device_bench position SECONDS   plays noise for SECONDS; every 50 ms compares the
//                                   engine's position of the stream with the file
//                                   frame the sink was playing at that moment
//   device_bench start RUNS         PlayChannel to the first sample at the sink, RUNS
//                                   times
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"
#include "tests/support/AudioFiles.h"
#include "tests/support/OpenedStreams.h"
#include "tests/support/SinkRecorder.h"
#include "tools/pluginloader/PluginLoader.h"

namespace {

using testaudio::MonotonicNs;
using testaudio::Recording;

constexpr int kRate = Recording::kRate;
constexpr int kReadFrames = 256;
constexpr float kSilent = 1e-6f;

int64_t Frames(double milliseconds) { return static_cast<int64_t>(milliseconds * kRate / 1000); }
double Ms(double frames) { return 1000.0 * frames / kRate; }
void SleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Noise, a different value on every frame and channel, so that a few thousand frames
// of it say where in the file they come from.
std::vector<float> Noise(int64_t frames) {
    std::vector<float> out(static_cast<size_t>(2 * frames));
    uint32_t state = 12345;
    for (float& sample : out) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(0.3 * (static_cast<double>(state) / 2147483648.0 - 1.0));
    }
    return out;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

// The plug-in on the device output, as a host drives it.
class Host {
  public:
    bool Start() {
        setenv("AUDIOENGINE_OUTPUT", "device", 1);
        std::string error;
        library_ = pluginloader::PluginLibrary::Load(PLUGIN_PATH, &error);
        if (!library_) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        library_->exports().InitBass();
        std::printf("output: %s\n", AE_OutputReason());
        if (std::string(AE_OutputName()) != "device") {
            std::fprintf(stderr, "the engine is not on the device: %s\n", AE_OutputReason());
            return false;
        }
        return true;
    }
    bool Open(const std::string& path) {
        exports().SetData(1);
        exports().SetFile(path.c_str());
        return exports().CreateChannel();
    }
    void Call(void (*action)()) {
        exports().SetData(1);
        action();
    }
    const pluginloader::PluginExports& exports() const { return library_->exports(); }

  private:
    std::unique_ptr<pluginloader::PluginLibrary> library_;
};

int Position(double seconds) {
    Host host;
    if (!host.Start()) return 1;
    testaudio::TempDir dir;
    const std::string path = dir.File("noise.wav");
    const std::vector<float> file = Noise(static_cast<int64_t>((seconds + 2) * kRate));
    if (!testaudio::Write(path, testaudio::Format::WavFloat, kRate, 2, file)) return 1;
    testaudio::SinkRecorder recorder(kReadFrames);
    if (!recorder.ok() || !recorder.WaitForFrames(Frames(200), 3000)) {
        std::fprintf(stderr, "%s\n", recorder.error().c_str());
        return 1;
    }
    if (!host.Open(path)) return 1;
    const uint32_t stream = testaudio::LastOpenedStream();
    SleepMs(300);
    host.Call(host.exports().PlayChannel);
    // The engine's position at moments 50 ms apart; a moment at which the bench was
    // descheduled mid-query (over 1 ms) says nothing of the engine and is left out.
    struct Moment {
        int64_t ns;
        int64_t frame;
    };
    std::vector<Moment> moments;
    long interrupted = 0;
    const int64_t end = MonotonicNs() + static_cast<int64_t>(seconds * 1e9);
    while (MonotonicNs() < end) {
        SleepMs(50);
        const int64_t before = MonotonicNs();
        const QWORD bytes = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        const int64_t after = MonotonicNs();
        if (after - before > 1000000) {
            ++interrupted;
            continue;
        }
        moments.push_back({(before + after) / 2, static_cast<int64_t>(bytes / 4)});
    }
    SleepMs(200);
    recorder.Stop();
    host.Call(host.exports().FreeChannel);
    const Recording played = recorder.Snapshot();
    if (!recorder.error().empty()) {
        std::fprintf(stderr, "%s\n", recorder.error().c_str());
        return 1;
    }

    // The file's frame 0 is the first sound at the sink (a first play is not faded).
    // Where the sink is in the file is checked every second by correlation, so that a
    // dropout (audio the server or the engine lost) moves the mapping with it.
    int64_t onset = 0;
    while (onset < played.frames() && std::fabs(played.at(onset, 0)) <= kSilent) ++onset;
    struct Checkpoint {
        int64_t frame;   // recording frame
        int64_t offset;  // recording frame - file frame from here on
    };
    std::vector<Checkpoint> checkpoints;
    int64_t offset = onset;
    long moved = 0;
    double worstScore = 1.0;
    const auto fileFrames = static_cast<int64_t>(file.size() / 2);
    for (int64_t at = onset; at + 4096 < played.frames() && at - offset + 4096 < fileFrames;
         at += kRate) {
        double score = 0;
        const int64_t fileFrame = at - offset;
        const int64_t found = testaudio::BestAlignment(
            played.samples, file, fileFrame, 4096, at - Frames(50), at + Frames(50), -1, &score);
        worstScore = std::min(worstScore, score);
        if (score > 0.9 && found - fileFrame != offset) {
            if (!checkpoints.empty()) ++moved;
            offset = found - fileFrame;
        }
        checkpoints.push_back({at, offset});
    }
    if (checkpoints.empty()) {
        std::fprintf(stderr, "the sink played nothing\n");
        return 1;
    }
    std::vector<double> errors, signedErrors;
    for (const Moment& m : moments) {
        const int64_t r = played.FrameAt(m.ns);
        // From 100 ms after the start, while the recording covers the moment.
        if (r < onset + Frames(100) || r >= played.frames()) continue;
        int64_t mapped = checkpoints.front().offset;
        for (const Checkpoint& c : checkpoints)
            if (c.frame <= r) mapped = c.offset;
        const double error = Ms(static_cast<double>(m.frame - (r - mapped)));
        errors.push_back(std::fabs(error));
        signedErrors.push_back(error);
    }
    std::vector<double> latencies, jitter;
    const int64_t startNs = played.StartNs();
    for (const Recording::Read& read : played.reads) {
        latencies.push_back(static_cast<double>(read.latencyNs) / 1e6);
        jitter.push_back(static_cast<double>(read.stampNs - read.latencyNs - startNs) / 1e6 -
                         Ms(static_cast<double>(read.endFrame)));
    }
    std::printf("position_p95 %.2f ms\n", Percentile(errors, 0.95));
    std::printf("position_median_signed %.2f ms\n", Percentile(signedErrors, 0.5));
    std::printf("position_worst %.2f ms\n", Percentile(errors, 1.0));
    std::printf("position_samples %zu\n", errors.size());
    std::printf("position_interrupted %ld\n", interrupted);
    std::printf("sink_dropouts %ld\n", moved);
    std::printf("alignment_worst_score %.3f\n", worstScore);
    std::printf("record_latency_median %.2f ms\n", Percentile(latencies, 0.5));
    std::printf("read_lateness_p95 %.2f ms\n", Percentile(jitter, 0.95));
    return errors.empty() ? 1 : 0;
}

int Start(int runs) {
    Host host;
    if (!host.Start()) return 1;
    testaudio::TempDir dir;
    const std::string path = dir.File("noise.wav");
    if (!testaudio::Write(path, testaudio::Format::WavFloat, kRate, 2, Noise(kRate))) return 1;
    testaudio::SinkRecorder recorder(kReadFrames);
    if (!recorder.ok() || !recorder.WaitForFrames(Frames(200), 3000)) {
        std::fprintf(stderr, "%s\n", recorder.error().c_str());
        return 1;
    }
    std::vector<int64_t> calls;
    for (int i = 0; i < runs; ++i) {
        if (!host.Open(path)) return 1;
        SleepMs(300);  // the stream is primed, as a host's usually is by its first play
        calls.push_back(MonotonicNs());
        host.Call(host.exports().PlayChannel);
        SleepMs(400);
        host.Call(host.exports().FreeChannel);
        SleepMs(300);
    }
    recorder.Stop();
    const Recording played = recorder.Snapshot();
    if (!recorder.error().empty()) {
        std::fprintf(stderr, "%s\n", recorder.error().c_str());
        return 1;
    }
    std::vector<double> latencies;
    for (const int64_t call : calls) {
        // The sink is silent from well before the call (the last stream was freed
        // 300 ms before); the first sound after that is this start.
        int64_t f = std::max<int64_t>(0, played.FrameAt(call) - Frames(100));
        while (f < played.frames() && std::fabs(played.at(f, 0)) <= kSilent) ++f;
        if (f == played.frames()) {
            std::fprintf(stderr, "a start was never heard\n");
            return 1;
        }
        latencies.push_back(static_cast<double>(played.NsOf(f) - call) / 1e6);
    }
    std::printf("start_median %.2f ms\n", Percentile(latencies, 0.5));
    std::printf("start_min %.2f ms\n", Percentile(latencies, 0.0));
    std::printf("start_max %.2f ms\n", Percentile(latencies, 1.0));
    std::printf("start_runs %zu\n", latencies.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "position" && argc == 3) return Position(std::atof(argv[2]));
    if (mode == "start" && argc == 3) return Start(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: device_bench position SECONDS | start RUNS\n");
    return 2;
}
