// SPDX-License-Identifier: MIT
#include "audioengine/dsp/PeakingEq.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "audioengine/dsp/DenormalGuard.h"

namespace ae::dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The damping term 2 sinh(ln2/2 x octaves x w0/sin(w0)) / A grows without bound as
// the centre nears half the rate (the cookbook's formula overflows to infinity
// there). Past this value the band is a flat gain everywhere but in slivers below
// a hertz, so it is capped: the filter stays finite and stable.
constexpr double kMaxDamping = 1e6;

enum Coef { kA1, kA2, kA3, kM1, kCoefCount };

// The state-variable form of the cookbook peakingEQ: g = tan(w0/2) prewarps the
// centre, k = 1 / (Q A) damps, m1 = k (A^2 - 1) mixes the band-pass back in; with
// 1/Q = 2 sinh(ln2/2 x octaves x w0/sin(w0)) this is the cookbook's bandwidth form.
// Out-of-range input is pulled into a range where the formulas hold, so that the
// result is always a stable filter.
void Design(const PeakingParams& p, double fs, float* out) {
    const auto finite = [](float v) { return std::isfinite(v); };
    const double center = finite(p.centerHz) ? p.centerHz : kNeutralParams.centerHz;
    const double semitones =
        finite(p.bandwidthSemitones) ? p.bandwidthSemitones : kNeutralParams.bandwidthSemitones;
    const double gainDb = finite(p.gainDb) ? std::clamp<double>(p.gainDb, -60.0, 60.0) : 0.0;

    const double w0 = std::clamp(2.0 * kPi * center / fs, 1e-6, kPi - 1e-6);
    const double octaves = std::clamp(semitones / 12.0, 1e-3, 12.0);
    const double A = std::pow(10.0, gainDb / 40.0);
    const double spread = std::log(2.0) / 2.0 * octaves * w0 / std::sin(w0);
    const double k =
        spread < 30.0 ? std::min(2.0 * std::sinh(spread) / A, kMaxDamping) : kMaxDamping;
    const double g = std::tan(w0 / 2.0);
    const double a1 = 1.0 / (1.0 + g * (g + k));
    // Adding +0 turns -0 into +0, so that a coefficient plus a zero step is always
    // bit-identical to itself.
    out[kA1] = static_cast<float>(a1) + 0.0f;
    out[kA2] = static_cast<float>(g * a1) + 0.0f;
    out[kA3] = static_cast<float>(g * g * a1) + 0.0f;
    out[kM1] = static_cast<float>(k * (A * A - 1.0)) + 0.0f;  // exactly 0 at 0 dB
}

}  // namespace

bool ValidPeakingParams(const PeakingParams& p, double sampleRate) {
    if (!std::isfinite(p.centerHz) || !std::isfinite(p.bandwidthSemitones) ||
        !std::isfinite(p.gainDb)) {
        return false;
    }
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0) return false;
    if (p.centerHz < 80.0f || p.centerHz > 16000.0f) return false;
    if (static_cast<double>(p.centerHz) >= sampleRate / 2.0) return false;
    if (p.bandwidthSemitones < 1.0f || p.bandwidthSemitones > 36.0f) return false;
    return p.gainDb >= -15.0f && p.gainDb <= 15.0f;
}

PeakingEq::PeakingEq() { Configure(44100.0, 1); }

PeakingEq::PeakingEq(double sampleRate, int channels, const PeakingParams& params) {
    Configure(sampleRate, channels, params);
}

void PeakingEq::Configure(double sampleRate, int channels, const PeakingParams& params) {
    sampleRate_ = (std::isfinite(sampleRate) && sampleRate > 0.0) ? sampleRate : 44100.0;
    channels_ = std::clamp(channels, 1, kMaxChannels);
    rampFrames_ = std::max<int64_t>(1, std::llround(std::min(sampleRate_, 1e7) * kRampSeconds));
    params_ = params;
    Design(params, sampleRate_, target_);
    Reset();
}

void PeakingEq::SetParams(const PeakingParams& params) {
    if (params == params_) return;
    params_ = params;
    Design(params, sampleRate_, target_);
    const float frames = static_cast<float>(rampFrames_);
    for (int i = 0; i < kCoefCount; ++i) step_[i] = (target_[i] - cur_[i]) / frames + 0.0f;
    rampLeft_ = rampFrames_;
}

void PeakingEq::Process(float* interleaved, size_t frames) {
    PeakingEq* self = this;
    ProcessCascade(&self, 1, interleaved, frames);
}

void PeakingEq::Reset() {
    std::fill(std::begin(ic1_), std::end(ic1_), 0.0f);
    std::fill(std::begin(ic2_), std::end(ic2_), 0.0f);
    std::memcpy(cur_, target_, sizeof cur_);
    std::fill(std::begin(step_), std::end(step_), 0.0f);
    rampLeft_ = 0;
}

bool PeakingEq::stateIsZero() const {
    for (int ch = 0; ch < kMaxChannels; ++ch) {
        if (ic1_[ch] != 0.0f || ic2_[ch] != 0.0f) return false;
    }
    return true;
}

// ---- The sample loop ---------------------------------------------------------
//
// A cascade is a chain of recursions: each band waits for the previous band's
// output and for its own previous frame, and run frame by frame it leaves the CPU
// idle most of the time. So the bands run as a pipeline: at step t, band b filters
// frame t - b, taking the output band b-1 produced at step t-1. Every band of a step
// is independent of the others, which lets one 4-lane vector carry several
// (band, channel) pairs: four bands of mono, two of stereo, one of 3-4 channels, or
// half a band of 5-8 channels. The first steps of a block (bands not yet reached by
// frame 0) and the last (bands done with the last frame) run with a lane mask, so a
// block leaves no frame inside the pipeline: each call is exactly the bands run one
// after the other. The band count is padded to fill the last vector with identity
// bands (m1 = 0).
//
// Per lane, the trapezoidal state-variable filter:
//   v3 = x - ic2;  v1 = a1 ic1 + a2 v3;  v2 = ic2 + a2 ic1 + a3 v3;
//   ic1 = 2 v1 - ic1;  ic2 = 2 v2 - ic2;  y = x + m1 v1.

namespace {

typedef float V4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

constexpr int kGroup = 32;                         // bands per pass
constexpr int kMaxVectors = (kGroup + 4) * 8 / 4;  // padded bands x lanes / 4

struct alignas(16) Lane {
    V4 c[kCoefCount];  // coefficients, per lane
    V4 d[kCoefCount];  // their steps per frame while gliding (0 otherwise)
    V4 ic1, ic2;       // integrator states
    V4 y;              // output of the previous step
};

// Lanes per band: the channel count rounded up to 1, 2, 4 or 8.
constexpr int LanesPerBand(int channels) {
    return channels == 1 ? 1 : channels == 2 ? 2 : channels <= 4 ? 4 : 8;
}

inline V4 Select(I4 mask, V4 a, V4 b) {
    return reinterpret_cast<V4>((reinterpret_cast<I4>(a) & mask) |
                                (reinterpret_cast<I4>(b) & ~mask));
}

// Once the signal stops, the states decay towards zero until their updates fall
// below the smallest float and are flushed: ic1 then flips sign at that level and
// ic2 stops moving, for ever. States this small (-600 dB) are set to zero instead.
inline V4 Flush(V4 v) {
    constexpr float kTiny = 1e-30f;
    const V4 magnitude = reinterpret_cast<V4>(reinterpret_cast<I4>(v) & 0x7fffffff);
    return reinterpret_cast<V4>(reinterpret_cast<I4>(v) & (magnitude >= kTiny));
}

// The input of vector v at this step: the previous step's outputs moved up by one
// band, with frame `in` (null past the block's end) entering the first band.
template <int C>
inline V4 StepInput(const Lane* lanes, int v, const float* in) {
    constexpr int W = LanesPerBand(C);
    if constexpr (W == 1) {
        if (v > 0) return __builtin_shufflevector(lanes[v - 1].y, lanes[v].y, 3, 4, 5, 6);
        const V4 frame = {in ? in[0] : 0.0f, 0.0f, 0.0f, 0.0f};
        return __builtin_shufflevector(frame, lanes[0].y, 0, 4, 5, 6);
    } else if constexpr (W == 2) {
        if (v > 0) return __builtin_shufflevector(lanes[v - 1].y, lanes[v].y, 2, 3, 4, 5);
        const V4 frame = {in ? in[0] : 0.0f, in ? in[1] : 0.0f, 0.0f, 0.0f};
        return __builtin_shufflevector(frame, lanes[0].y, 0, 1, 4, 5);
    } else {
        constexpr int kVectorsPerBand = W / 4;
        if (v >= kVectorsPerBand) return lanes[v - kVectorsPerBand].y;
        V4 frame = {0.0f, 0.0f, 0.0f, 0.0f};
        if (in) {
            for (int lane = 0; lane < 4; ++lane) {
                if (4 * v + lane < C) frame[lane] = in[4 * v + lane];
            }
        }
        return frame;
    }
}

// Writes the last band's output (lanes at the top of the last vectors).
template <int C>
inline void StoreOutput(const Lane* lanes, int vectors, float* out) {
    constexpr int W = LanesPerBand(C);
    if constexpr (W <= 4) {
        const V4 y = lanes[vectors - 1].y;
        for (int ch = 0; ch < C; ++ch) out[ch] = y[4 - W + ch];
    } else {
        for (int ch = 0; ch < C; ++ch) out[ch] = lanes[vectors - 2 + ch / 4].y[ch % 4];
    }
}

// Runs steps [first, last) of the pipeline over the block at `io` of `frames`
// frames. Masked steps (at the block's edges) need `masks`, one per vector.
template <int C, bool Gliding, bool Masked>
void RunSteps(Lane* lanes, int vectors, int paddedBands, float* io, size_t frames, size_t first,
              size_t last, const I4* masks) {
    for (size_t t = first; t < last; ++t) {
        const float* in = t < frames ? io + t * C : nullptr;
        // From the last vector down, so each vector still sees the outputs of the
        // previous step below it.
        for (int v = vectors - 1; v >= 0; --v) {
            Lane& k = lanes[v];
            const V4 x = StepInput<C>(lanes, v, in);
            V4 c[kCoefCount];
            for (int i = 0; i < kCoefCount; ++i) {
                c[i] = k.c[i];
                if constexpr (Gliding) {
                    c[i] = Masked ? Select(masks[v], c[i] + k.d[i], c[i]) : c[i] + k.d[i];
                    k.c[i] = c[i];
                }
            }
            const V4 v3 = x - k.ic2;
            const V4 v1 = c[kA1] * k.ic1 + c[kA2] * v3;
            const V4 v2 = (k.ic2 + c[kA2] * k.ic1) + c[kA3] * v3;
            const V4 ic1 = Flush((v1 + v1) - k.ic1);
            const V4 ic2 = Flush((v2 + v2) - k.ic2);
            k.y = x + c[kM1] * v1;
            if constexpr (Masked) {
                k.ic1 = Select(masks[v], ic1, k.ic1);
                k.ic2 = Select(masks[v], ic2, k.ic2);
            } else {
                k.ic1 = ic1;
                k.ic2 = ic2;
            }
        }
        const size_t done = static_cast<size_t>(paddedBands - 1);
        if (t >= done) StoreOutput<C>(lanes, vectors, io + (t - done) * C);
    }
}

// Lane masks for step t: a band is active while it has a frame of the block to
// filter, 0 <= t - band < frames.
template <int C>
void StepMasks(int vectors, size_t t, size_t frames, I4* masks) {
    constexpr int W = LanesPerBand(C);
    for (int v = 0; v < vectors; ++v) {
        for (int lane = 0; lane < 4; ++lane) {
            const size_t band =
                W <= 4 ? static_cast<size_t>((4 * v + lane) / W) : static_cast<size_t>(v / (W / 4));
            masks[v][lane] = (t >= band && t - band < frames) ? -1 : 0;
        }
    }
}

// A band's data as the pipeline reads and writes it.
struct BandRef {
    float* cur;
    float* step;
    const float* target;
    float* ic1;
    float* ic2;
    int64_t* rampLeft;
};

template <int C>
void SetBandCoefs(Lane* lanes, int band, const float* cur, const float* step) {
    constexpr int W = LanesPerBand(C);
    for (int lane = 0; lane < W; ++lane) {
        Lane& k = lanes[(band * W + lane) / 4];
        const int l = (band * W + lane) % 4;
        for (int i = 0; i < kCoefCount; ++i) {
            k.c[i][l] = cur[i];
            k.d[i][l] = step[i];
        }
    }
}

template <int C>
void SetBandState(Lane* lanes, int band, const float* ic1, const float* ic2) {
    constexpr int W = LanesPerBand(C);
    for (int lane = 0; lane < W; ++lane) {
        Lane& k = lanes[(band * W + lane) / 4];
        const int l = (band * W + lane) % 4;
        k.ic1[l] = lane < C ? ic1[lane] : 0.0f;
        k.ic2[l] = lane < C ? ic2[lane] : 0.0f;
    }
}

template <int C>
void GetBand(const Lane* lanes, int band, float* cur, float* ic1, float* ic2) {
    constexpr int W = LanesPerBand(C);
    const Lane& first = lanes[(band * W) / 4];
    for (int i = 0; i < kCoefCount; ++i) cur[i] = first.c[i][(band * W) % 4];
    for (int ch = 0; ch < C; ++ch) {
        const Lane& k = lanes[(band * W + ch) / 4];
        ic1[ch] = k.ic1[(band * W + ch) % 4];
        ic2[ch] = k.ic2[(band * W + ch) % 4];
    }
}

bool AllFinite(const float* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

template <int C>
void RunBlock(const BandRef* bands, int count, float* io, size_t frames) {
    constexpr int W = LanesPerBand(C);
    constexpr int kBandsPerVector = W <= 4 ? 4 / W : 1;
    const int padded = (count + kBandsPerVector - 1) / kBandsPerVector * kBandsPerVector;
    const int vectors = padded * W / 4;

    Lane lanes[kMaxVectors];
    std::memset(static_cast<void*>(lanes), 0, sizeof(Lane) * static_cast<size_t>(vectors));
    constexpr float kIdentity[kCoefCount] = {1.0f, 0.0f, 0.0f, 0.0f};
    constexpr float kNoStep[kCoefCount] = {0.0f, 0.0f, 0.0f, 0.0f};
    // Step at which each gliding band filters its last frame of glide (-1: none in
    // this block).
    int64_t glideEnd[kGroup];
    bool gliding = false;
    for (int b = 0; b < padded; ++b) {
        if (b >= count) {
            SetBandCoefs<C>(lanes, b, kIdentity, kNoStep);
            continue;
        }
        const BandRef& e = bands[b];
        const int64_t left = *e.rampLeft;
        SetBandCoefs<C>(lanes, b, e.cur, left > 0 ? e.step : kNoStep);
        SetBandState<C>(lanes, b, e.ic1, e.ic2);
        gliding = gliding || left > 0;
        glideEnd[b] = (left > 0 && static_cast<uint64_t>(left) <= frames) ? b + left - 1 : -1;
    }

    const size_t steps = frames + static_cast<size_t>(padded) - 1;
    const size_t fullFrom = static_cast<size_t>(padded) - 1;  // every band active from here
    I4 masks[kMaxVectors];
    for (size_t t = 0; t < steps;) {
        size_t end;
        if (t < fullFrom || t >= frames) {
            end = t + 1;
            StepMasks<C>(vectors, t, frames, masks);
            if (gliding) {
                RunSteps<C, true, true>(lanes, vectors, padded, io, frames, t, end, masks);
            } else {
                RunSteps<C, false, true>(lanes, vectors, padded, io, frames, t, end, masks);
            }
        } else {
            end = frames;
            for (int b = 0; b < count; ++b) {
                if (glideEnd[b] >= static_cast<int64_t>(t)) {
                    end = std::min(end, static_cast<size_t>(glideEnd[b]) + 1);
                }
            }
            if (gliding) {
                RunSteps<C, true, false>(lanes, vectors, padded, io, frames, t, end, nullptr);
            } else {
                RunSteps<C, false, false>(lanes, vectors, padded, io, frames, t, end, nullptr);
            }
        }
        // A glide that ended at the last step lands exactly on its target.
        for (int b = 0; b < count; ++b) {
            if (glideEnd[b] == static_cast<int64_t>(end) - 1) {
                SetBandCoefs<C>(lanes, b, bands[b].target, kNoStep);
                *bands[b].rampLeft = 0;
                std::fill(bands[b].step, bands[b].step + kCoefCount, 0.0f);
                glideEnd[b] = -1;
            }
        }
        gliding = false;
        for (int b = 0; b < count; ++b) gliding = gliding || *bands[b].rampLeft > 0;
        t = end;
    }

    for (int b = 0; b < count; ++b) {
        const BandRef& e = bands[b];
        GetBand<C>(lanes, b, e.cur, e.ic1, e.ic2);
        if (*e.rampLeft > 0) *e.rampLeft -= static_cast<int64_t>(frames);
        // A NaN or infinity that came in with the samples would stay in the state
        // forever and silence the stream for good: start that band afresh instead.
        if (!AllFinite(e.ic1, C) || !AllFinite(e.ic2, C)) {
            std::fill(e.ic1, e.ic1 + kMaxChannels, 0.0f);
            std::fill(e.ic2, e.ic2 + kMaxChannels, 0.0f);
        }
    }
}

}  // namespace

void ProcessCascade(PeakingEq* const* bands, int count, float* interleaved, size_t frames) {
    if (bands == nullptr || count <= 0 || frames == 0 || interleaved == nullptr) return;
    const int channels = bands[0]->channels_;
    DenormalGuard flushDenormals;
    // More than kGroup bands run a group at a time over the whole block: the same
    // result, since each band sees exactly the same input either way.
    for (int first = 0; first < count; first += kGroup) {
        const int n = std::min(kGroup, count - first);
        BandRef refs[kGroup];
        for (int b = 0; b < n; ++b) {
            PeakingEq& e = *bands[first + b];
            refs[b] = {e.cur_, e.step_, e.target_, e.ic1_, e.ic2_, &e.rampLeft_};
        }
        switch (channels) {
            case 1:
                RunBlock<1>(refs, n, interleaved, frames);
                break;
            case 2:
                RunBlock<2>(refs, n, interleaved, frames);
                break;
            case 3:
                RunBlock<3>(refs, n, interleaved, frames);
                break;
            case 4:
                RunBlock<4>(refs, n, interleaved, frames);
                break;
            case 5:
                RunBlock<5>(refs, n, interleaved, frames);
                break;
            case 6:
                RunBlock<6>(refs, n, interleaved, frames);
                break;
            case 7:
                RunBlock<7>(refs, n, interleaved, frames);
                break;
            default:
                RunBlock<8>(refs, n, interleaved, frames);
                break;
        }
    }
}

}  // namespace ae::dsp
