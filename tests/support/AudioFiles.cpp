// SPDX-License-Identifier: MIT
#include "tests/support/AudioFiles.h"

#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "plugin/engine/Bass.h"

namespace testaudio {

const std::vector<Format>& AllFormats() {
    static const std::vector<Format> all = {Format::Wav,  Format::WavFloat,  Format::Aiff,
                                            Format::Flac, Format::OggVorbis, Format::Opus,
                                            Format::Mp3};
    return all;
}

const char* Name(Format format) {
    switch (format) {
        case Format::Wav:
            return "wav";
        case Format::WavFloat:
            return "wavfloat";
        case Format::Aiff:
            return "aiff";
        case Format::Flac:
            return "flac";
        case Format::OggVorbis:
            return "vorbis";
        case Format::Opus:
            return "opus";
        case Format::Mp3:
            return "mp3";
    }
    return "?";
}

const char* Extension(Format format) {
    switch (format) {
        case Format::Wav:
        case Format::WavFloat:
            return ".wav";
        case Format::Aiff:
            return ".aiff";
        case Format::Flac:
            return ".flac";
        case Format::OggVorbis:
            return ".ogg";
        case Format::Opus:
            return ".opus";
        case Format::Mp3:
            return ".mp3";
    }
    return "";
}

bool IsLossy(Format format) {
    return format == Format::OggVorbis || format == Format::Opus || format == Format::Mp3;
}

uint32_t ExpectedCtype(Format format) {
    switch (format) {
        case Format::Wav:
            return BASS_CTYPE_STREAM_WAV_PCM;
        case Format::WavFloat:
            return BASS_CTYPE_STREAM_WAV_FLOAT;
        case Format::Aiff:
            return BASS_CTYPE_STREAM_AIFF;
        case Format::Flac:
            return BASS_CTYPE_STREAM_FLAC;
        case Format::OggVorbis:
            return BASS_CTYPE_STREAM_OGG;
        case Format::Opus:
            return BASS_CTYPE_STREAM_OPUS;
        case Format::Mp3:
            return BASS_CTYPE_STREAM_MP3;
    }
    return 0;
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

static int SndfileFormat(Format format) {
    switch (format) {
        case Format::Wav:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        case Format::WavFloat:
            return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        case Format::Aiff:
            return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
        case Format::Flac:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        case Format::OggVorbis:
            return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        case Format::Opus:
            return SF_FORMAT_OGG | SF_FORMAT_OPUS;
        case Format::Mp3:
            return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    }
    return 0;
}

bool Write(const std::string& path, Format format, int rate, int channels,
           const std::vector<float>& frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SndfileFormat(format);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    if (format == Format::Mp3) {
        int mode = SF_BITRATE_MODE_CONSTANT;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        // libsndfile maps compression levels 0..1 onto 320..32 kbps; 0.65 is 128 kbps.
        double level = 0.65;
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    const sf_count_t count = static_cast<sf_count_t>(frames.size() / static_cast<size_t>(channels));
    const bool ok = sf_writef_float(file, frames.data(), count) == count;
    const bool closed = sf_close(file) == 0;
    if (!ok || !closed) {
        std::filesystem::remove(path);
        return false;
    }
    return true;
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

}  // namespace testaudio
