// SPDX-License-Identifier: MIT
#include "tools/plughost/Render.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "tools/plughost/Files.h"
#include "tools/plughost/Media.h"
#include "tools/plughost/Options.h"
#include "tools/plughost/Plugin.h"
#include "tools/plughost/Terminal.h"
#include "tools/plughost/Texts.h"

namespace plughost {
namespace {

using Clock = std::chrono::steady_clock;

// The rate the plug-in starts the engine at: the mix is 44.1 kHz stereo.
constexpr int64_t kMixRate = 44100;
constexpr uint32_t kBlockFrames = 4096;
constexpr auto kProgressPeriod = std::chrono::milliseconds(100);
// Past this many data bytes a RIFF WAV's 32-bit sizes overflow: RF64 instead.
constexpr int64_t kRiffLimit = 0xFFFFFF00;

// "━━━━━━──────  45%  00:12 / 00:30  52x" on one line of the terminal.
void ShowProgress(std::ostream& err, int64_t done, int64_t total, double wallSeconds) {
    const int width = 30;
    const double fraction = total > 0 ? static_cast<double>(done) / total : 1.0;
    const int filled = static_cast<int>(std::lround(fraction * width));
    std::string bar;
    for (int i = 0; i < width; ++i) bar += i < filled ? "\u2501" : "\u2500";
    char speed[32] = "";
    if (wallSeconds > 0.05)
        std::snprintf(speed, sizeof speed, "  %.0fx",
                      static_cast<double>(done) / kMixRate / wallSeconds);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
    err << "\r rendering " << bar << ' ' << percent << "  "
        << FormatClockPair(done / kMixRate, total / kMixRate) << speed << "\x1b[K";
    err.flush();
}

class Renderer {
  public:
    Renderer(Plugin& plugin, const Options& options, std::ostream& err)
        : plugin_(plugin), options_(options), err_(err) {}
    int Run();

  private:
    std::string OpenSlot(int slot, const std::string& file);
    bool Mix(float* out, uint32_t frames);

    Plugin& plugin_;
    const Options& options_;
    std::ostream& err_;
    std::vector<int> slots_;  // the slots that play
    int64_t frames_ = 0;      // output frames to write
    int64_t startFrame_ = 0;  // where the render starts, in output frames
    int32_t seekSeconds_ = 0;
};

// Opens a file into its slot and sets it up; an empty text, or why not.
std::string Renderer::OpenSlot(int slot, const std::string& file) {
    std::string problem = OpenFile(plugin_, slot, file);
    if (!problem.empty()) return problem;
    const std::optional<AE_STREAMINFO> exact = plugin_.StreamInfo(file);
    if (!exact || exact->rate == 0) {
        plugin_.Free(slot);
        return "the engine does not give its exact length";
    }
    // Its length at the mix rate, rounded to the nearest frame.
    const int64_t total = static_cast<int64_t>(
        (static_cast<long double>(exact->frames) * kMixRate + exact->rate / 2) / exact->rate);
    if (startFrame_ >= total) {
        plugin_.Free(slot);
        return "--start is at or past its end (it lasts " +
               FormatClock(std::llround(static_cast<double>(total) / kMixRate)) + ")";
    }
    frames_ = std::max(frames_, total - startFrame_);
    // Without --eq no equaliser is made and at volume 100 none is set: the mix then
    // carries the decoded samples unchanged.
    if (!options_.bands.empty()) {
        plugin_.CreateEqualiser(slot);
        std::array<int, 10> gains{};
        for (const auto& [band, gain] : options_.bands) gains[static_cast<size_t>(band - 1)] = gain;
        for (int band = 1; band <= 10; ++band)
            plugin_.SetBand(slot, band, gains[static_cast<size_t>(band - 1)]);
    }
    if (options_.volume != 100) plugin_.SetVolume(slot, options_.volume);
    if (seekSeconds_ > 0) plugin_.Seek(slot, seekSeconds_);
    return "";
}

bool Renderer::Mix(float* out, uint32_t frames) {
    if (plugin_.Render(out, frames)) return true;
    err_ << "\nplughost: the engine's render failed\n";
    return false;
}

int Renderer::Run() {
    const std::string& out = options_.outFile;
    for (const std::string& file : options_.files) {
        if (SameFile(file, out)) {
            err_ << "plughost: -o " << OneLine(out) << " is one of the files to render\n";
            return 2;
        }
    }
    if (!plugin_.CanRender()) {
        err_ << "plughost: the engine the plug-in loaded offers no offline render (AE_Render)\n";
        return 1;
    }
    InstallSignalHandlers();

    // The plug-in seeks to whole seconds. The exact start is reached by rendering
    // from a second earlier and dropping what comes before it, which also drops the
    // few milliseconds over which the engine fades in a stream that does not start
    // at its first frame.
    startFrame_ = std::llround(options_.start * kMixRate);
    seekSeconds_ = options_.start >= 1 ? static_cast<int32_t>(std::floor(options_.start)) - 1 : 0;
    int64_t skip = startFrame_ - int64_t{seekSeconds_} * kMixRate;

    int status = 0;
    for (size_t i = 0; i < options_.files.size(); ++i) {
        const int slot = static_cast<int>(i) + 1;
        const std::string problem = OpenSlot(slot, options_.files[i]);
        if (problem.empty()) {
            slots_.push_back(slot);
        } else {
            err_ << "plughost: cannot render " << OneLine(options_.files[i]) << ": " << problem
                 << '\n';
            status = 1;
        }
    }
    if (slots_.empty()) return 1;
    if (options_.forSeconds)
        frames_ = std::min<int64_t>(frames_, std::llround(*options_.forSeconds * kMixRate));

    const int bytesPerFrame = options_.floatSamples ? 8 : 4;
    SF_INFO info = {};
    info.samplerate = static_cast<int>(kMixRate);
    info.channels = 2;
    info.format = (frames_ * bytesPerFrame > kRiffLimit ? SF_FORMAT_RF64 : SF_FORMAT_WAV) |
                  (options_.floatSamples ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    SNDFILE* file = OpenSoundFile(out, SFM_WRITE, &info);
    if (!file) {
        err_ << "plughost: cannot create " << OneLine(out) << ": " << sf_strerror(nullptr) << '\n';
        return 1;
    }

    for (const int slot : slots_) plugin_.Play(slot);
    const bool progress = DrawingTerminal(STDERR_FILENO);
    const auto began = Clock::now();
    auto nextProgress = began;
    std::vector<float> mix(2 * kBlockFrames);
    std::vector<short> pcm(2 * kBlockFrames);
    bool ok = true, written = true;
    while (ok && skip > 0 && !QuitRequested()) {
        const auto n = static_cast<uint32_t>(std::min<int64_t>(skip, kBlockFrames));
        ok = Mix(mix.data(), n);
        skip -= n;
    }
    int64_t done = 0;
    while (ok && written && done < frames_ && !QuitRequested()) {
        const auto n = static_cast<uint32_t>(std::min<int64_t>(frames_ - done, kBlockFrames));
        ok = Mix(mix.data(), n);
        if (!ok) break;
        if (options_.floatSamples) {
            written = sf_writef_float(file, mix.data(), n) == n;
        } else {
            // 16-bit samples as decoders read them (x / 32768), so 16-bit audio
            // comes back bit for bit.
            for (size_t k = 0; k < 2 * size_t{n}; ++k)
                pcm[k] = static_cast<short>(
                    std::clamp<long>(std::lrint(mix[k] * 32768.0f), -32768, 32767));
            written = sf_writef_short(file, pcm.data(), n) == n;
        }
        done += n;
        if (progress && Clock::now() >= nextProgress) {
            ShowProgress(err_, done, frames_,
                         std::chrono::duration<double>(Clock::now() - began).count());
            nextProgress += kProgressPeriod;
        }
    }
    const std::string writeError = written ? "" : sf_strerror(file);
    const bool closed = sf_close(file) == 0;
    for (const int slot : slots_) {
        plugin_.Stop(slot);
        plugin_.Free(slot);
    }
    if (progress) err_ << "\r\x1b[K";
    if (!written || !closed || !ok) {
        // A file cut short by an error is no render: it is not left behind.
        std::remove(out.c_str());
        if (!written || !closed)
            err_ << "plughost: cannot write " << OneLine(out) << ": "
                 << (writeError.empty() ? "the file could not be completed" : writeError) << '\n';
        return 1;
    }
    if (QuitRequested()) {
        err_ << "plughost: stopped; " << OneLine(out) << " holds the first "
             << FormatClock(done / kMixRate) << '\n';
    } else if (progress) {
        err_ << "plughost: rendered " << OneLine(out) << ": "
             << FormatClock(std::llround(static_cast<double>(frames_) / kMixRate))
             << " of 44100 Hz stereo, " << (options_.floatSamples ? "32-bit float" : "16-bit")
             << '\n';
    }
    err_.flush();
    return status;
}

}  // namespace

int RunRender(Plugin& plugin, const Options& options, std::ostream& err) {
    Renderer renderer(plugin, options, err);
    return renderer.Run();
}

}  // namespace plughost
