// SPDX-License-Identifier: MIT
#include "tests/audioengine/decode/DecodeTestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace decodetest {

std::vector<float> TestSignal(int rate, int channels, int64_t frames) {
    std::vector<float> out(static_cast<size_t>(frames * channels));
    for (int64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        for (int c = 0; c < channels; ++c) {
            const double v = 0.35 * std::sin(2 * M_PI * 997.0 * t + 0.7 * c) +
                             0.2 * std::sin(2 * M_PI * 331.0 * t + 1.3 * c);
            out[static_cast<size_t>(i * channels + c)] = static_cast<float>(v);
        }
    }
    return out;
}

int RateFor(testaudio::Format format) { return testaudio::NativeRate(format); }

std::vector<float> WriteTestFile(const std::string& path, testaudio::Format format, int channels,
                                 int64_t frames) {
    std::vector<float> signal = TestSignal(RateFor(format), channels, frames);
    if (!testaudio::Write(path, format, RateFor(format), channels, signal)) signal.clear();
    return signal;
}

std::vector<float> DecodeRest(ae::Decoder& decoder, int64_t chunk) {
    const int channels = decoder.info().channels;
    std::vector<float> out;
    std::vector<float> block(static_cast<size_t>(chunk * channels));
    for (;;) {
        const int64_t n = decoder.Read(block.data(), chunk);
        if (n <= 0) break;
        out.insert(out.end(), block.begin(), block.begin() + n * channels);
    }
    return out;
}

int BestLag(const std::vector<float>& source, const std::vector<float>& decoded, int channels,
            int max_lag) {
    const int64_t frames = static_cast<int64_t>(std::min(source.size(), decoded.size())) / channels;
    const int64_t begin = frames / 4, end = frames * 3 / 4;
    int best = 0;
    double best_error = HUGE_VAL;
    for (int lag = -max_lag; lag <= max_lag; ++lag) {
        double error = 0;
        for (int64_t i = begin; i < end; ++i) {
            const double d = decoded[static_cast<size_t>((i + lag) * channels)] -
                             source[static_cast<size_t>(i * channels)];
            error += d * d;
        }
        if (error < best_error) {
            best_error = error;
            best = lag;
        }
    }
    return best;
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

CapturedOutput::CapturedOutput() {
    char path[] = "/tmp/decode-output.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return;
    path_ = path;
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        saved_[i] = dup(i + 1);
        dup2(fd, i + 1);
    }
    close(fd);
}

std::string CapturedOutput::Finish() {
    if (path_.empty()) return "(output could not be captured)";
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        if (saved_[i] < 0) continue;
        dup2(saved_[i], i + 1);
        close(saved_[i]);
        saved_[i] = -1;
    }
    const std::vector<unsigned char> bytes = ReadBytes(path_);
    unlink(path_.c_str());
    path_.clear();
    return std::string(bytes.begin(), bytes.end());
}

CapturedOutput::~CapturedOutput() { Finish(); }

bool RunQuietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace decodetest
