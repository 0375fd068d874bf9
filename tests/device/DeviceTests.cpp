// SPDX-License-Identifier: MIT
// Plugin.so on our engine on a real sound device: a sound server's null sink (run
// them under scripts/sound-server). What the sink plays is recorded from its monitor
// and held against what the files hold: the mix of streams with their volumes and
// equalisers, pause, seek, stop and free as heard, and the server going away and
// coming back mid-play. Every test is skipped when no sound server answers.
//
// The same binary also serves as two helper processes of the tests:
//   device_tests --render OUT FRAMES STREAM...   renders each STREAM
//       ("PATH|VOLUME|BAND=GAIN,...") alone from its start, FRAMES frames, through the
//       plug-in on the engine's manual output, into OUT as raw stereo float;
//   device_tests --play-for SECONDS PATH          plays PATH at volume 0 through the
//       plug-in on the device for SECONDS, then unloads the plug-in and exits.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "tests/integration/LoadedPlugin.h"
#include "tests/integration/PluginFixture.h"
#include "tests/integration/PluginHost.h"
#include "tests/plughost/Process.h"
#include "tests/support/AudioFiles.h"
#include "tests/support/OpenedStreams.h"
#include "tests/support/SinkRecorder.h"
#include "tests/support/StallWatch.h"

using integration::PluginHost;
using testaudio::Format;
using testaudio::MonotonicNs;
using testaudio::Recording;
using testaudio::SinkRecorder;
using testaudio::StallWatch;

namespace {

[[maybe_unused]] const bool g_loaded = integration::LoadedPlugin::Register(PLUGIN_PATH, "device");

PluginHost& Plugin() { return integration::LoadedPlugin::Host(); }

constexpr int kRate = Recording::kRate;
constexpr int64_t kMsNs = 1000000;
// A sample this small is silence: the mix of nothing is exactly 0.
constexpr float kSilent = 1e-6f;

int64_t Frames(double milliseconds) { return static_cast<int64_t>(milliseconds * kRate / 1000); }
double Ms(int64_t frames) { return 1000.0 * static_cast<double>(frames) / kRate; }
void SleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Uniform noise in [-amplitude, amplitude], the same for the same seed.
class Noise {
  public:
    explicit Noise(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    float operator()(double amplitude) {
        state_ = state_ * 1664525u + 1013904223u;
        return static_cast<float>(amplitude * (static_cast<double>(state_) / 2147483648.0 - 1.0));
    }

  private:
    uint32_t state_;
};

// A tone with noise under it on every channel: the tone to measure, the noise so that
// the stream can be found in a mix by correlation.
std::vector<float> ToneInNoise(int rate, int channels, int64_t frames, double hz, double tone,
                               double noise, uint32_t seed) {
    std::vector<float> out = testaudio::Sine(rate, channels, frames, hz, tone);
    Noise next(seed);
    for (float& sample : out) sample += next(noise);
    return out;
}

// Stereo: a sine on the left, whose sample-to-sample steps are small and known, so a
// cut shows as a click; noise on the right, which says where in the file the sink is.
std::vector<float> SineLeftNoiseRight(int64_t frames, double hz, uint32_t seed) {
    std::vector<float> out = testaudio::Sine(kRate, 2, frames, hz, 0.5);
    Noise next(seed);
    for (int64_t i = 0; i < frames; ++i) out[static_cast<size_t>(2 * i + 1)] = next(0.3);
    return out;
}

// The largest step between neighbouring samples of `channel` in frames [from, to).
float LargestStep(const std::vector<float>& samples, int channel, int64_t from, int64_t to) {
    float largest = 0;
    from = std::max<int64_t>(from, 1);
    to = std::min<int64_t>(to, static_cast<int64_t>(samples.size()) / 2);
    for (int64_t i = from; i < to; ++i) {
        const size_t at = static_cast<size_t>(2 * i + channel);
        largest = std::max(largest, std::fabs(samples[at] - samples[at - 2]));
    }
    return largest;
}

// The normalised correlation of the right channels of recording frames [r, r + 64)
// and file frames [r - offset, ...): about 1 where the sink played that part of the
// file (faded or not), about 0 anywhere else.
double MatchAt(const Recording& recording, const std::vector<float>& file, int64_t offset,
               int64_t r) {
    constexpr int64_t kWindow = 64;
    const int64_t fileFrames = static_cast<int64_t>(file.size()) / 2;
    if (r < 0 || r + kWindow > recording.frames() || r - offset < 0 ||
        r - offset + kWindow > fileFrames)
        return 0.0;
    double dot = 0, a = 0, b = 0;
    for (int64_t i = 0; i < kWindow; ++i) {
        const double x = recording.at(r + i, 1),
                     y = file[static_cast<size_t>(2 * (r - offset + i) + 1)];
        dot += x * y;
        a += x * x;
        b += y * y;
    }
    return a > 0 && b > 0 ? dot / std::sqrt(a * b) : 0.0;
}

// The first recording frame in [from, to) where the file played with `offset`
// (recording frame = file frame + offset) begins to be heard; -1 when it is not.
int64_t HeardFrom(const Recording& recording, const std::vector<float>& file, int64_t offset,
                  int64_t from, int64_t to) {
    for (int64_t r = from; r < to; ++r)
        if (MatchAt(recording, file, offset, r) > 0.8) return r;
    return -1;
}

// The last recording frame before `to` (searching back to `from`) where the file
// played with `offset` is still heard; -1 when it is not.
int64_t HeardUntil(const Recording& recording, const std::vector<float>& file, int64_t offset,
                   int64_t from, int64_t to) {
    for (int64_t r = to - 64; r >= from; --r)
        if (MatchAt(recording, file, offset, r) > 0.8) return r + 63;
    return -1;
}

// Where the recording (window of 4096 frames from frame `at`) is found in the file
// between file frames `from` and `to`: the offset recording frame - file frame, and
// the correlation.
int64_t OffsetOf(const Recording& recording, const std::vector<float>& file, int64_t at,
                 int64_t from, int64_t to, double* score) {
    const int64_t frame =
        testaudio::BestAlignment(file, recording.samples, at, 4096, from, to, 1, score);
    return at - frame;
}

// When a case of a test that plays through the server recorded: from the moment its
// recording was under way until it stopped. Empty until the attempt sets both.
struct RecordedSpan {
    int64_t fromNs = 0, toNs = 0;
};

// The watch over the machine's cores, one for the process (see StallWatch.h).
StallWatch& Watch() {
    static StallWatch watch;
    return watch;
}

// The shortest stall that can cost the server a period: two thirds of its period
// (its own work takes part of it), which scripts/sound-server states; 4 ms when
// unstated (PipeWire's 256-frame period is 5.8 ms).
int64_t StallThatDropsNs() {
    const char* period = std::getenv("SOUND_SERVER_PERIOD_US");
    const long long us = period ? std::atoll(period) : 0;
    return us > 0 ? std::max<int64_t>(3000000, us * 1000 * 2 / 3) : 4000000;
}

// Runs one case of a test that plays through the server, and again, up to four times
// in all, while its failures fall in an attempt during whose recording the machine
// stalled for long enough to cost the server a period (see StallWatch.h): the server
// then plays a dropout that is nobody's fault here. A failure in an attempt without
// such a stall, or in the last attempt, is the test's failure, and says what the
// machine did. `attempt` takes the RecordedSpan to set.
template <typename Attempt>
void RunAgainAfterStalls(const char* name, Attempt attempt) {
    constexpr int kAttempts = 4;
    StallWatch& watch = Watch();
    const int64_t dropsNs = StallThatDropsNs();
    for (int round = 1;; ++round) {
        testing::TestPartResultArray results;
        RecordedSpan span;
        {
            const testing::ScopedFakeTestPartResultReporter catcher(
                testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
            attempt(span);
        }
        std::vector<const testing::TestPartResult*> failures;
        for (int i = 0; i < results.size(); ++i)
            if (results.GetTestPartResult(i).failed())
                failures.push_back(&results.GetTestPartResult(i));
        if (failures.empty()) return;
        const StallWatch::Stalls stalls = span.toNs > span.fromNs
                                              ? watch.Between(span.fromNs, span.toNs, dropsNs)
                                              : StallWatch::Stalls{};
        const std::string machine =
            !watch.realtime()
                ? "stalls of the machine unknown (no real-time scheduling here)"
                : std::to_string(stalls.count) + " stalls of the machine of " +
                      std::to_string(dropsNs / 1000) + " us or more while it recorded" +
                      (stalls.count > 0
                           ? ", the longest " + std::to_string(stalls.longestNs / 1000) + " us"
                           : "");
        if (stalls.count > 0 && round < kAttempts) {
            const std::string first = failures[0]->message();
            const std::string note = std::string(name) + ": attempt " + std::to_string(round) +
                                     " failed (" + first.substr(0, first.find('\n')) + ") with " +
                                     machine;
            std::printf("[ again   ] %s\n", note.c_str());
            // A case that passes in the end shows no output under ctest; a run that
            // wants to count them names a file.
            if (const char* notes = std::getenv("DEVICE_TESTS_AGAIN")) {
                std::ofstream(notes, std::ios::app) << note << "\n";
            }
            continue;
        }
        for (const testing::TestPartResult* failure : failures) {
            // The trace is the caller's, and is added again.
            const std::string message = failure->message();
            ADD_FAILURE_AT(failure->file_name() ? failure->file_name() : "?",
                           failure->line_number())
                << message.substr(0, message.find("\nGoogle Test trace:"));
        }
        ADD_FAILURE() << "attempt " << round << " of " << name << " failed with " << machine;
        return;
    }
}

class DevicePath : public integration::PluginFixture {
  protected:
    void SetUp() override {
        PluginFixture::SetUp();
        if (HasFatalFailure()) return;
        const SinkRecorder probe;
        if (!probe.ok()) GTEST_SKIP() << "no sound server answers: " << probe.error();
        ASSERT_STREQ(AE_OutputName(), "device")
            << "a sound server answers, but the engine is not on the device: " << AE_OutputReason();
    }
};

// ---------------------------------------------------------------- what the sink played

struct StreamSpec {
    double hz;
    int rate;
    int channels;
    Format format;
    int volume;                           // percent
    std::vector<std::pair<int, int>> eq;  // band, dB; none: no equaliser attached
};

struct MixCase {
    const char* name;
    std::vector<StreamSpec> streams;
};

// Each stream rendered alone from its start through the plug-in on the manual
// output (a process of its own: the engine starts once per process), at the sink's
// rate: exactly what the device output mixes, sample for sample.
std::vector<std::vector<float>> RenderAlone(const std::vector<std::string>& paths,
                                            const std::vector<StreamSpec>& specs, int64_t frames,
                                            const std::string& out) {
    std::vector<std::string> args = {"--render", out, std::to_string(frames)};
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string arg = paths[i] + "|" + std::to_string(specs[i].volume) + "|";
        for (const auto& [band, gain] : specs[i].eq)
            arg += std::to_string(band) + "=" + std::to_string(gain) + ",";
        args.push_back(arg);
    }
    const auto outcome = plughosttest::Run("/proc/self/exe", args, "", {}, 120);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    std::vector<std::vector<float>> rendered;
    std::ifstream in(out, std::ios::binary);
    for (size_t i = 0; i < paths.size(); ++i) {
        std::vector<float> stream(static_cast<size_t>(frames * 2));
        in.read(reinterpret_cast<char*>(stream.data()),
                static_cast<std::streamsize>(stream.size() * sizeof(float)));
        EXPECT_TRUE(in) << "the reference render of " << paths[i] << " is short";
        rendered.push_back(std::move(stream));
    }
    return rendered;
}

// The power of a tone of `hz` in frames [from, to) of both channels (Goertzel).
double TonePower(const std::vector<float>& samples, double hz, int64_t from, int64_t to) {
    const double w = 2.0 * M_PI * hz / kRate, coefficient = 2.0 * std::cos(w);
    double power = 0;
    for (int c = 0; c < 2; ++c) {
        double s1 = 0, s2 = 0;
        for (int64_t i = from; i < to; ++i) {
            const double s0 = samples[static_cast<size_t>(2 * i + c)] + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        power += s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    }
    return power;
}

double Db(double ratio) { return 10.0 * std::log10(ratio); }

TEST_F(DevicePath, SinkPlaysWhatTheFilesHold) {
    const double kSeconds = 2.0;
    const std::vector<MixCase> cases = {
        {"one stream", {{440, 44100, 2, Format::Flac, 100, {}}}},
        {"three streams with volumes and equalisers",
         {{330, 44100, 2, Format::Flac, 100, {{1, 6}, {5, -6}}},
          {1250, 48000, 1, Format::Wav, 60, {{6, 9}}},
          {2500, 44100, 2, Format::WavFloat, 150, {}}}},
    };
    for (const MixCase& mix : cases) {
        SCOPED_TRACE(mix.name);
        std::vector<std::string> paths;
        for (size_t i = 0; i < mix.streams.size(); ++i) {
            const StreamSpec& s = mix.streams[i];
            const auto frames = static_cast<int64_t>(kSeconds * s.rate);
            paths.push_back(Write(std::string(mix.name).substr(0, 3) + std::to_string(i), s.format,
                                  s.rate, s.channels,
                                  ToneInNoise(s.rate, s.channels, frames, s.hz, 0.15, 0.05,
                                              static_cast<uint32_t>(i + 1))));
        }
        const int64_t renderFrames = Frames(kSeconds * 1000 + 100);
        const auto alone = RenderAlone(paths, mix.streams, renderFrames, dir_.File("alone.raw"));
        ASSERT_EQ(alone.size(), paths.size());

        RunAgainAfterStalls(mix.name, [&](RecordedSpan& span) {
            SinkRecorder recorder;
            ASSERT_TRUE(recorder.WaitForFrames(Frames(100), 3000)) << recorder.error();
            span.fromNs = MonotonicNs();
            for (size_t i = 0; i < paths.size(); ++i) {
                const int slot = static_cast<int>(i + 1);
                ASSERT_TRUE(Open(slot, paths[i]));
                if (!mix.streams[i].eq.empty()) Call("EqCreateChannel", {slot});
                for (const auto& [band, gain] : mix.streams[i].eq)
                    Call("EqSetChannel", {slot, band, gain});
                Call("SetValumeChannel", {slot, mix.streams[i].volume});
            }
            for (size_t i = 0; i < paths.size(); ++i)
                Call("PlayChannel", {static_cast<int>(i + 1)});
            SleepMs(static_cast<int>(kSeconds * 1000) + 400);
            recorder.Stop();
            span.toNs = MonotonicNs();
            for (size_t i = 0; i < paths.size(); ++i)
                Call("FreeChannel", {static_cast<int>(i + 1)});
            const Recording played = recorder.Snapshot();
            ASSERT_TRUE(recorder.error().empty()) << recorder.error();

            // Each stream's start in the recording: its first sample is played unfaded, so
            // the mix's first sound is near; the correlation with the stream's own render
            // (its noise is its own) says where exactly.
            int64_t onset = 0;
            while (onset < played.frames() && std::fabs(played.at(onset, 0)) <= kSilent &&
                   std::fabs(played.at(onset, 1)) <= kSilent)
                ++onset;
            ASSERT_LT(onset, played.frames()) << "the sink played nothing";
            std::vector<float> expected(played.samples.size(), 0.0f);
            int64_t first = played.frames(), last = 0;
            for (size_t i = 0; i < alone.size(); ++i) {
                double score = 0;
                const int64_t start = testaudio::BestAlignment(
                    played.samples, alone[i], 0, 8192, onset - 64, onset + Frames(300), -1, &score);
                ASSERT_GT(score, 0.3) << "stream " << i + 1 << " is not in what the sink played";
                first = std::min(first, start);
                last = std::max(last, start + Frames(kSeconds * 1000));
                for (int64_t f = 0; f < renderFrames && start + f < played.frames(); ++f)
                    for (int c = 0; c < 2; ++c)
                        expected[static_cast<size_t>(2 * (start + f) + c)] +=
                            alone[i][static_cast<size_t>(2 * f + c)];
            }
            ASSERT_LE(last, played.frames()) << "the recording ended before the streams did";

            // Exactness, measured: the server at the mix's rate should hand back every sample.
            double largestDifference = 0, errorEnergy = 0, energy = 0;
            int64_t identical = 0, longestSilence = 0, silence = 0, worstBlock = -1;
            double worstBlockRatio = 0;
            for (int64_t block = first; block < last; block += 1024) {
                double blockError = 0, blockEnergy = 0;
                for (int64_t f = block; f < std::min(block + 1024, last); ++f) {
                    const bool quiet = std::fabs(played.at(f, 0)) <= kSilent &&
                                       std::fabs(played.at(f, 1)) <= kSilent;
                    silence = quiet ? silence + 1 : 0;
                    longestSilence = std::max(longestSilence, silence);
                    for (int c = 0; c < 2; ++c) {
                        const double want = expected[static_cast<size_t>(2 * f + c)];
                        const double got = played.at(f, c);
                        largestDifference = std::max(largestDifference, std::fabs(got - want));
                        identical += got == want;
                        blockError += (got - want) * (got - want);
                        blockEnergy += want * want;
                    }
                }
                errorEnergy += blockError;
                energy += blockEnergy;
                if (blockError > worstBlockRatio * blockEnergy) {
                    worstBlockRatio = blockError / blockEnergy;
                    worstBlock = block;
                }
            }
            std::printf("[ measured ] %s: largest difference %.3g, %.4f of samples identical",
                        mix.name, largestDifference,
                        static_cast<double>(identical) / static_cast<double>(2 * (last - first)));
            if (worstBlock >= 0)
                std::printf(
                    ", error %.1f dB below the signal, worst 1024-frame block %.1f dB at %.3f s",
                    -Db(errorEnergy / energy), -Db(worstBlockRatio), Ms(worstBlock - first) / 1000);
            std::printf("\n");

            // No frames missing or made up: a dropout or a repeat leaves every block after it
            // misaligned, far louder than 40 dB below the signal.
            EXPECT_LT(longestSilence, 256) << "frames of silence in a row while the streams played";
            EXPECT_LT(worstBlockRatio, 1e-4)
                << "the sink played something else at " << Ms(worstBlock - first) / 1000 << " s";
            // The level and each stream's tone as the files and settings have them.
            double playedEnergy = 0;
            for (int64_t f = first; f < last; ++f)
                for (int c = 0; c < 2; ++c) playedEnergy += played.at(f, c) * played.at(f, c);
            EXPECT_NEAR(Db(playedEnergy / energy), 0.0, 0.5) << "level against the render";
            for (const StreamSpec& s : mix.streams) {
                EXPECT_NEAR(Db(TonePower(played.samples, s.hz, first, last) /
                               TonePower(expected, s.hz, first, last)),
                            0.0, 0.5)
                    << "the " << s.hz << " Hz tone";
            }
        });
    }
}

// ---------------------------------------------------------------- transport as heard

enum class Action { Pause, Stop, Free, Seek };

TEST_F(DevicePath, TransportIsHeardAsPromised) {
    const int64_t fileFrames = 6 * kRate;
    const std::vector<float> file = SineLeftNoiseRight(fileFrames, 500, 7);
    const std::string path = Write("transport", Format::WavFloat, kRate, 2, file);
    const float ownStep = LargestStep(file, 0, 0, fileFrames);
    const int64_t seekTarget = 4 * kRate;
    struct Case {
        const char* name;
        Action action;
    };
    for (const Case& row :
         {Case{"pause, then play", Action::Pause}, Case{"stop, then play", Action::Stop},
          Case{"free", Action::Free}, Case{"seek to 4 s", Action::Seek}}) {
        SCOPED_TRACE(row.name);
        RunAgainAfterStalls(row.name, [&](RecordedSpan& span) {
            SinkRecorder recorder;
            ASSERT_TRUE(recorder.WaitForFrames(Frames(100), 3000)) << recorder.error();
            span.fromNs = MonotonicNs();
            ASSERT_TRUE(Open(1, path));
            Call("PlayChannel", {1});
            SleepMs(700);
            const int64_t actionNs = MonotonicNs();
            switch (row.action) {
                case Action::Pause:
                    Call("PauseChannel", {1});
                    break;
                case Action::Stop:
                    Call("StopChannel", {1});
                    break;
                case Action::Free:
                    Call("FreeChannel", {1});
                    break;
                case Action::Seek:
                    Call("SetPositionForChannel", {1, 4});
                    break;
            }
            SleepMs(500);
            const int64_t againNs = MonotonicNs();
            if (row.action == Action::Pause || row.action == Action::Stop) Call("PlayChannel", {1});
            SleepMs(500);
            recorder.Stop();
            span.toNs = MonotonicNs();
            Call("FreeChannel", {1});
            const Recording played = recorder.Snapshot();
            ASSERT_TRUE(recorder.error().empty()) << recorder.error();

            // Where the file's start lies in the recording: the first sound, unfaded.
            int64_t start = 0;
            while (start < played.frames() && std::fabs(played.at(start, 1)) <= kSilent) ++start;
            ASSERT_GT(MatchAt(played, file, start, start), 0.99) << "the start is not the file's";
            const int64_t actionAt = played.FrameAt(actionNs), againAt = played.FrameAt(againNs);
            ASSERT_LT(againAt + Frames(450), played.frames());
            const int64_t oldEnd = HeardUntil(played, file, start, start, againAt);
            ASSERT_GT(oldEnd, actionAt - Frames(50))
                << "the file stopped being heard before the call";

            if (row.action == Action::Seek) {
                // The audio goes on from the target, within a few tens of ms, with no click.
                double score = 0;
                const int64_t offset = OffsetOf(played, file, againAt, seekTarget - kRate / 2,
                                                seekTarget + kRate, &score);
                ASSERT_GT(score, 0.99) << "after the seek the sink plays something else";
                const int64_t heard =
                    HeardFrom(played, file, offset, actionAt - Frames(20), againAt);
                ASSERT_GE(heard, 0);
                std::printf(
                    "[ measured ] seek: heard %.1f ms after the call, from %.1f ms past the "
                    "target\n",
                    Ms(heard - actionAt), Ms(heard - offset - seekTarget));
                EXPECT_NEAR(Ms(heard - offset - seekTarget), 0.0, 10.0) << "not from the target";
                EXPECT_LT(Ms(heard - actionAt), 100.0);
                EXPECT_LE(LargestStep(played.samples, 0, oldEnd - Frames(30), heard + Frames(30)),
                          1.5f * ownStep)
                    << "a click where the seek is heard";
                return;
            }

            // The stream fades out and the sink is silent until the next play.
            int64_t silentFrom = againAt;
            while (silentFrom > oldEnd && std::fabs(played.at(silentFrom - 1, 0)) <= kSilent &&
                   std::fabs(played.at(silentFrom - 1, 1)) <= kSilent)
                --silentFrom;
            std::printf("[ measured ] %s: silent %.1f ms after the call\n", row.name,
                        Ms(silentFrom - actionAt));
            EXPECT_LT(Ms(silentFrom - actionAt), 100.0) << "not silent soon after the call";
            EXPECT_LT(Ms(silentFrom - oldEnd), 1.0)
                << "sound other than the file's before the silence";
            EXPECT_LE(LargestStep(played.samples, 0, oldEnd - Frames(30), silentFrom + 1),
                      1.5f * ownStep)
                << "a click where the stream goes silent";
            if (row.action == Action::Free) {
                int64_t last = played.frames();
                while (last > silentFrom && std::fabs(played.at(last - 1, 0)) <= kSilent &&
                       std::fabs(played.at(last - 1, 1)) <= kSilent)
                    --last;
                EXPECT_EQ(last, silentFrom) << "sound after the stream was freed";
                return;
            }

            // Play again: after a pause from where the sound stopped, after a stop from
            // the top; faded in, without a click.
            const int64_t resumed = silentFrom + [&] {
                int64_t f = silentFrom;
                while (f < played.frames() && std::fabs(played.at(f, 1)) <= kSilent) ++f;
                return f - silentFrom;
            }();
            double score = 0;
            const int64_t from = row.action == Action::Pause ? oldEnd - start - kRate / 2 : 0;
            const int64_t offset =
                OffsetOf(played, file, resumed + Frames(50), from, from + kRate, &score);
            ASSERT_GT(score, 0.99) << "after playing again the sink plays something else";
            const int64_t heardFrom =
                HeardFrom(played, file, offset, resumed, resumed + Frames(50));
            const int64_t wanted = row.action == Action::Pause ? oldEnd - start : 0;
            std::printf("[ measured ] %s: plays again from %.1f ms past where it should\n",
                        row.name, Ms(heardFrom - offset - wanted));
            EXPECT_NEAR(Ms(heardFrom - offset - wanted), 0.0, 10.0);
            EXPECT_LE(LargestStep(played.samples, 0, resumed - 1, resumed + Frames(30)),
                      1.5f * ownStep)
                << "a click where the stream plays again";
        });
    }
}

// ---------------------------------------------------------------- the end of a file

// A stream reports its end once its last frame is mixed, while the device still holds
// the last blocks. AE_OutputPendingMs says how long until they are heard: what a
// program that ends with the file (plughost play) waits before closing the device.
TEST_F(DevicePath, PendingSoundLastsUntilTheFileEndIsHeard) {
    const int64_t fileFrames = kRate;
    const std::vector<float> file = SineLeftNoiseRight(fileFrames, 500, 11);
    const std::string path = Write("end", Format::WavFloat, kRate, 2, file);
    RunAgainAfterStalls("the end", [&](RecordedSpan& span) {
        SinkRecorder recorder;
        ASSERT_TRUE(recorder.WaitForFrames(Frames(100), 3000)) << recorder.error();
        span.fromNs = MonotonicNs();
        ASSERT_TRUE(Open(1, path));
        const uint32_t handle = testaudio::LastOpenedStream();
        Call("PlayChannel", {1});
        int64_t endedNs = 0;
        for (int i = 0; i < 3000 && endedNs == 0; ++i) {
            if (BASS_ChannelIsActive(handle) == BASS_ACTIVE_STOPPED)
                endedNs = MonotonicNs();
            else
                SleepMs(1);
        }
        const DWORD pending = AE_OutputPendingMs();
        ASSERT_NE(endedNs, 0) << "the stream did not end";
        SleepMs(static_cast<int>(pending) + 300);
        recorder.Stop();
        span.toNs = MonotonicNs();
        const Recording played = recorder.Snapshot();
        ASSERT_TRUE(recorder.error().empty()) << recorder.error();

        int64_t start = 0;
        while (start < played.frames() && std::fabs(played.at(start, 1)) <= kSilent) ++start;
        ASSERT_GT(MatchAt(played, file, start, start), 0.99) << "the start is not the file's";
        ASSERT_GT(MatchAt(played, file, start, start + fileFrames - 64), 0.99)
            << "the sink did not play the file's last frames";
        const double heardMs = static_cast<double>(played.NsOf(start + fileFrames) - endedNs) / 1e6;
        std::printf("[ measured ] the end: %u ms pending as it ended, heard %.1f ms after\n",
                    pending, heardMs);
        EXPECT_GT(pending, 0u) << "nothing pending, with the end still to be heard";
        EXPECT_LE(heardMs, pending + 20.0) << "waiting the pending time cuts the end off";
    });
}

// ---------------------------------------------------------------- the output's reason

TEST_F(DevicePath, ReasonNamesTheDriverInUse) {
    // Empty means the native pulse output wherever a server answers, as one does here.
    const char* asked = std::getenv("AUDIOENGINE_DRIVER");
    const std::string driver = asked && *asked ? asked : "pulse";
    const std::string reason = AE_OutputReason();
    EXPECT_EQ(reason.rfind("device: ", 0), 0u) << reason;
    const bool sdl = reason.find("SDL") != std::string::npos;
    if (driver == "sdl") {
        EXPECT_TRUE(sdl) << "AUDIOENGINE_DRIVER=sdl, but the output is " << reason;
    } else {
        EXPECT_TRUE(!sdl && reason.find("pulse") != std::string::npos)
            << "AUDIOENGINE_DRIVER=" << driver << " asks for the native pulse output, but the "
            << "output is " << reason;
    }
}

// ---------------------------------------------------------------- the server lost and back

// What the sound-server script says of its server: "ready", "stopped", "failed: ...".
std::string ServerState() {
    const char* path = std::getenv("SOUND_SERVER_STATE");
    std::ifstream in(path ? path : "");
    std::string line;
    std::getline(in, line);
    return line;
}

bool WaitForServerState(const std::string& state, int timeoutMs) {
    const int64_t deadline = MonotonicNs() + timeoutMs * kMsNs;
    while (MonotonicNs() < deadline) {
        if (ServerState() == state) return true;
        SleepMs(10);
    }
    return false;
}

TEST_F(DevicePath, ServerLostAndBack) {
    const char* server = std::getenv("SOUND_SERVER_PID");
    if (!server || !std::getenv("SOUND_SERVER_STATE"))
        GTEST_SKIP() << "not run under scripts/sound-server, so the server cannot be stopped "
                        "and started again";
    const pid_t serverPid = static_cast<pid_t>(std::atol(server));
    // Whatever fails below, the server is running again afterwards.
    struct Restart {
        pid_t pid;
        ~Restart() {
            if (ServerState() != "ready") {
                kill(pid, SIGUSR2);
                WaitForServerState("ready", 10000);
            }
        }
    } restart{serverPid};

    const std::vector<float> file = SineLeftNoiseRight(30 * kRate, 500, 11);
    const std::string path = Write("loss", Format::Flac, kRate, 2, file);
    ASSERT_TRUE(Open(1, path));
    const uint32_t handle = testaudio::LastOpenedStream();
    ASSERT_NE(handle, 0u);
    const auto seconds = [&] {
        return BASS_ChannelBytes2Seconds(handle, BASS_ChannelGetPosition(handle, BASS_POS_BYTE));
    };
    Call("PlayChannel", {1});
    const int64_t t0 = MonotonicNs();
    const auto at = [&](int64_t ns) { return static_cast<double>(ns - t0) / 1e9; };

    // Another host plays (silently) and exits while the server is gone: its exit and
    // the plug-in's unload must not wait for the lost device.
    std::atomic<int64_t> exitedNs{0};
    plughosttest::Outcome other;
    std::thread otherHost([&] {
        other = plughosttest::Run("/proc/self/exe", {"--play-for", "2.5", path}, "", {}, 30);
        exitedNs = MonotonicNs();
    });

    // Every 10 ms, the queries a host makes while playing, each timed.
    struct Sample {
        int64_t ns;
        double position;
        std::string output;
    };
    std::vector<Sample> samples;
    int64_t slowestCallNs = 0;
    const char* slowestCall = "";
    const auto poll = [&](int milliseconds) {
        const int64_t until = MonotonicNs() + milliseconds * kMsNs;
        while (MonotonicNs() < until) {
            int64_t before = MonotonicNs();
            const double position = seconds();
            const auto timed = [&](const char* name) {
                const int64_t now = MonotonicNs();
                if (now - before > slowestCallNs) {
                    slowestCallNs = now - before;
                    slowestCall = name;
                }
                before = now;
            };
            timed("BASS_ChannelGetPosition");
            Plugin().Query("GetPosTimeChannel", {1});
            timed("GetPosTimeChannel");
            Plugin().Query("GetLevelChannel", {1});
            timed("GetLevelChannel");
            Plugin().Query("GetDataChannel20", {1});
            timed("GetDataChannel20");
            samples.push_back({MonotonicNs(), position, AE_OutputName()});
            SleepMs(10);
        }
    };
    const auto outputSince = [&](int64_t ns, const char* name) -> int64_t {
        for (const Sample& s : samples)
            if (s.ns >= ns && s.output == name) return s.ns;
        return 0;
    };

    poll(1000);
    const int64_t killNs = MonotonicNs();
    ASSERT_EQ(kill(serverPid, SIGUSR1), 0);
    ASSERT_TRUE(WaitForServerState("stopped", 5000)) << "the server did not stop";
    const int64_t stoppedNs = MonotonicNs();
    poll(3000);
    const int64_t nullNs = outputSince(killNs, "null");
    EXPECT_NE(nullNs, 0) << "the engine did not fall back to the null output; reason: "
                         << AE_OutputReason();

    const int64_t restartNs = MonotonicNs();
    ASSERT_EQ(kill(serverPid, SIGUSR2), 0);
    ASSERT_TRUE(WaitForServerState("ready", 10000))
        << "the server did not start again: " << ServerState();
    const int64_t readyNs = MonotonicNs();
    SinkRecorder after;
    ASSERT_TRUE(after.ok()) << after.error();
    // The engine tries the device again every few seconds; audio is back when the
    // sink plays sound again.
    int64_t backNs = 0;
    double backPosition = 0;
    for (int64_t deadline = MonotonicNs() + 8000 * kMsNs; !backNs && MonotonicNs() < deadline;) {
        poll(100);
        const Recording now = after.Snapshot();
        for (int64_t f = std::max<int64_t>(0, now.frames() - Frames(200)); f < now.frames(); ++f) {
            if (std::fabs(now.at(f, 1)) > 0.01) {
                backNs = now.NsOf(f);
                backPosition = seconds();
                break;
            }
        }
    }
    poll(300);
    after.Stop();
    const int64_t freeStart = MonotonicNs();
    Call("FreeChannel", {1});
    const int64_t freeNs = MonotonicNs() - freeStart;
    otherHost.join();

    std::printf(
        "[ timeline ] server stopped at %.3f s (asked at %.3f s); engine on %s output at "
        "%.3f s\n",
        at(stoppedNs), at(killNs), nullNs ? "the null" : "NO null", nullNs ? at(nullNs) : 0.0);
    for (const Sample& s : samples)
        if (&s == &samples.front() ||
            (s.ns - t0) / (1000 * kMsNs) != ((&s - 1)->ns - t0) / (1000 * kMsNs))
            std::printf("[ timeline ]   %.3f s: position %.3f s, output %s\n", at(s.ns), s.position,
                        s.output.c_str());
    std::printf(
        "[ timeline ] restart asked at %.3f s, server ready at %.3f s; audio back at the "
        "sink %s; slowest call %.1f ms (%s); FreeChannel %.1f ms; the other host exited "
        "%.3f s after it began\n",
        at(restartNs), at(readyNs),
        backNs ? (std::to_string(at(backNs) - at(readyNs)) + " s after it was ready").c_str()
               : "NEVER",
        static_cast<double>(slowestCallNs) / 1e6, slowestCall, static_cast<double>(freeNs) / 1e6,
        at(exitedNs.load()));

    // Positions: never back, and on the null output moving with the clock.
    for (size_t i = 1; i < samples.size(); ++i)
        EXPECT_GE(samples[i].position, samples[i - 1].position)
            << "at " << at(samples[i].ns) << " s";
    if (nullNs) {
        const auto around = [&](int64_t ns) {
            for (const Sample& s : samples)
                if (s.ns >= ns) return s;
            return samples.back();
        };
        const Sample from = around(nullNs + 100 * kMsNs), to = around(restartNs - 10 * kMsNs);
        const double wall = static_cast<double>(to.ns - from.ns) / 1e9;
        EXPECT_GT(wall, 0.5);
        EXPECT_NEAR(to.position - from.position, wall, 0.2 * wall)
            << "the position does not move with the clock on the null output";
    }
    EXPECT_LT(slowestCallNs, 100 * kMsNs) << slowestCall << " took long";
    EXPECT_LT(freeNs, 200 * kMsNs) << "FreeChannel took long";
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_LT(at(exitedNs.load()), 2.5 + 2.0) << "the other host took long to exit";
    ASSERT_NE(backNs, 0) << "the sink never received the stream again; the engine is on "
                         << AE_OutputName() << ": " << AE_OutputReason();
    EXPECT_LT(at(backNs) - at(readyNs), 5.0) << "the stream came back late";
    // It is this stream that came back, at the position the engine reports.
    const Recording back = after.Snapshot();
    const int64_t backAt = back.FrameAt(backNs) + Frames(100);
    ASSERT_LT(backAt + 4096, back.frames());
    double score = 0;
    const int64_t where = static_cast<int64_t>(backPosition * kRate);
    OffsetOf(back, file, backAt, where - 2 * kRate, where + 2 * kRate, &score);
    EXPECT_GT(score, 0.9) << "what came back is not the stream";
}

// ---------------------------------------------------------------- helper processes

// --render OUT FRAMES STREAM...
int RenderMain(int argc, char** argv) {
    setenv("AUDIOENGINE_OUTPUT", "manual", 1);
    PluginHost plugin(PLUGIN_PATH);
    if (!plugin.ok()) {
        std::fprintf(stderr, "%s\n", plugin.error().c_str());
        return 1;
    }
    plugin.Call("InitBass");
    const int64_t frames = std::atoll(argv[3]);
    std::ofstream out(argv[2], std::ios::binary);
    std::vector<float> block(2048);
    for (int i = 4; i < argc; ++i) {
        const std::string spec = argv[i];
        const size_t bar = spec.find('|'), bar2 = spec.find('|', bar + 1);
        plugin.SetData(1);
        plugin.SetFile(spec.substr(0, bar).c_str());
        if (!plugin.CreateChannel()) {
            std::fprintf(stderr, "cannot open %s\n", spec.substr(0, bar).c_str());
            return 1;
        }
        const std::string eq = spec.substr(bar2 + 1);
        if (!eq.empty()) plugin.Query("EqCreateChannel", {1});
        for (size_t at = 0; at < eq.size();) {
            const size_t comma = eq.find(',', at);
            const std::string item = eq.substr(at, comma - at);
            plugin.Query("EqSetChannel", {1, std::atoi(item.c_str()),
                                          std::atoi(item.c_str() + item.find('=') + 1)});
            at = comma == std::string::npos ? eq.size() : comma + 1;
        }
        plugin.Query("SetValumeChannel", {1, std::atoi(spec.c_str() + bar + 1)});
        plugin.Query("PlayChannel", {1});
        for (int64_t done = 0; done < frames; done += 1024) {
            const auto n = static_cast<DWORD>(std::min<int64_t>(1024, frames - done));
            if (!AE_Render(block.data(), n)) {
                std::fprintf(stderr, "AE_Render: %s\n", AE_ErrorName(BASS_ErrorGetCode()));
                return 1;
            }
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(n * 2 * sizeof(float)));
        }
        plugin.Query("FreeChannel", {1});
    }
    return out ? 0 : 1;
}

// --play-for SECONDS PATH
int PlayForMain(char** argv) {
    setenv("AUDIOENGINE_OUTPUT", "device", 1);
    {
        PluginHost plugin(PLUGIN_PATH);
        if (!plugin.ok()) return 1;
        plugin.Call("InitBass");
        plugin.SetData(1);
        plugin.SetFile(argv[3]);
        if (!plugin.CreateChannel()) return 1;
        plugin.Query("SetValumeChannel", {1, 0});
        plugin.Query("PlayChannel", {1});
        SleepMs(static_cast<int>(std::atof(argv[2]) * 1000));
    }  // unloads the plug-in, which frees its streams
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--render" && argc >= 4) return RenderMain(argc, argv);
    if (mode == "--play-for" && argc == 4) return PlayForMain(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
