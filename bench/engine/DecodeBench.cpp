// SPDX-License-Identifier: MIT
// The engine's decoders and effect chain on their own, in a process that loads
// nothing else, so that it can be timed whole beside a peer's process.
//
//   decode_bench pcm FILE   FILE decoded and written to stdout as 16-bit interleaved PCM
//                           (the engine's byte format), as a peer writes raw PCM
//   decode_bench eq FILE    FILE decoded and run through the plug-in's ten bands
//                           (3 octaves wide, +6/-6 dB) in the decode thread's blocks
//   decode_bench open FILE  wall time of opening FILE (the length known exactly), the
//                           median of fresh opens, the file in the page cache; and
//                           the length found, in seconds
//   decode_bench seek FILE [MS]
//                           wall time of a seek to a few targets (100 frames before
//                           the end, the middle, one second in), each the median of
//                           fresh decoders' first seek, the file in the page cache;
//                           with MS, every read that is not where the last one ended
//                           first waits MS milliseconds (a disk or share seeking)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "audioengine/decode/Decoder.h"
#include "audioengine/dsp/EqChain.h"
#ifdef HAVE_READ_SHIM
#include "tests/support/ReadShim.h"
#endif

namespace {

// The plug-in's ten band centres, in Hz.
constexpr float kBandCentres[10] = {80, 170, 310, 600, 1000, 3000, 6000, 12000, 14000, 16000};
// The frames a stream's decode thread reads at once at 44.1 kHz.
constexpr int64_t kDecodeBlock = 1024;

std::unique_ptr<ae::Decoder> Open(const char* path) {
    ae::Result<std::unique_ptr<ae::Decoder>> decoder = ae::OpenDecoder(path);
    if (!decoder.ok()) std::fprintf(stderr, "cannot decode %s: error %d\n", path, decoder.code());
    return std::move(decoder).value();
}

bool Complete(const ae::Decoder& decoder, int64_t frames) {
    if (frames == decoder.info().frames) return true;
    std::fprintf(stderr, "decoded %lld of %lld frames\n", static_cast<long long>(frames),
                 static_cast<long long>(decoder.info().frames));
    return false;
}

// Rounds to the nearest 16-bit value, clamped to full scale. Eight samples a step
// with SSE2 (round to nearest, saturating pack), the rest one by one.
void ToPcm16(const float* in, size_t samples, int16_t* out) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128 scale = _mm_set1_ps(32768.0f);
    for (; i + 8 <= samples; i += 8) {
        const __m128i low = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(in + i), scale));
        const __m128i high = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(in + i + 4), scale));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(low, high));
    }
#endif
    for (; i < samples; ++i) {
        const float x = std::clamp(in[i] * 32768.0f, -32768.0f, 32767.0f);
        out[i] = static_cast<int16_t>(std::lrint(x));
    }
}

int Pcm(const char* path) {
    const std::unique_ptr<ae::Decoder> decoder = Open(path);
    if (!decoder) return 1;
    const int channels = decoder->info().channels;
    std::vector<float> block(static_cast<size_t>(kDecodeBlock * channels));
    std::vector<int16_t> pcm(block.size());
    int64_t total = 0;
    for (;;) {
        const int64_t got = decoder->Read(block.data(), kDecodeBlock);
        if (got <= 0) break;
        const size_t samples = static_cast<size_t>(got * channels);
        ToPcm16(block.data(), samples, pcm.data());
        if (std::fwrite(pcm.data(), sizeof(int16_t), samples, stdout) != samples) return 1;
        total += got;
    }
    return Complete(*decoder, total) ? 0 : 1;
}

int Equalise(const char* path) {
    const std::unique_ptr<ae::Decoder> decoder = Open(path);
    if (!decoder) return 1;
    const ae::DecoderInfo& info = decoder->info();
    ae::dsp::EqChain chain(info.rate, info.channels);
    for (int band = 0; band < 10; ++band) {
        const int slot = chain.AddBand(10 - band);  // the first band runs first
        const ae::dsp::PeakingParams params{kBandCentres[band], 36.0f, band % 2 ? -6.0f : 6.0f};
        if (slot < 0 || !chain.SetParams(slot, params)) {
            std::fprintf(stderr, "band %d rejected\n", band);
            return 1;
        }
    }
    std::vector<float> block(static_cast<size_t>(kDecodeBlock * info.channels));
    double sum = 0.0;  // printed, so that the filtering cannot be optimised away
    int64_t total = 0;
    for (;;) {
        const int64_t got = decoder->Read(block.data(), kDecodeBlock);
        if (got <= 0) break;
        chain.Process(block.data(), static_cast<size_t>(got));
        sum += block[0];
        total += got;
    }
    std::printf("eq_frames %lld frames\neq_checksum %g\n", static_cast<long long>(total), sum);
    return Complete(*decoder, total) ? 0 : 1;
}

// Seeks from a freshly opened decoder, as a host's seek on a stream that has just
// been opened or has played elsewhere, then decodes one block there so that a
// decoder that defers its work cannot look fast.
int SeekTimes(const char* path, int seekDelayMs) {
    using Clock = std::chrono::steady_clock;
    const std::unique_ptr<ae::Decoder> probe = Open(path);
    if (!probe) return 1;
#ifdef HAVE_READ_SHIM
    readshim::WatchedFile file(path);
    file.SetSeekDelay(std::chrono::milliseconds(seekDelayMs));
#else
    if (seekDelayMs > 0) {
        std::fprintf(stderr, "built without the read shim: no seek delay\n");
        return 2;
    }
#endif
    const int64_t frames = probe->info().frames;
    const struct {
        const char* name;
        int64_t frame;
    } targets[] = {{"seek_end_minus_100", std::max<int64_t>(0, frames - 100)},
                   {"seek_middle", frames / 2},
                   {"seek_one_second", std::min<int64_t>(frames, probe->info().rate)}};
    std::vector<float> block(static_cast<size_t>(kDecodeBlock * probe->info().channels));
    constexpr int kRuns = 7;
    for (const auto& target : targets) {
        std::vector<double> times;
        for (int run = 0; run < kRuns; ++run) {
            const std::unique_ptr<ae::Decoder> decoder = Open(path);
            if (!decoder) return 1;
            const auto start = Clock::now();
            const bool sought = decoder->Seek(target.frame);
            const int64_t got = sought ? decoder->Read(block.data(), kDecodeBlock) : -1;
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            if (got != std::min(kDecodeBlock, frames - target.frame)) {
                std::fprintf(stderr, "%s: seek to %lld failed\n", target.name,
                             static_cast<long long>(target.frame));
                return 1;
            }
        }
        std::sort(times.begin(), times.end());
        std::printf("%s %.3f ms\n", target.name, times[kRuns / 2] * 1000.0);
    }
    return 0;
}

int OpenTime(const char* path) {
    using Clock = std::chrono::steady_clock;
    constexpr int kRuns = 9;
    std::vector<double> times;
    double seconds = 0;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        const std::unique_ptr<ae::Decoder> decoder = Open(path);
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (!decoder) return 1;
        seconds = static_cast<double>(decoder->info().frames) / decoder->info().rate;
    }
    std::sort(times.begin(), times.end());
    std::printf("open %.3f ms\nlength_s %.6f s\n", times[kRuns / 2] * 1000.0, seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "pcm" && argc == 3) return Pcm(argv[2]);
    if (mode == "eq" && argc == 3) return Equalise(argv[2]);
    if (mode == "open" && argc == 3) return OpenTime(argv[2]);
    if (mode == "seek" && (argc == 3 || argc == 4))
        return SeekTimes(argv[2], argc == 4 ? std::atoi(argv[3]) : 0);
    std::fprintf(stderr, "usage: decode_bench pcm FILE | eq FILE | open FILE | seek FILE [MS]\n");
    return 2;
}
