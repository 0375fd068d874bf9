// SPDX-License-Identifier: MIT
#include "tests/support/AudioFiles.h"

#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"

extern char** environ;

namespace testaudio {

const std::vector<Format>& AllFormats() {
    static const std::vector<Format> all = {Format::Wav,  Format::WavFloat,  Format::Aiff,
                                            Format::Flac, Format::OggVorbis, Format::Opus,
                                            Format::Mp3};
    return all;
}

const std::vector<Format>& SndfileContainerFormats() {
    static const std::vector<Format> all = {
        Format::Aifc, Format::Au,    Format::Caf, Format::CafAlac, Format::Rf64,
        Format::W64,  Format::Ircam, Format::Voc, Format::Svx8,    Format::Nist,
        Format::Avr,  Format::Wve,   Format::Paf, Format::Htk,     Format::Mat4,
        Format::Mat5, Format::Pvf,   Format::Xi,  Format::Mpc2k};
    return all;
}

namespace {

struct FormatFacts {
    Format format;
    const char* name;
    const char* extension;
    uint32_t ctype;
    int sndfileFormat;  // what libsndfile writes, for the files it writes
    // The tool that converts a 16-bit WAV into the format: "sox", "ffmpeg" or none.
    const char* tool;
    const char* toolFormat;  // sox's -t type or ffmpeg's -f muxer
};

const FormatFacts kFacts[] = {
    {Format::Wav, "wav", ".wav", BASS_CTYPE_STREAM_WAV_PCM, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
     nullptr, nullptr},
    {Format::WavFloat, "wavfloat", ".wav", BASS_CTYPE_STREAM_WAV_FLOAT,
     SF_FORMAT_WAV | SF_FORMAT_FLOAT, nullptr, nullptr},
    {Format::Aiff, "aiff", ".aiff", BASS_CTYPE_STREAM_AIFF, SF_FORMAT_AIFF | SF_FORMAT_PCM_16,
     nullptr, nullptr},
    {Format::Flac, "flac", ".flac", BASS_CTYPE_STREAM_FLAC, SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
     nullptr, nullptr},
    {Format::OggVorbis, "vorbis", ".ogg", BASS_CTYPE_STREAM_OGG, SF_FORMAT_OGG | SF_FORMAT_VORBIS,
     nullptr, nullptr},
    {Format::Opus, "opus", ".opus", BASS_CTYPE_STREAM_OPUS, SF_FORMAT_OGG | SF_FORMAT_OPUS, nullptr,
     nullptr},
    {Format::Mp3, "mp3", ".mp3", BASS_CTYPE_STREAM_MP3, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
     nullptr, nullptr},
    {Format::Aifc, "aifc", ".aifc", BASS_CTYPE_STREAM_AIFF, 0, "sox", "aifc"},
    {Format::Au, "au", ".au", AE_CTYPE_STREAM_AU, 0, "sox", "au"},
    {Format::Caf, "caf", ".caf", AE_CTYPE_STREAM_CAF, 0, "ffmpeg", "caf"},
    {Format::CafAlac, "caf_alac", ".caf", BASS_CTYPE_STREAM_ALAC, SF_FORMAT_CAF | SF_FORMAT_ALAC_16,
     nullptr, nullptr},
    {Format::Rf64, "rf64", ".wav", BASS_CTYPE_STREAM_WAV_PCM, 0, "ffmpeg", "rf64"},
    // ffmpeg counts the pad byte of an odd data chunk into its size, so its Wave64
    // files of odd length hold one frame more than written.
    {Format::W64, "w64", ".w64", BASS_CTYPE_STREAM_WAV_PCM, SF_FORMAT_W64 | SF_FORMAT_PCM_16,
     nullptr, nullptr},
    {Format::Ircam, "ircam", ".sf", AE_CTYPE_STREAM_IRCAM, 0, "sox", "ircam"},
    {Format::Voc, "voc", ".voc", AE_CTYPE_STREAM_VOC, 0, "sox", "voc"},
    {Format::Svx8, "svx8", ".8svx", AE_CTYPE_STREAM_IFF, 0, "sox", "8svx"},
    {Format::Nist, "nist", ".nist", AE_CTYPE_STREAM_NIST, 0, "sox", "nist"},
    {Format::Avr, "avr", ".avr", AE_CTYPE_STREAM_AVR, 0, "sox", "avr"},
    {Format::Wve, "wve", ".wve", AE_CTYPE_STREAM_WVE, 0, "sox", "wve"},
    {Format::Paf, "paf", ".paf", AE_CTYPE_STREAM_PAF, SF_FORMAT_PAF | SF_FORMAT_PCM_16, nullptr,
     nullptr},
    {Format::Htk, "htk", ".htk", AE_CTYPE_STREAM_HTK, SF_FORMAT_HTK | SF_FORMAT_PCM_16, nullptr,
     nullptr},
    {Format::Mat4, "mat4", ".mat", AE_CTYPE_STREAM_MAT4, SF_FORMAT_MAT4 | SF_FORMAT_PCM_16, nullptr,
     nullptr},
    {Format::Mat5, "mat5", ".mat", AE_CTYPE_STREAM_MAT5, SF_FORMAT_MAT5 | SF_FORMAT_PCM_16, nullptr,
     nullptr},
    {Format::Pvf, "pvf", ".pvf", AE_CTYPE_STREAM_PVF, SF_FORMAT_PVF | SF_FORMAT_PCM_16, nullptr,
     nullptr},
    {Format::Xi, "xi", ".xi", AE_CTYPE_STREAM_XI, SF_FORMAT_XI | SF_FORMAT_DPCM_16, nullptr,
     nullptr},
    {Format::Mpc2k, "mpc2k", ".snd", AE_CTYPE_STREAM_MPC2K, SF_FORMAT_MPC2K | SF_FORMAT_PCM_16,
     nullptr, nullptr},
};

const FormatFacts& Facts(Format format) {
    for (const FormatFacts& facts : kFacts)
        if (facts.format == format) return facts;
    std::abort();  // a format added to the enum without its facts
}

bool WriteWithSndfile(const std::string& path, int sndfileFormat, bool mp3, int rate, int channels,
                      const std::vector<float>& frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = sndfileFormat;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    if (mp3) {
        int mode = SF_BITRATE_MODE_CONSTANT;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        // libsndfile maps compression levels 0..1 onto 320..32 kbps; 0.65 is 128 kbps.
        double level = 0.65;
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    const sf_count_t count = static_cast<sf_count_t>(frames.size() / static_cast<size_t>(channels));
    const bool ok = sf_writef_float(file, frames.data(), count) == count;
    const bool closed = sf_close(file) == 0;
    return ok && closed;
}

// Converts a 16-bit WAV of the frames with the format's tool, without dither, so that
// 16-bit formats hold exactly the WAV's samples.
bool WriteWithTool(const std::string& path, const FormatFacts& facts, int rate, int channels,
                   const std::vector<float>& frames) {
    const std::string wav = path + ".source.wav";
    bool ok =
        WriteWithSndfile(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, false, rate, channels, frames);
    if (ok && std::string(facts.tool) == "sox") {
        ok = RunQuietly({"sox", "-D", "-V1", wav, "-t", facts.toolFormat, path}) == 0;
    } else if (ok) {
        std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-y", "-i", wav};
        if (std::string(facts.toolFormat) == "rf64") {
            argv.insert(argv.end(), {"-rf64", "always", "-f", "wav"});
        } else {
            argv.insert(argv.end(), {"-f", facts.toolFormat});
        }
        argv.push_back(path);
        ok = RunQuietly(argv) == 0;
    }
    std::error_code ignored;
    std::filesystem::remove(wav, ignored);
    return ok;
}

}  // namespace

const char* Name(Format format) { return Facts(format).name; }

const char* Extension(Format format) { return Facts(format).extension; }

bool IsLossy(Format format) {
    return format == Format::OggVorbis || format == Format::Opus || format == Format::Mp3;
}

uint32_t ExpectedCtype(Format format) { return Facts(format).ctype; }

int NativeRate(Format format) {
    switch (format) {
        case Format::Opus:
            return 48000;
        case Format::Wve:
            return 8000;
        // The header stores the sample period in units of 100 ns.
        case Format::Htk:
            return 16000;
        default:
            return 44100;
    }
}

int MaxChannels(Format format) {
    switch (format) {
        case Format::Wve:
        case Format::Htk:
        case Format::Svx8:
        case Format::Xi:
            return 1;
        default:
            return 2;
    }
}

std::vector<float> Sine(int rate, int channels, int64_t frames, double hz, double amplitude) {
    std::vector<float> out(static_cast<size_t>(frames * channels));
    const double step = 2.0 * M_PI * hz / rate;
    for (int64_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(amplitude * std::sin(step * static_cast<double>(i)));
        for (int c = 0; c < channels; ++c) out[static_cast<size_t>(i * channels + c)] = v;
    }
    return out;
}

bool Write(const std::string& path, Format format, int rate, int channels,
           const std::vector<float>& frames) {
    const FormatFacts& facts = Facts(format);
    const bool ok = facts.tool ? WriteWithTool(path, facts, rate, channels, frames)
                               : WriteWithSndfile(path, facts.sndfileFormat, format == Format::Mp3,
                                                  rate, channels, frames);
    if (!ok) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    return ok;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/audiotest.XXXXXX";
    if (char* made = mkdtemp(templ.data())) path_ = made;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

int RunQuietly(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace testaudio
