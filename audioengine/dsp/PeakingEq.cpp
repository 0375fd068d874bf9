#include "PeakingEq.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "DenormalGuard.h"

namespace ae::dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The bandwidth term grows without bound as the centre nears half the rate (sinh of
// w0 / sin(w0)). Past this value the filter is a flat gain except in slivers at DC
// and at half the rate, so capping it changes nothing audible, and it keeps the
// poles far enough inside the unit circle for float arithmetic (and out of inf/NaN).
constexpr double kMaxAlpha = 1000.0;

bool Finite(float v) { return std::isfinite(v); }

// Rounds to float; adding +0 turns -0 into +0 so that a coefficient plus a zero step
// is always bit-identical to itself.
float ToFloat(double v) { return static_cast<float>(v) + 0.0f; }

void ToFloats(const BiquadCoefs& c, float* out) {
    out[0] = ToFloat(c.b0);
    out[1] = ToFloat(c.b1);
    out[2] = ToFloat(c.b2);
    out[3] = ToFloat(c.a1);
    out[4] = ToFloat(c.a2);
}

}  // namespace

bool ValidPeakingParams(const PeakingParams& p, double sampleRate) {
    if (!Finite(p.centerHz) || !Finite(p.bandwidthSemitones) || !Finite(p.gainDb)) return false;
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0) return false;
    if (p.centerHz < 80.0f || p.centerHz > 16000.0f) return false;
    if (static_cast<double>(p.centerHz) >= sampleRate / 2.0) return false;
    if (p.bandwidthSemitones < 1.0f || p.bandwidthSemitones > 36.0f) return false;
    return p.gainDb >= -15.0f && p.gainDb <= 15.0f;
}

BiquadCoefs PeakingCoefs(const PeakingParams& p, double sampleRate) {
    // Out-of-range input is pulled into a range where the formulas hold, so that the
    // result is always a stable filter.
    const double fs = (std::isfinite(sampleRate) && sampleRate > 0.0) ? sampleRate : 44100.0;
    const double center = Finite(p.centerHz) ? p.centerHz : kNeutralParams.centerHz;
    const double semitones =
        Finite(p.bandwidthSemitones) ? p.bandwidthSemitones : kNeutralParams.bandwidthSemitones;
    const double gainDb = Finite(p.gainDb) ? std::clamp<double>(p.gainDb, -60.0, 60.0) : 0.0;

    const double w0 = std::clamp(2.0 * kPi * center / fs, 1e-6, kPi - 1e-6);
    const double octaves = std::clamp(semitones / 12.0, 1e-3, 12.0);
    const double A = std::pow(10.0, gainDb / 40.0);
    const double sinW0 = std::sin(w0);
    const double cosW0 = std::cos(w0);
    double alpha = sinW0 * std::sinh(std::log(2.0) / 2.0 * octaves * w0 / sinW0);
    if (!(alpha <= kMaxAlpha)) alpha = kMaxAlpha;  // also catches inf and NaN

    const double a0 = 1.0 + alpha / A;
    BiquadCoefs c;
    c.b0 = (1.0 + alpha * A) / a0;
    c.b1 = -2.0 * cosW0 / a0;
    c.b2 = (1.0 - alpha * A) / a0;
    c.a1 = -2.0 * cosW0 / a0;
    c.a2 = (1.0 - alpha / A) / a0;
    return c;
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
    ToFloats(PeakingCoefs(params, sampleRate_), target_);
    std::memcpy(cur_, target_, sizeof cur_);
    std::fill(std::begin(step_), std::end(step_), 0.0f);
    rampLeft_ = 0;
    Reset();
}

void PeakingEq::SetParams(const PeakingParams& params) {
    if (params == params_) return;
    params_ = params;
    ToFloats(PeakingCoefs(params, sampleRate_), target_);
    const float frames = static_cast<float>(rampFrames_);
    for (int i = 0; i < 5; ++i) step_[i] = (target_[i] - cur_[i]) / frames + 0.0f;
    rampLeft_ = rampFrames_;
}

void PeakingEq::Process(float* interleaved, size_t frames) {
    PeakingEq* self = this;
    ProcessCascade(&self, 1, interleaved, frames);
}

void PeakingEq::Reset() {
    std::fill(std::begin(x1_), std::end(x1_), 0.0f);
    std::fill(std::begin(x2_), std::end(x2_), 0.0f);
    std::fill(std::begin(y1_), std::end(y1_), 0.0f);
    std::fill(std::begin(y2_), std::end(y2_), 0.0f);
    std::memcpy(cur_, target_, sizeof cur_);
    std::fill(std::begin(step_), std::end(step_), 0.0f);
    rampLeft_ = 0;
}

bool PeakingEq::stateIsZero() const {
    for (int ch = 0; ch < kMaxChannels; ++ch) {
        if (x1_[ch] != 0.0f || x2_[ch] != 0.0f || y1_[ch] != 0.0f || y2_[ch] != 0.0f) {
            return false;
        }
    }
    return true;
}

// ---- The sample loop ---------------------------------------------------------
//
// Each frame goes through every band before the next frame is read, with up to four
// channels in one 4-lane vector (two vectors for 5..8 channels). The bands' data is
// copied into a contiguous local table for the loop and written back afterwards.
// Per band and frame, Direct Form I:
//   y = b0 x + ((b1 x1 - a1 y1) + (b2 x2 - a2 y2))
// grouped so that with b == a (0 dB) and a history where x == y each bracket is
// exactly 0 and the band is an exact identity.

namespace {

typedef float V4 __attribute__((vector_size(16)));

constexpr int kGroup = 32;  // bands per pass of the loop

struct alignas(16) LoopBand {
    V4 c[5];  // b0 b1 b2 a1 a2, broadcast
    V4 d[5];  // their steps per frame while gliding (0 otherwise)
    V4 x1[2], x2[2], y1[2], y2[2];
};

V4 Broadcast(float v) { return V4{v, v, v, v}; }

template <int C>
inline V4 LoadLanes(const float* frame, int base) {
    V4 v = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int lane = 0; lane < 4; ++lane) {
        if (base + lane < C) v[lane] = frame[base + lane];
    }
    return v;
}

template <int C>
inline void StoreLanes(float* frame, int base, V4 v) {
    for (int lane = 0; lane < 4; ++lane) {
        if (base + lane < C) frame[base + lane] = v[lane];
    }
}

template <int C, bool Gliding>
void RunBands(LoopBand* bands, int count, float* io, size_t frames) {
    constexpr int kVectors = (C + 3) / 4;
    for (size_t f = 0; f < frames; ++f, io += C) {
        V4 x[kVectors];
        for (int v = 0; v < kVectors; ++v) x[v] = LoadLanes<C>(io, 4 * v);
        for (int b = 0; b < count; ++b) {
            LoopBand& k = bands[b];
            if (Gliding) {
                for (int i = 0; i < 5; ++i) k.c[i] += k.d[i];
            }
            for (int v = 0; v < kVectors; ++v) {
                const V4 rest =
                    (k.c[1] * k.x1[v] - k.c[3] * k.y1[v]) + (k.c[2] * k.x2[v] - k.c[4] * k.y2[v]);
                const V4 y = k.c[0] * x[v] + rest;
                k.x2[v] = k.x1[v];
                k.x1[v] = x[v];
                k.y2[v] = k.y1[v];
                k.y1[v] = y;
                x[v] = y;
            }
        }
        for (int v = 0; v < kVectors; ++v) StoreLanes<C>(io, 4 * v, x[v]);
    }
}

template <bool Gliding>
void Run(int channels, LoopBand* bands, int count, float* io, size_t frames) {
    switch (channels) {
        case 1:
            return RunBands<1, Gliding>(bands, count, io, frames);
        case 2:
            return RunBands<2, Gliding>(bands, count, io, frames);
        case 3:
            return RunBands<3, Gliding>(bands, count, io, frames);
        case 4:
            return RunBands<4, Gliding>(bands, count, io, frames);
        case 5:
            return RunBands<5, Gliding>(bands, count, io, frames);
        case 6:
            return RunBands<6, Gliding>(bands, count, io, frames);
        case 7:
            return RunBands<7, Gliding>(bands, count, io, frames);
        default:
            return RunBands<8, Gliding>(bands, count, io, frames);
    }
}

V4 LoadHistory(const float* h, int base) {
    return V4{h[base], h[base + 1], h[base + 2], h[base + 3]};
}

void StoreHistory(float* h, int base, V4 v) {
    for (int lane = 0; lane < 4; ++lane) h[base + lane] = v[lane];
}

bool AllFinite(const float* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

}  // namespace

void ProcessCascade(PeakingEq* const* bands, int count, float* interleaved, size_t frames) {
    if (count <= 0 || frames == 0 || interleaved == nullptr) return;
    const int channels = bands[0]->channels_;
    DenormalGuard flushDenormals;

    // More than kGroup bands are run a group at a time over the whole block: the same
    // result, since each band sees exactly the same input either way.
    for (int first = 0; first < count; first += kGroup) {
        const int n = std::min(kGroup, count - first);
        PeakingEq* const* group = bands + first;

        LoopBand loop[kGroup];
        for (int b = 0; b < n; ++b) {
            const PeakingEq& e = *group[b];
            for (int i = 0; i < 5; ++i) {
                loop[b].c[i] = Broadcast(e.cur_[i]);
                loop[b].d[i] = Broadcast(e.rampLeft_ > 0 ? e.step_[i] : 0.0f);
            }
            for (int v = 0; v < 2; ++v) {
                loop[b].x1[v] = LoadHistory(e.x1_, 4 * v);
                loop[b].x2[v] = LoadHistory(e.x2_, 4 * v);
                loop[b].y1[v] = LoadHistory(e.y1_, 4 * v);
                loop[b].y2[v] = LoadHistory(e.y2_, 4 * v);
            }
        }

        // Split the block where glides end, so the plain loop (no coefficient
        // updates) runs whenever no band is gliding. Segment ends depend only on
        // frame counts, never on the caller's block size.
        float* io = interleaved;
        size_t left = frames;
        while (left > 0) {
            size_t segment = left;
            bool gliding = false;
            for (int b = 0; b < n; ++b) {
                if (group[b]->rampLeft_ > 0) {
                    gliding = true;
                    segment = std::min<size_t>(segment, static_cast<size_t>(group[b]->rampLeft_));
                }
            }
            if (gliding) {
                Run<true>(channels, loop, n, io, segment);
            } else {
                Run<false>(channels, loop, n, io, segment);
            }
            for (int b = 0; b < n; ++b) {
                PeakingEq& e = *group[b];
                if (e.rampLeft_ <= 0) continue;
                e.rampLeft_ -= static_cast<int64_t>(segment);
                if (e.rampLeft_ == 0) {  // the glide ends exactly on its target
                    for (int i = 0; i < 5; ++i) {
                        e.step_[i] = 0.0f;
                        loop[b].c[i] = Broadcast(e.target_[i]);
                        loop[b].d[i] = Broadcast(0.0f);
                    }
                }
            }
            io += segment * static_cast<size_t>(channels);
            left -= segment;
        }

        for (int b = 0; b < n; ++b) {
            PeakingEq& e = *group[b];
            for (int i = 0; i < 5; ++i) e.cur_[i] = loop[b].c[i][0];
            for (int v = 0; v < 2; ++v) {
                StoreHistory(e.x1_, 4 * v, loop[b].x1[v]);
                StoreHistory(e.x2_, 4 * v, loop[b].x2[v]);
                StoreHistory(e.y1_, 4 * v, loop[b].y1[v]);
                StoreHistory(e.y2_, 4 * v, loop[b].y2[v]);
            }
            // A NaN or infinity that came in with the samples would stay in the
            // history forever and silence the stream for good: start that band's
            // history afresh instead.
            if (!AllFinite(e.x1_, kMaxChannels) || !AllFinite(e.x2_, kMaxChannels) ||
                !AllFinite(e.y1_, kMaxChannels) || !AllFinite(e.y2_, kMaxChannels)) {
                std::fill(std::begin(e.x1_), std::end(e.x1_), 0.0f);
                std::fill(std::begin(e.x2_), std::end(e.x2_), 0.0f);
                std::fill(std::begin(e.y1_), std::end(e.y1_), 0.0f);
                std::fill(std::begin(e.y2_), std::end(e.y2_), 0.0f);
            }
        }
    }
}

}  // namespace ae::dsp
