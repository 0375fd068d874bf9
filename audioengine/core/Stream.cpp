// SPDX-License-Identifier: MIT
#include "audioengine/core/Stream.h"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "audioengine/dsp/PeakLevel.h"
#include "plugin/engine/Bass.h"

namespace ae {
namespace {

// The ready ring holds at most this much audio: an effect change reaches the ear
// within it.
constexpr double kReadyRingSeconds = 0.1;
// History kept for the analysis: enough to reach back from the decode front past the
// ready ring, a staged block, the output's buffering and the 20 ms meter window, to
// the 512 frames of the spectrum.
constexpr double kHistorySeconds = 0.2;
constexpr int kHistoryExtraFrames = 1024;
// Output frames one decode step aims at, and the most samples one step decodes.
constexpr int kOutputFramesPerStep = 1024;
constexpr int kMaxDecodeSamples = 8192;
// Resampled audio waiting for a whole chunk; one step produces well under this.
constexpr int kStageFrames = 2048;
// The resampler's largest transform (2^n points): soxr's default of 2^17 would cost
// each stream a few hundred KiB; this keeps it small at a negligible cost in speed.
constexpr unsigned kResamplerLog2DftSize = 10;
// Every channel the decoder can give has an equaliser state of its own.
static_assert(kMaxDecodedChannels <= dsp::kMaxChannels);

enum : int {
    kStopped = BASS_ACTIVE_STOPPED,
    kPlaying = BASS_ACTIVE_PLAYING,
    kPaused = BASS_ACTIVE_PAUSED,
};

// Filenames handed out by BASS_ChannelGetInfo stay readable after their stream is
// freed: another thread (the tag library, a host's display) may still be reading one.
// Each distinct path is kept once, for the life of the process.
const std::string& InternPath(const std::string& path) {
    static std::mutex* mutex = new std::mutex;
    static std::unordered_set<std::string>* paths = new std::unordered_set<std::string>;
    std::lock_guard<std::mutex> lock(*mutex);
    return *paths->insert(path).first;
}

}  // namespace

AE_HOT int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int VolumeRampFrames(int outputRate) { return std::max(1, outputRate / 200); }  // 5 ms

Result<std::unique_ptr<Stream>> Stream::Open(const std::string& path, int outputRate) {
    Result<std::unique_ptr<Decoder>> opened = OpenDecoder(path);
    if (!opened.ok()) return opened.error();
    std::unique_ptr<Decoder> decoder = std::move(opened).value();
    std::string absolute = path;
    if (char* resolved = realpath(path.c_str(), nullptr)) {
        absolute = resolved;
        free(resolved);
    }
    const int64_t payload = AudioPayloadBytes(path);
    std::unique_ptr<Stream> stream(
        new Stream(std::move(decoder), std::move(absolute), payload, outputRate));
    if (stream->info_.rate != outputRate && !stream->resampler_) return Error{BASS_ERROR_MEM};
    return stream;
}

Stream::Stream(std::unique_ptr<Decoder> decoder, std::string path, int64_t payloadBytes,
               int outputRate)
    : decoder_(std::move(decoder)),
      info_(decoder_->info()),
      path_(InternPath(path)),
      payloadBytes_(payloadBytes),
      outputRate_(outputRate),
      downmix_(info_.channels, info_.channelMask),
      eq_(info_.rate, info_.channels),
      history_(static_cast<int>(std::ceil(info_.rate * kHistorySeconds)) + kHistoryExtraFrames),
      ring_(std::max(4, static_cast<int>(kReadyRingSeconds * outputRate) / kChunkFrames)),
      control_(Pack(1, kStopped)),
      rampFrames_(VolumeRampFrames(outputRate)) {
    const double perStep = static_cast<double>(kOutputFramesPerStep) * info_.rate / outputRate;
    decodeBlockFrames_ =
        std::clamp(static_cast<int>(perStep), 16, kMaxDecodeSamples / info_.channels);
    decoded_.resize(static_cast<size_t>(decodeBlockFrames_) * info_.channels);
    stereo_.resize(static_cast<size_t>(decodeBlockFrames_) * 2);
    stage_.resize(static_cast<size_t>(kStageFrames) * 2);
    if (info_.rate != outputRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        runtime.log2_large_dft_size = kResamplerLog2DftSize;
        soxr_error_t soxrError = nullptr;
        resampler_ = soxr_create(info_.rate, outputRate, 2, &soxrError, &io, &quality, &runtime);
        if (soxrError) {
            soxr_delete(resampler_);
            resampler_ = nullptr;
        }
    }
    history_.Reset(0);
}

Stream::~Stream() { soxr_delete(resampler_); }

// ---------------------------------------------------------------- decode side

bool Stream::Pump() {
    std::lock_guard<std::mutex> lock(decodeMutex_);
    if (lastQueued_) return false;
    Chunk* chunk = ring_.BeginPush();
    if (!chunk) return false;
    if (stageFrames_ >= kChunkFrames || flushed_) {
        PushChunk(chunk);
        return true;
    }
    if (!inputEnded_) {
        DecodeBlock();
        return true;
    }
    // The file is decoded: drain what the resampler still holds.
    if (resampler_) {
        size_t produced = 0;
        soxr_process(resampler_, nullptr, 0, nullptr, stage_.data() + 2 * stageFrames_,
                     static_cast<size_t>(kStageFrames - stageFrames_), &produced);
        stageFrames_ += static_cast<int>(produced);
        if (produced == 0) flushed_ = true;
    } else {
        flushed_ = true;
    }
    return true;
}

bool Stream::DecodeBlock() {
    int64_t got = decoder_->Read(decoded_.data(), decodeBlockFrames_);
    if (got < decodeBlockFrames_) inputEnded_ = true;  // the end, or a read error
    got = std::clamp<int64_t>(got, 0, decodeBlockFrames_);
    if (got == 0) return false;
    const int frames = static_cast<int>(got);
    if (eq_.bandCount() > 0) eq_.Process(decoded_.data(), static_cast<size_t>(frames));
    history_.Append(decoded_.data(), frames, info_.channels);
    downmix_.Process(decoded_.data(), frames, stereo_.data());
    decodedFrames_ += frames;
    if (resampler_) {
        Resample(stereo_.data(), frames);
    } else {
        const int take = std::min(frames, kStageFrames - stageFrames_);
        std::memcpy(stage_.data() + 2 * stageFrames_, stereo_.data(),
                    sizeof(float) * 2 * static_cast<size_t>(take));
        stageFrames_ += take;
    }
    return true;
}

void Stream::Resample(const float* stereo, int frames) {
    size_t consumed = 0;
    while (consumed < static_cast<size_t>(frames) && stageFrames_ < kStageFrames) {
        size_t used = 0, produced = 0;
        const soxr_error_t failed =
            soxr_process(resampler_, stereo + 2 * consumed, frames - consumed, &used,
                         stage_.data() + 2 * stageFrames_,
                         static_cast<size_t>(kStageFrames - stageFrames_), &produced);
        consumed += used;
        stageFrames_ += static_cast<int>(produced);
        if (failed || (used == 0 && produced == 0)) break;
    }
}

int64_t Stream::StreamFrameOfOutput(int64_t outputFrames) const {
    if (!resampler_) return outputFrames;
    return outputFrames * info_.rate / outputRate_;
}

void Stream::PushChunk(Chunk* chunk) {
    const int frames = std::min(stageFrames_, kChunkFrames);
    std::memcpy(chunk->samples, stage_.data(), sizeof(float) * 2 * static_cast<size_t>(frames));
    stageFrames_ -= frames;
    std::memmove(stage_.data(), stage_.data() + 2 * frames,
                 sizeof(float) * 2 * static_cast<size_t>(stageFrames_));
    const int64_t decodedEnd = base_ + decodedFrames_;
    chunk->epoch = producerEpoch_;
    chunk->frames = frames;
    chunk->streamBegin = std::min(base_ + StreamFrameOfOutput(outputQueued_), decodedEnd);
    outputQueued_ += frames;
    chunk->streamEnd = std::min(base_ + StreamFrameOfOutput(outputQueued_), decodedEnd);
    chunk->last = flushed_ && stageFrames_ == 0;
    if (chunk->last) {
        chunk->streamEnd = decodedEnd;  // the last frame heard is the last decoded
        lastQueued_ = true;
    }
    ring_.Push();
}

// ---------------------------------------------------------------- control

AE_HOT bool Stream::playing() const {
    return StateOf(control_.load(std::memory_order_acquire)) == kPlaying;
}

int Stream::Activity() const { return StateOf(control_.load(std::memory_order_acquire)); }

bool Stream::AtEnd() const {
    return endedEpoch_.load(std::memory_order_acquire) ==
           EpochOf(control_.load(std::memory_order_acquire));
}

void Stream::SetState(int state) {
    uint64_t control = control_.load(std::memory_order_acquire);
    while (!control_.compare_exchange_weak(control, Pack(EpochOf(control), state),
                                           std::memory_order_acq_rel)) {
    }
}

Status Stream::Play(bool restart) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    if (restart || AtEnd()) {
        if (Status sought = SeekLocked(0); !sought.ok()) return sought;
    }
    if (playing()) return {};
    run_.fetch_add(1, std::memory_order_acq_rel);
    SetState(kPlaying);
    return {};
}

void Stream::Pause() {
    std::lock_guard<std::mutex> lock(controlMutex_);
    uint64_t control = control_.load(std::memory_order_acquire);
    while (StateOf(control) == kPlaying) {
        stillFrame_.store(Position(), std::memory_order_release);
        run_.fetch_add(1, std::memory_order_acq_rel);
        if (control_.compare_exchange_strong(control, Pack(EpochOf(control), kPaused),
                                             std::memory_order_acq_rel)) {
            return;
        }
    }
}

void Stream::Stop() {
    std::lock_guard<std::mutex> lock(controlMutex_);
    uint64_t control = control_.load(std::memory_order_acquire);
    while (StateOf(control) != kStopped) {
        if (StateOf(control) == kPlaying) stillFrame_.store(Position(), std::memory_order_release);
        run_.fetch_add(1, std::memory_order_acq_rel);
        if (control_.compare_exchange_strong(control, Pack(EpochOf(control), kStopped),
                                             std::memory_order_acq_rel)) {
            return;
        }
    }
}

Status Stream::Seek(int64_t frame) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    return SeekLocked(frame);
}

Status Stream::SeekLocked(int64_t frame) {
    if (frame < 0 || frame > info_.frames) return Error{BASS_ERROR_POSITION};
    std::lock_guard<std::mutex> lock(decodeMutex_);
    const bool sought = decoder_->Seek(frame);
    if (resampler_) soxr_clear(resampler_);
    eq_.Reset();
    history_.Reset(frame);
    stageFrames_ = 0;
    base_ = frame;
    decodedFrames_ = 0;
    outputQueued_ = 0;
    // A file that cannot be read at the target ends there instead of playing on from
    // an undefined place.
    inputEnded_ = flushed_ = !sought;
    lastQueued_ = false;
    ++producerEpoch_;
    stillFrame_.store(frame, std::memory_order_release);
    run_.fetch_add(1, std::memory_order_acq_rel);
    uint64_t control = control_.load(std::memory_order_acquire);
    while (!control_.compare_exchange_weak(control, Pack(producerEpoch_, StateOf(control)),
                                           std::memory_order_acq_rel)) {
    }
    if (!sought) return Error{BASS_ERROR_POSITION};
    return {};
}

int64_t Stream::Position() const { return PositionAt(MonotonicNs()); }

int64_t Stream::PositionAt(int64_t nowNs) const {
    const uint64_t control = control_.load(std::memory_order_acquire);
    const uint32_t epoch = EpochOf(control);
    if (endedEpoch_.load(std::memory_order_acquire) == epoch) {
        return std::clamp<int64_t>(endedFrame_.load(std::memory_order_acquire), 0, info_.frames);
    }
    const int64_t still = stillFrame_.load(std::memory_order_acquire);
    if (StateOf(control) != kPlaying) return still;
    const uint64_t tag = HeardTag(epoch, run_.load(std::memory_order_acquire));
    // Stream frames heard over `ns` nanoseconds.
    const auto framesIn = [this](int64_t ns) {
        return static_cast<int64_t>(static_cast<double>(ns) * info_.rate / 1e9);
    };

    int64_t position;
    for (;;) {
        const uint32_t seq = heardSeq_.load(std::memory_order_acquire);
        if (seq & 1) continue;  // a span is being written: a few stores
        const uint64_t count = heardCount_.load(std::memory_order_acquire);
        const uint64_t kept = std::min<uint64_t>(count, kHeardSpans);
        // Newest first: the first span whose audio has begun to be heard holds the ear.
        // Spans still to be heard (rendered ahead) are passed over; a span of an
        // earlier run or epoch ends the search.
        position = still;
        bool ahead = false;  // only spans still to be heard were found
        int64_t earliestFrame = 0, earliestNs = 0;
        for (uint64_t i = 1; i <= kept; ++i) {
            const HeardSpan& span = heard_[(count - i) % kHeardSpans];
            if (span.tag.load(std::memory_order_acquire) != tag) break;
            const int64_t begin = span.beginFrame.load(std::memory_order_acquire);
            const int64_t end = span.endFrame.load(std::memory_order_acquire);
            const int64_t beginNs = span.beginNs.load(std::memory_order_acquire);
            ahead = beginNs != 0 && nowNs < beginNs;
            if (!ahead) {
                // Manual output (heard as output), or inside the span, or past it
                // waiting for more: never further than what was output.
                position = beginNs == 0 ? end : std::min(end, begin + framesIn(nowNs - beginNs));
                break;
            }
            earliestFrame = begin;
            earliestNs = beginNs;
        }
        if (ahead) {
            // Everything kept is still to be heard: the ear comes up to it with the
            // clock, but never from behind where this run started.
            position = std::max(std::min(still, earliestFrame),
                                earliestFrame - framesIn(earliestNs - nowNs));
        }
        if (heardSeq_.load(std::memory_order_acquire) == seq) break;
    }
    return std::clamp<int64_t>(position, 0, info_.frames);
}

// ---------------------------------------------------------------- analysis and effects

void Stream::PeakAtPosition(int frames, float* left, float* right) const {
    history_.Peaks(Position(), frames, left, right);
}

AE_HOT void Stream::SpectrumAtPosition(void* out) {
    constexpr int kStep = dsp::Spectrum512::kFrames / 2;
    const bool isPlaying = playing();
    const uint32_t epochNow = EpochOf(control_.load(std::memory_order_acquire));
    const int64_t end = Position() / kStep * kStep;
    std::lock_guard<std::mutex> lock(spectrumMutex_);
    const bool cached = spectrumValid_ && spectrumEpoch_ == epochNow && spectrumEnd_ == end;
    if (!cached) {
        if (!spectrum_) spectrum_ = std::make_unique<dsp::Spectrum512>();
        // The history's means go straight into the transform's input.
        const bool complete = history_.Mean(end, dsp::Spectrum512::kFrames, spectrum_->input());
        // A stream that is not playing and whose history no longer reaches its
        // position (it was moved) keeps showing what was last heard.
        if (complete || isPlaying || !spectrumValid_) {
            spectrum_->ComputeInput(spectrumBins_);
            spectrumValid_ = true;
            spectrumEpoch_ = epochNow;
            spectrumEnd_ = end;
        }
    }
    std::memcpy(out, spectrumBins_, sizeof(spectrumBins_));
}

int Stream::AddEffect(int priority) {
    int slot;
    {
        std::lock_guard<std::mutex> lock(decodeMutex_);
        slot = eq_.AddBand(priority);
    }
    if (slot >= 0) Reprime();
    return slot;
}

bool Stream::RemoveEffect(int slot) {
    bool removed;
    {
        std::lock_guard<std::mutex> lock(decodeMutex_);
        removed = eq_.RemoveBand(slot);
    }
    if (removed) Reprime();
    return removed;
}

bool Stream::SetEffectParams(int slot, const dsp::PeakingParams& params) {
    if (!eq_.SetParams(slot, params)) return false;
    Reprime();
    return true;
}

void Stream::Reprime() {
    // Audio decoded ahead of a stream that is not playing has not been heard yet:
    // decode it again, so that effects set before playback apply from the first
    // frame, at once rather than gliding in.
    std::lock_guard<std::mutex> lock(controlMutex_);
    if (playing() || AtEnd()) return;
    // A re-seek that fails ends the stream there, as any failed seek does; the effect
    // call that asked for it has succeeded all the same.
    static_cast<void>(SeekLocked(stillFrame_.load(std::memory_order_acquire)));
}

bool Stream::GetEffectParams(int slot, dsp::PeakingParams* params) const {
    return eq_.GetParams(slot, params);
}

// ---------------------------------------------------------------- audio callback

void Stream::PublishHeard(uint64_t tag, int64_t beginFrame, int64_t endFrame, int64_t beginNs) {
    const uint32_t seq = heardSeq_.load(std::memory_order_relaxed);
    heardSeq_.store(seq + 1, std::memory_order_release);
    const uint64_t count = heardCount_.load(std::memory_order_relaxed);
    HeardSpan& span = heard_[count % kHeardSpans];
    span.tag.store(tag, std::memory_order_release);
    span.beginFrame.store(beginFrame, std::memory_order_release);
    span.endFrame.store(endFrame, std::memory_order_release);
    span.beginNs.store(beginNs, std::memory_order_release);
    heardCount_.store(count + 1, std::memory_order_release);
    heardSeq_.store(seq + 2, std::memory_order_release);
}

void Stream::DropStale(uint32_t epoch) {
    while (const Chunk* front = ring_.Front()) {
        if (front->epoch == epoch) break;
        ring_.Pop();
        chunkOffset_ = 0;
    }
}

void Stream::Mix(float* out, int frames, const MixTiming& timing) {
    const uint64_t control = control_.load(std::memory_order_acquire);
    const uint32_t epoch = EpochOf(control);
    // Audio from before a seek is dropped whatever the state, so that the decoder can
    // refill the ring from the new place while the stream is paused or stopped.
    DropStale(epoch);
    if (StateOf(control) != kPlaying) return;
    const uint32_t run = run_.load(std::memory_order_acquire);

    const float target = volume_.load(std::memory_order_relaxed);
    if (target != gainTarget_) {
        gainTarget_ = target;
        gainStep_ = (target - gain_) / static_cast<float>(rampFrames_);
        gainRampLeft_ = rampFrames_;
    }

    int done = 0;
    int64_t begun = -1;  // the stream frame this pass starts from
    int64_t reached = -1;
    while (done < frames) {
        const Chunk* chunk = ring_.Front();
        if (!chunk) break;            // the decoder is behind: this stream is silent for now
        if (chunk->epoch != epoch) {  // audio from before a seek
            ring_.Pop();
            chunkOffset_ = 0;
            continue;
        }
        if (begun < 0) begun = chunk->StreamFrameAfter(chunkOffset_);
        const int take = std::min(frames - done, chunk->frames - chunkOffset_);
        const float* in = chunk->samples + 2 * chunkOffset_;
        float* mix = out + 2 * done;
        for (int f = 0; f < take; ++f) {
            if (gainRampLeft_ > 0) {
                gain_ = --gainRampLeft_ > 0 ? gain_ + gainStep_ : gainTarget_;
            }
            mix[2 * f] += in[2 * f] * gain_;
            mix[2 * f + 1] += in[2 * f + 1] * gain_;
        }
        chunkOffset_ += take;
        done += take;
        reached = chunk->StreamFrameAfter(chunkOffset_);
        if (chunkOffset_ >= chunk->frames) {
            if (chunk->last) lastOutEpoch_ = epoch;
            ring_.Pop();
            chunkOffset_ = 0;
        }
    }
    // The stream ends when it is asked for more than its last frame, so a block that
    // ends exactly on that frame leaves it playing until the next one.
    const bool ended = done < frames && lastOutEpoch_ == epoch;
    if (reached < 0 && !ended) return;
    if (reached < 0) begun = reached = endedFrameOut_;
    endedFrameOut_ = reached;
    // The stream's audio fills the block from its start.
    PublishHeard(HeardTag(epoch, run), begun, reached, std::max<int64_t>(timing.blockHeardNs, 0));
    if (ended) {
        endedFrame_.store(reached, std::memory_order_release);
        endedEpoch_.store(epoch, std::memory_order_release);
        uint64_t expected = control;
        control_.compare_exchange_strong(expected, Pack(epoch, kStopped),
                                         std::memory_order_acq_rel);
    }
}

bool Stream::ReadyFor(int frames) {
    const uint64_t control = control_.load(std::memory_order_acquire);
    if (StateOf(control) != kPlaying) return true;
    const uint32_t epoch = EpochOf(control);
    DropStale(epoch);
    int available = -chunkOffset_;
    bool end = lastOutEpoch_ == epoch;
    ring_.Peek([&](const Chunk& chunk) {
        if (chunk.epoch != epoch) return false;
        available += chunk.frames;
        end = chunk.last;
        return !end && available < frames;
    });
    return end || available >= frames;
}

}  // namespace ae
