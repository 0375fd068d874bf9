// SPDX-License-Identifier: MIT
// One peaking equaliser band: the Audio EQ Cookbook peakingEQ with its bandwidth in
// octaves (prewarped form: the same transfer function as sox's `equalizer FREQ Wo
// GAIN` with W = semitones / 12). Coefficients are computed in double and samples
// processed in float. The filter runs as a trapezoidal state-variable filter, which
// realises exactly that transfer function but keeps float rounding noise about 40 dB
// lower than a direct-form biquad for low, narrow bands (a direct form loses the
// pole positions in float there), and gain 0 dB is an exact identity.
//
// A parameter change glides the coefficients linearly, sample by sample, over a fixed
// time (kRampSeconds) instead of jumping: the state is kept and nothing clicks. The
// output depends only on the samples and on the frame at which each change is made,
// never on how the signal is cut into blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ae::dsp {

// Up to this many interleaved channels per filter.
constexpr int kMaxChannels = 8;

// How long a parameter change glides, in seconds of the stream.
constexpr double kRampSeconds = 0.02;

// The record of a band, as the engine's effect API carries it.
struct PeakingParams {
    float centerHz = 8000.0f;          // Hz
    float bandwidthSemitones = 12.0f;  // semitones (12 = one octave)
    float gainDb = 0.0f;               // dB

    bool operator==(const PeakingParams& o) const {
        return centerHz == o.centerHz && bandwidthSemitones == o.bandwidthSemitones &&
               gainDb == o.gainDb;
    }
    bool operator!=(const PeakingParams& o) const { return !(*this == o); }
};

// A new band: 8000 Hz, one octave, 0 dB (neutral).
constexpr PeakingParams kNeutralParams{};

// The accepted ranges: centre 80..16000 Hz and below half of `sampleRate` (Hz),
// bandwidth 1..36 semitones, gain -15..15 dB, every value finite. Any thread.
bool ValidPeakingParams(const PeakingParams& params, double sampleRate);

// One band with its own state. Plain data: no allocation at all. Not thread-safe: one
// thread (the stream's decode thread) owns it; EqChain adds lock-free parameter
// updates from other threads.
class PeakingEq {
  public:
    // A neutral band for mono at 44100 Hz; call Configure() before use.
    PeakingEq();
    // `sampleRate` in Hz (> 0), `channels` 1..kMaxChannels (clamped), starting at
    // `params` at once, without a glide.
    PeakingEq(double sampleRate, int channels, const PeakingParams& params = kNeutralParams);

    // Re-initialises rate, channel count and parameters, and clears the state.
    void Configure(double sampleRate, int channels, const PeakingParams& params = kNeutralParams);

    // Starts a glide towards `params` from wherever the coefficients are now (even in
    // the middle of another glide); the state is kept. The same parameters as the
    // current target change nothing. Invalid parameters are not rejected here (see
    // ValidPeakingParams) but still give a stable filter.
    void SetParams(const PeakingParams& params);
    const PeakingParams& params() const { return params_; }

    // Filters `frames` interleaved frames of channels() floats in place.
    void Process(float* interleaved, size_t frames);

    // Silences the history of every channel and ends any glide at its target.
    void Reset();

    double sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    // True while a parameter change is still gliding.
    bool gliding() const { return rampLeft_ > 0; }
    // True when the band, as it stands, passes its input through exactly (0 dB, no
    // glide): its output is its input whatever its state.
    bool identity() const { return rampLeft_ == 0 && cur_[3] == 0.0f; }
    // True when every channel's history is exactly zero.
    bool stateIsZero() const;

  private:
    friend void ProcessCascade(PeakingEq* const* bands, int count, float* interleaved,
                               size_t frames);

    // Filter coefficients a1 a2 a3 m1, as floats (an identity: m1 = 0).
    float cur_[4] = {1, 0, 0, 0};     // in use now
    float step_[4] = {0, 0, 0, 0};    // added to cur_ every frame while gliding
    float target_[4] = {1, 0, 0, 0};  // where the glide ends, exactly
    // The two integrator states per channel.
    float ic1_[kMaxChannels] = {}, ic2_[kMaxChannels] = {};
    int64_t rampLeft_ = 0;    // frames of glide left
    int64_t rampFrames_ = 1;  // length of a glide in frames

    PeakingParams params_;
    double sampleRate_ = 44100.0;
    int channels_ = 1;
};

// Runs `count` bands in order over `frames` interleaved frames in place, band 0
// first. All bands must share one channel count. The result is bit-identical to
// running the bands one after the other; it is faster because the bands work on
// successive frames at the same time (see PeakingEq.cpp). Used by PeakingEq and
// EqChain; the caller owns the bands.
void ProcessCascade(PeakingEq* const* bands, int count, float* interleaved, size_t frames);

}  // namespace ae::dsp
