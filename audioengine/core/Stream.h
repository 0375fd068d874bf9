// SPDX-License-Identifier: MIT
// One open stream: its decoder and the pipeline that turns the file into mixable
// audio, its transport state and the bookkeeping of what has been heard.
//
// Three parties touch a stream, each with its own part:
// - the engine's decode worker calls Pump(): decode, effects, analysis history,
//   resampling to the output rate, and the ready ring's producer side;
// - the audio callback calls Mix(): the ring's consumer side, volume and the record
//   of the stream frame it has output. It never allocates, blocks or does I/O;
// - API threads call the control and query functions, which are serialised by the
//   stream's control lock and never wait for the callback.
#pragma once

#include <soxr.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audioengine/core/AnalysisHistory.h"
#include "audioengine/core/ChunkRing.h"
#include "audioengine/core/Hot.h"
#include "audioengine/core/Result.h"
#include "audioengine/decode/Decoder.h"
#include "audioengine/dsp/EqChain.h"
#include "audioengine/dsp/Spectrum512.h"
#include "audioengine/dsp/StereoDownmix.h"

namespace ae {

// When the audio the callback writes will be heard.
struct MixTiming {
    // Monotonic time (ns) at which the block's first frame is heard; 0 on the manual
    // output, where what has been rendered counts as heard at once.
    int64_t blockHeardNs = 0;
};

// Monotonic clock in nanoseconds, the time base of MixTiming.
int64_t MonotonicNs();

// Frames a volume change takes to glide to its new value, at the output rate.
int VolumeRampFrames(int outputRate);

class Stream {
  public:
    // Opens `path` for mixing at `outputRate` Hz, or says why it cannot. Any thread.
    static Result<std::unique_ptr<Stream>> Open(const std::string& path, int outputRate);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    const DecoderInfo& info() const { return info_; }
    const std::string& path() const { return path_; }  // absolute
    int64_t payloadBytes() const { return payloadBytes_; }

    // ---- Decode worker ----
    // Does one step of work (decodes a block, or moves resampled audio into the ready
    // ring). False when there is nothing to do: the ring is full or the end queued.
    bool Pump();

    // ---- Control, any thread. Positions in stream frames. ----
    // Starts or resumes; from 0 when `restart` or when the stream has played to its
    // end. Fails as Seek when the restart's seek does.
    Status Play(bool restart);
    void Pause();
    void Stop();
    // Moves to `frame` (0..length). POSITION past the end or when the file cannot be
    // read there.
    Status Seek(int64_t frame);
    // The stream frame being heard now. Any thread.
    AE_HOT int64_t Position() const;
    // The stream frame heard at monotonic time `nowNs` (ns), from what the callback has
    // output so far: Position() at a given instant. Any thread.
    AE_HOT int64_t PositionAt(int64_t nowNs) const;
    // BASS_ACTIVE_STOPPED / PLAYING / PAUSED.
    int Activity() const;
    bool playing() const;
    // Linear gain, finite and >= 0 (checked by the caller); glides in at the next block.
    void SetVolume(float volume) { volume_.store(volume, std::memory_order_relaxed); }
    float volume() const { return volume_.load(std::memory_order_relaxed); }

    // Peak of the `frames` history frames ending at the heard position, per side,
    // 0..1 and above (not clamped). Any thread.
    void PeakAtPosition(int frames, float* left, float* right) const;
    // ---- Effects (any thread) ----
    // Adds a neutral peaking band; its slot in the stream's chain, -1 when full.
    int AddEffect(int priority);
    bool RemoveEffect(int slot);
    // False, changing nothing, when the slot is empty or the values are out of range.
    bool SetEffectParams(int slot, const dsp::PeakingParams& params);
    bool GetEffectParams(int slot, dsp::PeakingParams* params) const;

    // The 512-point spectrum at the heard position into out, 256 floats (1 KiB, any
    // alignment): see Spectrum512. Requests on the same 256-frame step of the same
    // epoch are served from a cache; a stream that is not playing answers from the
    // last audio heard. Any thread.
    void SpectrumAtPosition(void* out);

    // ---- Audio callback (one thread at a time) ----
    // Adds this stream's next `frames` output frames into `out` (stereo interleaved)
    // if it is playing, with its volume applied.
    void Mix(float* out, int frames, const MixTiming& timing);
    // For the manual output: drops chunks left over from before a seek and tells
    // whether the ring holds `frames` output frames or the stream's end.
    bool ReadyFor(int frames);

  private:
    Stream(std::unique_ptr<Decoder> decoder, std::string path, int64_t payloadBytes,
           int outputRate);

    // control_ packs the seek epoch (high 32 bits) with the activity (low bits), so
    // that the callback can stop a stream at its end only if no seek came between.
    static uint32_t EpochOf(uint64_t control) { return static_cast<uint32_t>(control >> 32); }
    static int StateOf(uint64_t control) { return static_cast<int>(control & 0xff); }
    static uint64_t Pack(uint32_t epoch, int state) {
        return (static_cast<uint64_t>(epoch) << 32) | static_cast<uint64_t>(state);
    }
    void SetState(int state);
    bool AtEnd() const;
    Status SeekLocked(int64_t frame);  // control lock held
    void Reprime();
    void DropStale(uint32_t epoch);  // callback side
    int64_t StreamFrameOfOutput(int64_t outputFrames) const;
    void PublishHeard(uint64_t tag, int64_t beginFrame, int64_t endFrame, int64_t beginNs);
    bool DecodeBlock();
    void Resample(const float* stereo, int frames);
    void PushChunk(Chunk* chunk);

    // ---- fixed at open ----
    std::unique_ptr<Decoder> decoder_;
    DecoderInfo info_;
    const std::string& path_;  // interned: outlives the stream
    int64_t payloadBytes_ = 0;
    int outputRate_;
    int decodeBlockFrames_;  // stream frames per decode step
    // Mixes the file's channels to the stereo of the output, by their layout.
    dsp::StereoDownmix downmix_;

    // ---- decode side, under decodeMutex_ ----
    std::mutex decodeMutex_;
    soxr_t resampler_ = nullptr;  // null when the stream is at the output rate
    dsp::EqChain eq_;             // bands are added and removed under decodeMutex_
    std::vector<float> decoded_;  // one decode block, the file's channels
    std::vector<float> stereo_;   // the block as stereo
    std::vector<float> stage_;    // resampled stereo waiting for a whole chunk
    int stageFrames_ = 0;
    uint32_t producerEpoch_ = 1;
    int64_t base_ = 0;           // stream frame where the epoch started
    int64_t decodedFrames_ = 0;  // stream frames decoded since base_
    int64_t outputQueued_ = 0;   // output frames pushed into the ring since base_
    bool inputEnded_ = false;    // the decoder has given its last frame
    bool flushed_ = false;       // the resampler has given its last frame
    bool lastQueued_ = false;    // the final chunk is in the ring
    AnalysisHistory history_;

    // ---- shared ----
    ChunkRing ring_;
    std::mutex controlMutex_;  // serialises control calls
    std::atomic<uint64_t> control_;
    std::atomic<uint32_t> run_{0};         // bumped at every start, pause, stop, seek
    std::atomic<int64_t> stillFrame_{0};   // position while not playing; start of a run
    std::atomic<uint32_t> endedEpoch_{0};  // epoch whose end the callback has output
    std::atomic<int64_t> endedFrame_{0};
    std::atomic<float> volume_{1.0f};
    // What the callback has output, one span per mixing pass, newest at
    // heardCount_ - 1: the stream frames the pass covered and when the first is heard.
    // Several are kept because an output that renders ahead of the clock has a few
    // passes still to be heard, and the stream may have fallen silent between them.
    struct HeardSpan {
        std::atomic<uint64_t> tag{0};  // (epoch << 32) | run of the audio
        std::atomic<int64_t> beginFrame{0};
        std::atomic<int64_t> endFrame{0};
        // When beginFrame is heard (monotonic ns); from there the frames follow at the
        // stream's rate. 0: heard as soon as output (the manual output).
        std::atomic<int64_t> beginNs{0};
    };
    static constexpr int kHeardSpans = 8;
    static uint64_t HeardTag(uint32_t epoch, uint32_t run) {
        return (static_cast<uint64_t>(epoch) << 32) | run;
    }
    std::atomic<uint32_t> heardSeq_{0};  // a sequence lock: odd while a span is written
    std::atomic<uint64_t> heardCount_{0};
    HeardSpan heard_[kHeardSpans];

    // ---- spectrum cache, under spectrumMutex_ ----
    std::mutex spectrumMutex_;
    std::unique_ptr<dsp::Spectrum512> spectrum_;  // made at the first request
    bool spectrumValid_ = false;
    uint32_t spectrumEpoch_ = 0;
    int64_t spectrumEnd_ = 0;  // the step (stream frame) the cached spectrum ends at
    float spectrumBins_[dsp::Spectrum512::kBins] = {};

    // ---- callback side, touched only by the thread rendering the mix ----
    int chunkOffset_ = 0;        // output frames of the ring's front chunk already played
    uint32_t lastOutEpoch_ = 0;  // epoch whose last chunk has been played
    int64_t endedFrameOut_ = 0;  // the stream frame reached by the last output
    float gain_ = 1.0f;
    float gainTarget_ = 1.0f;
    float gainStep_ = 0.0f;
    int gainRampLeft_ = 0;
    int rampFrames_;
};

}  // namespace ae
