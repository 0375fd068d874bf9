// SPDX-License-Identifier: MIT
// What a sound server's sink plays, recorded from its monitor over the PulseAudio
// protocol (PulseAudio itself, or PipeWire's pipewire-pulse), with the moment each
// read came in, so that tests and benchmarks can say which sample the sink played
// when. The recording is stereo float at 44100 Hz, the rate of scripts/sound-server's
// null sink; at that rate the monitor gives back exactly the samples played.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testaudio {

// CLOCK_MONOTONIC in nanoseconds: the clock the reads are stamped with.
int64_t MonotonicNs();

// A recording so far: the samples, and for each read where it ended and when.
struct Recording {
    static constexpr int kRate = 44100;
    static constexpr int kChannels = 2;

    struct Read {
        int64_t endFrame;   // frames recorded up to the end of this read
        int64_t stampNs;    // MonotonicNs() when the read returned
        int64_t latencyNs;  // the record stream's latency then, as the server reports it
    };

    std::vector<float> samples;  // interleaved L R
    std::vector<Read> reads;

    int64_t frames() const { return static_cast<int64_t>(samples.size()) / kChannels; }
    float at(int64_t frame, int channel) const {
        return samples[static_cast<size_t>(frame * kChannels + channel)];
    }
    // When the sink played the recording's frame 0, on the MonotonicNs() clock: each
    // read's stamp less the stream's latency and the read's length, the median over
    // the reads (a read that came in late, its thread descheduled, is an outlier).
    // 0 when nothing has been read.
    int64_t StartNs() const;
    // The recording's frame the sink played at `ns` (may lie outside the recording).
    int64_t FrameAt(int64_t ns) const;
    // The moment the sink played `frame`.
    int64_t NsOf(int64_t frame) const;
};

class SinkRecorder {
  public:
    // Connects to the server (PULSE_SERVER, else the default one) and starts recording
    // `source` (by default the default sink's monitor) in reads of `readFrames`, on a
    // thread of its own. ok() is false, with error() saying why, when no server
    // answers or the source cannot be recorded.
    explicit SinkRecorder(int readFrames = 1024, const std::string& source = "@DEFAULT_MONITOR@");
    ~SinkRecorder();  // stops
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;

    bool ok() const;
    // Why the recorder could not start, or why it stopped on its own (the server went
    // away); empty otherwise.
    std::string error() const;
    // True while the reading thread runs: false after Stop() and after the server
    // went away.
    bool recording() const;

    // Waits until `frames` frames have been recorded, at most `timeoutMs`; false when
    // they were not (the recording stopped, or time ran out).
    bool WaitForFrames(int64_t frames, int timeoutMs) const;
    // A copy of everything recorded so far.
    Recording Snapshot() const;
    // Ends the recording; the reading thread finishes its read and stops.
    void Stop();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// Where `reference` (interleaved stereo, at the recording's rate) best lines up in
// `recording`: the recording frame r in [from, to] that maximises the normalised
// correlation of recording frames [r, r + window) with reference frames
// [referenceStart, referenceStart + window), in channel `channel` (0, 1, or -1 for
// both). Returns the frame, and the correlation (1.0 = identical up to a gain) in
// *score.
int64_t BestAlignment(const std::vector<float>& recording, const std::vector<float>& reference,
                      int64_t referenceStart, int64_t window, int64_t from, int64_t to, int channel,
                      double* score);

}  // namespace testaudio
