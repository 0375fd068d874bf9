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
#include "audioengine/core/SpectrumRing.h"
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

// Frames a volume change takes to glide to its new value, and a transport fade
// (resume, pause, stop, a seek or a free while playing) to fade in or out, at the
// output rate: a few milliseconds, so that no change clicks.
int VolumeRampFrames(int outputRate);

// What sizes a stream's buffers, fixed when the engine starts.
struct StreamSetup {
    int outputRate = 44100;  // Hz
    // Output frames the output holds between rendering a block and its being heard
    // (its buffer): the analysis history must reach back across it.
    int outputBufferFrames = 0;
    // Whether the decode side computes the spectra of a stream whose spectrum is being
    // asked for ahead of the ear (see SpectrumAtPosition). Off, every spectrum is
    // computed when asked for.
    bool spectrumAhead = true;
};

// How much spectrum work a stream has done: transforms computed ahead by the decode
// side and on demand by the callers' threads.
struct SpectrumWork {
    uint64_t ahead = 0;
    uint64_t onDemand = 0;
};

class Stream {
  public:
    // Opens `path` for mixing as `setup` says, or says why it cannot. Any thread.
    static Result<std::unique_ptr<Stream>> Open(const std::string& path, const StreamSetup& setup);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    const DecoderInfo& info() const { return info_; }
    // The absolute path. Valid for the stream's life: BASS_ChannelGetInfo hands it out.
    const std::string& path() const { return path_; }
    int64_t payloadBytes() const { return payloadBytes_; }
    // Frames the analysis history holds: see HistoryFrames in Stream.cpp.
    int historyFrames() const { return history_.capacity(); }

    // ---- Decode side: one pool worker at a time, between TryBeginJob and EndJob ----
    // Claims the stream for the calling worker; false when another worker has it (the
    // caller skips it rather than waits).
    bool TryBeginJob(int64_t nowNs);
    void EndJob();
    // Does one step of work: a pending seek or re-prime, decoding a block, or moving
    // resampled audio into the ready ring. False when there is nothing to do: the ring
    // is full or the end queued. May block in the file's I/O.
    bool Pump();
    // True from a seek or re-prime until the ring holds a ringful of the new place's
    // audio, for at most kRefillWindowNs: the callback drops the old audio at its next
    // pass without waking anyone, and a worker that found the ring full of it comes back
    // soon rather than at its usual poll, lest the new audio run dry after the first
    // block. Any thread.
    bool Refilling() const { return refilling_.load(std::memory_order_relaxed); }
    // True while a worker has been inside one step for longer than `patienceNs`: its
    // file is slow or hung. Any thread.
    bool StuckInJob(int64_t nowNs, int64_t patienceNs) const;

    // ---- Control, any thread; none waits for the decode side. Frames of the stream.
    // Starts or resumes; from 0 when `restart` or when the stream has played to its end.
    void Play(bool restart);
    void Pause();
    void Stop();
    // Moves to `frame` (0..length): recorded at once (Position() reads it back), done
    // by the decode side. POSITION past the end. A file that cannot be read at the
    // target ends there.
    Status Seek(int64_t frame);
    // Marks the stream freed: it fades out if it was playing, and Faded() says when
    // the mix may let go of it.
    void Free();
    bool Faded() const { return faded_.load(std::memory_order_acquire); }
    // Whether the last mixing pass played this stream's audio, or left a fade-out to
    // play: a stream stopped or paused just now still sounds until its fade has been
    // heard, so a free right after a stop waits for it too. Any thread.
    bool Sounding() const { return sounding_.load(std::memory_order_acquire); }
    // The stream frame being heard now. Any thread; never waits for long.
    AE_HOT int64_t Position() const;
    // The stream frame heard at monotonic time `nowNs` (ns), from what the callback has
    // output so far: Position() at a given instant. Any thread.
    AE_HOT int64_t PositionAt(int64_t nowNs) const;
    // BASS_ACTIVE_STOPPED / PLAYING / PAUSED.
    int Activity() const;
    bool playing() const;
    // Linear gain, finite and >= 0 (checked by the caller); glides in at the next block,
    // or applies from the first sample when the stream is silent.
    void SetVolume(float volume) { volume_.store(volume, std::memory_order_relaxed); }
    float volume() const { return volume_.load(std::memory_order_relaxed); }

    // The meter's level (0..32768) of the `frames` history frames ending at the heard
    // position, per side. Any thread.
    void LevelAtPosition(int frames, uint32_t* left, uint32_t* right) const;
    // ---- Effects (any thread; never waits for the file) ----
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
    //
    // A request subscribes the stream for a second of the output's time: meanwhile the
    // decode side computes the spectrum of every 256-frame step as soon as its 512
    // frames are in the history, and a request copies the one of the heard step. The
    // results are the same, bit for bit, as those computed on demand. Once the
    // subscription lapses the stream does no spectrum work, and the next request
    // computes on the caller's thread again (and subscribes anew).
    AE_HOT void SpectrumAtPosition(void* out);
    // The spectrum work done so far. Any thread.
    SpectrumWork spectrumWork();

    // ---- Audio callback (one thread at a time) ----
    // Adds this stream's next `frames` output frames into `out` (stereo interleaved)
    // if it is playing or fading out, with its volume applied. True while the stream
    // makes sound (playing or fading): an idle output may sleep when none does.
    bool Mix(float* out, int frames, const MixTiming& timing);
    // For the manual output: whether the ring holds `frames` output frames of the
    // current epoch and a fade's worth more (or the stream's end), so that a
    // render is the same however fast the decoder ran.
    bool ReadyFor(int frames);

  private:
    Stream(std::unique_ptr<Decoder> decoder, std::string path, int64_t payloadBytes,
           const StreamSetup& setup);

    // ---- the transport: epoch, run and state in one word ----
    // The epoch changes at every seek and re-prime (the decode side restarts from the
    // target; older audio is dropped), the run at every start, pause, stop, seek.
    enum : int { kFreed = 0x10 };  // beside the BASS_ACTIVE_* states: fading to release
    static uint32_t EpochOf(uint64_t word) { return static_cast<uint32_t>(word >> 32); }
    static uint32_t RunOf(uint64_t word) { return static_cast<uint32_t>(word >> 8) & 0xffffff; }
    static int StateOf(uint64_t word) { return static_cast<int>(word & 0xff); }
    static uint64_t Pack(uint32_t epoch, uint32_t run, int state) {
        return (static_cast<uint64_t>(epoch) << 32) | (static_cast<uint64_t>(run & 0xffffff) << 8) |
               static_cast<uint64_t>(state);
    }
    // a is older than b, modulo wrap-around.
    static bool Older(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
    // The word with the frames that go with it, read consistently.
    struct Transport {
        uint64_t word = 0;
        int64_t still = 0;   // the position while not playing; where a run starts
        int64_t target = 0;  // where the decode side starts the epoch
    };
    // A consistent read without waiting; false after a few tries against writers.
    bool TryReadTransport(Transport* transport) const;
    // A consistent read: falls back to the control lock after a few tries.
    Transport ReadTransport() const;
    // Writes a new transport, control lock held. `change` maps the word (the callback
    // may have just stopped the stream at its end) to the new one.
    template <typename Change>
    void WriteTransport(int64_t still, int64_t target, Change change);
    // The three loads: consistent with the control lock held, or when the sequence
    // number is the same before and after.
    Transport LoadTransport() const;
    int64_t PositionFrom(const Transport& transport, int64_t nowNs) const;
    bool AtEnd(uint64_t word) const;
    void SeekLocked(int64_t frame);  // control lock held
    void Reprime();
    int64_t ResumeFrame(const Transport& transport) const;

    // ---- decode side ----
    void Restart(uint32_t epoch, int64_t frame);
    bool DecodeBlock();
    // Computes the spectra of the steps decoded so far while the stream is subscribed.
    void ComputeSpectraAhead();
    void Resample(const float* stereo, int frames);
    int64_t StreamFrameOfOutput(int64_t outputFrames) const;
    void PushChunk(Chunk* chunk);
    void CompactStage();  // moves what the stage holds to its front

    // ---- callback side ----
    void PublishHeard(uint64_t tag, int64_t beginFrame, int64_t endFrame, int64_t beginNs);
    void DropOlder(uint32_t epoch);
    // Paused, stopped, freed or moved while audible: captures the fade-out of what was
    // playing, then drops audio older than `epoch`.
    void LeaveOlderAudio(uint32_t epoch, bool play);
    bool MixBlock(float* out, int frames, const MixTiming& timing);  // Mix's work
    void CaptureFade(uint32_t epoch);
    int PlayFade(float* out, int frames);
    void PublishMixed(uint32_t epoch, int64_t frame);  // where the callback took audio up to

    // ---- query side ----
    void SpectrumOnDemand(bool isPlaying, uint32_t epoch, int64_t end, void* out);

    // ---- fixed at open ----
    std::unique_ptr<Decoder> decoder_;
    DecoderInfo info_;
    const std::string path_;
    int64_t payloadBytes_ = 0;
    int outputRate_;
    int decodeBlockFrames_;  // stream frames per decode step
    int rampFrames_;         // output frames of a volume glide and of a transport fade
    // Mixes the file's channels to the stereo of the output, by their layout.
    dsp::StereoDownmix downmix_;

    // ---- decode side, touched only by the worker holding the job ----
    std::atomic<bool> busy_{false};       // a worker holds the job
    std::atomic<int64_t> jobSinceNs_{0};  // when the current step began; 0 when none
    soxr_t resampler_ = nullptr;          // null when the stream is at the output rate
    std::mutex eqMutex_;          // bands added/removed vs. processing: never held across I/O (eq_)
    std::vector<float> decoded_;  // one decode block, the file's channels
    std::vector<float> stereo_;   // the block as stereo
    std::vector<float> stage_;    // resampled stereo waiting for a whole chunk
    int stageBegin_ = 0;          // the first stage frame not yet in a chunk
    int stageFrames_ = 0;         // the stage's frames, taken or not
    uint32_t producerEpoch_ = 0;  // 0: not started; the transport starts at epoch 1
    int64_t base_ = 0;            // stream frame where the epoch started
    int64_t decodedFrames_ = 0;   // stream frames decoded since base_
    int64_t outputQueued_ = 0;    // output frames pushed into the ring since base_
    bool inputEnded_ = false;     // the decoder has given its last frame
    bool flushed_ = false;        // the resampler has given its last frame
    bool lastQueued_ = false;     // the final chunk is in the ring
    int64_t restartNs_ = 0;       // when the decode side last restarted (monotonic ns)

    std::atomic<bool> refilling_{false};  // see Refilling
    const bool spectrumAheadAllowed_;
    bool aheadRunning_ = false;  // steps are being computed, from aheadNext_ on
    uint32_t aheadEpoch_ = 0;    // the epoch they belong to
    int64_t aheadNext_ = 0;      // the step (stream frame) to compute next

    // ---- shared ----
    ChunkRing ring_;
    mutable std::mutex controlMutex_;        // serialises control calls; never held across I/O
    std::atomic<uint32_t> transportSeq_{0};  // odd while a control call writes the transport
    std::atomic<uint64_t> transport_;
    std::atomic<int64_t> stillFrame_{0};
    std::atomic<int64_t> targetFrame_{0};
    std::atomic<uint32_t> endedEpoch_{0};  // epoch whose end the callback has output
    std::atomic<int64_t> endedFrame_{0};
    std::atomic<uint32_t> mixedEpoch_{0};  // epoch of mixedFrame_
    std::atomic<int64_t> mixedFrame_{0};   // stream frame after the last one mixed
    std::atomic<float> volume_{1.0f};
    std::atomic<bool> faded_{false};     // freed, and the fade-out has been played
    std::atomic<bool> sounding_{false};  // see Sounding()
    // What the callback has output, one span per mixing pass, newest at
    // heardCount_ - 1: the stream frames the pass covered and when the first is heard.
    // Several are kept because an output that renders ahead of the clock has a few
    // passes still to be heard, and the stream may have fallen silent between them.
    // Each span has its own sequence number (odd while written), so a reader never
    // waits: a span rewritten under it is passed over.
    struct HeardSpan {
        std::atomic<uint32_t> seq{0};
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
    std::atomic<uint64_t> heardCount_{0};
    std::atomic<int64_t> mixClock_{0};  // output frames offered to Mix so far
    HeardSpan heard_[kHeardSpans];

    // ---- what a spectrum request reads, beside the transport and the heard spans ----
    AnalysisHistory history_;
    // Spectra computed ahead: slots made at the first request, kept for the stream's life.
    SpectrumRing ahead_;
    // The output's time (output frames offered to Mix, whether the stream played or
    // not) when the spectrum was last asked for: the subscription's clock.
    std::atomic<int64_t> spectrumAskedAt_{0};
    std::atomic<uint64_t> spectraAhead_{0};  // written by the decode side only

    // ---- spectrum cache, under spectrumMutex_ (query threads only) ----
    std::mutex spectrumMutex_;
    std::unique_ptr<dsp::Spectrum512> spectrum_;  // made at the first request
    // The decode side's transform: made here at the first request, before ahead_ has
    // slots; from then on used by the decode side alone.
    std::unique_ptr<dsp::Spectrum512> aheadSpectrum_;
    bool spectrumValid_ = false;
    uint32_t spectrumEpoch_ = 0;
    int64_t spectrumEnd_ = 0;  // the step (stream frame) the cached spectrum ends at
    uint64_t spectraOnDemand_ = 0;
    float spectrumBins_[dsp::Spectrum512::kBins] = {};

    // ---- callback side, touched only by the thread rendering the mix ----
    int chunkOffset_ = 0;        // output frames of the ring's front chunk already played
    uint32_t lastOutEpoch_ = 0;  // epoch whose last chunk has been played
    int64_t endedFrameOut_ = 0;  // the stream frame reached by the last output
    bool audible_ = false;       // the last pass played this stream's audio
    uint32_t audibleEpoch_ = 0;  // the epoch it played
    int rampInLeft_ = 0;         // output frames of the fade-in still to go
    std::vector<float> fade_;    // audio captured for a fade-out, stereo
    int fadeCaptured_ = 0;
    int fadePlayed_ = 0;
    float fadeGain_ = 1.0f;
    float gain_ = 1.0f;
    float gainTarget_ = 1.0f;
    float gainStep_ = 0.0f;
    int gainRampLeft_ = 0;

    // ---- decode side (see eqMutex_): last, being large, away from what queries read
    dsp::EqChain eq_;
};

}  // namespace ae
