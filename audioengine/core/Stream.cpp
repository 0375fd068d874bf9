// SPDX-License-Identifier: MIT
#include "audioengine/core/Stream.h"

#include <limits.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "audioengine/decode/Resampler.h"
#include "audioengine/dsp/PeakLevel.h"
#include "plugin/engine/Bass.h"

#ifdef _WIN32
#include "audioengine/platform/WindowsFile.h"
#endif

namespace ae {
namespace {

// The ready ring holds at most this much audio: an effect change reaches the ear
// within it.
constexpr double kReadyRingSeconds = 0.1;
// Output frames one decode step aims at, and the most samples one step decodes.
constexpr int kOutputFramesPerStep = 1024;
constexpr int kMaxDecodeSamples = 4096;
// Resampled audio waiting for a whole chunk; one step produces well under this.
constexpr int kStageFrames = 2048;
// How long after a seek or re-prime the decode side counts as refilling (see
// Stream::Refilling): longer than any output block the callback asks for at once.
constexpr int64_t kRefillWindowNs = 250'000'000;
// Every channel the decoder can give has an equaliser state of its own.
static_assert(kMaxDecodedChannels <= dsp::kMaxChannels);
// Tries of a lock-free transport read before a reader takes the control lock.
constexpr int kTransportTries = 16;
// A spectrum subscription lapses after this long without a request (output time).
constexpr int kSpectrumLapseSeconds = 1;
constexpr int kSpectrumStep = SpectrumRing::kStep;

int64_t FloorStep(int64_t frame) { return frame / kSpectrumStep * kSpectrumStep; }

enum : int {
    kStopped = BASS_ACTIVE_STOPPED,
    kPlaying = BASS_ACTIVE_PLAYING,
    kPaused = BASS_ACTIVE_PAUSED,
};

// The analysis history must reach from the decode front back past everything the
// decode side can be ahead of the ear, to the start of the longest window a query
// reads. In stream frames, at stream rate R and output rate O:
//
//   (ring + stage + output buffer) x R / O   the audio between the ear and the decoder,
//                                            in output frames: the ready ring (at most
//                                            100 ms), a chunk and a step's output
//                                            waiting in the stage, the output's buffer
//   + one decode step                        appended before it is resampled
//   + max(20 ms meter, 512 + 256 spectrum)   the window, whose end may be floored to a
//                                            256-frame step
//   + 256                                    rounding
//
// at 8 bytes a frame (AnalysisHistory).
// So it grows with the stream's rate only, and with nothing else: about 0.17 s of the
// stream's rate plus the output's buffer at a 44.1 kHz output, and more at low output
// rates, where a chunk and a step are long.
int HistoryFrames(int rate, const StreamSetup& setup, int ringChunks, int decodeBlockFrames) {
    const double perOutputFrame = static_cast<double>(rate) / setup.outputRate;
    const int stepOutput = static_cast<int>(std::ceil(decodeBlockFrames / perOutputFrame));
    const int leadOutput =
        ringChunks * kChunkFrames + kChunkFrames + stepOutput + setup.outputBufferFrames;
    const int window =
        std::max(static_cast<int>(std::ceil(rate * 0.02)), dsp::Spectrum512::kFrames + 256);
    return static_cast<int>(std::ceil(leadOutput * perOutputFrame)) + decodeBlockFrames + window +
           256;
}

int RingChunks(int outputRate) {
    return std::max(4, static_cast<int>(kReadyRingSeconds * outputRate) / kChunkFrames);
}

int DecodeBlockFrames(const DecoderInfo& info, int outputRate) {
    const double perStep = static_cast<double>(kOutputFramesPerStep) * info.rate / outputRate;
    return std::clamp(static_cast<int>(perStep), 16, kMaxDecodeSamples / info.channels);
}

}  // namespace

AE_HOT int64_t MonotonicNs() {
#if defined(CLOCK_MONOTONIC) && !defined(_WIN32)
    // The C library's clock directly: steady_clock goes through one more library,
    // whose code a once-a-frame query would find cold.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
#else
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

// `path` made absolute, in the encoding it came in; itself when that fails.
static std::string AbsolutePath(const std::string& path) {
#ifdef _WIN32
    const std::string absolute = AbsoluteAnsiPath(path);
    return absolute.empty() ? path : absolute;
#else
    std::string absolute = path;
    if (char* resolved = realpath(path.c_str(), nullptr)) {
        absolute = resolved;
        free(resolved);
    }
    return absolute;
#endif
}

int VolumeRampFrames(int outputRate) { return std::max(1, outputRate / 200); }  // 5 ms

Result<std::unique_ptr<Stream>> Stream::Open(const std::string& path, const StreamSetup& setup) {
    Result<std::unique_ptr<Decoder>> opened = OpenDecoder(path);
    if (!opened.ok()) return opened.error();
    std::unique_ptr<Decoder> decoder = std::move(opened).value();
    std::string absolute = AbsolutePath(path);
    const int64_t payload = AudioPayloadBytes(path);
    std::unique_ptr<Stream> stream(
        new Stream(std::move(decoder), std::move(absolute), payload, setup));
    if (stream->info_.rate != setup.outputRate && !stream->resampler_) {
        return Error{BASS_ERROR_MEM};
    }
    return stream;
}

Stream::Stream(std::unique_ptr<Decoder> decoder, std::string path, int64_t payloadBytes,
               const StreamSetup& setup)
    : decoder_(std::move(decoder)),
      info_(decoder_->info()),
      path_(std::move(path)),
      payloadBytes_(payloadBytes),
      outputRate_(setup.outputRate),
      decodeBlockFrames_(DecodeBlockFrames(info_, setup.outputRate)),
      rampFrames_(VolumeRampFrames(setup.outputRate)),
      downmix_(info_.channels, info_.channelMask),
      spectrumAheadAllowed_(setup.spectrumAhead),
      ring_(RingChunks(setup.outputRate)),
      transport_(Pack(1, 0, kStopped)),
      history_(HistoryFrames(info_.rate, setup, RingChunks(setup.outputRate), decodeBlockFrames_)),
      fade_(static_cast<size_t>(rampFrames_) * 2),
      eq_(info_.rate, info_.channels) {
    decoded_.resize(static_cast<size_t>(decodeBlockFrames_) * info_.channels);
    stereo_.resize(static_cast<size_t>(decodeBlockFrames_) * 2);
    stage_.resize(static_cast<size_t>(kStageFrames) * 2);
    if (info_.rate != outputRate_) resampler_ = CreateResampler(info_.rate, outputRate_, 2);
    producerEpoch_ = 1;  // the decoder starts at frame 0, as epoch 1 asks
    history_.Reset(0);
}

Stream::~Stream() { soxr_delete(resampler_); }

// ---------------------------------------------------------------- decode side

bool Stream::TryBeginJob(int64_t nowNs) {
    if (busy_.exchange(true, std::memory_order_acquire)) return false;
    jobSinceNs_.store(nowNs, std::memory_order_relaxed);
    return true;
}

void Stream::EndJob() {
    jobSinceNs_.store(0, std::memory_order_relaxed);
    busy_.store(false, std::memory_order_release);
}

bool Stream::StuckInJob(int64_t nowNs, int64_t patienceNs) const {
    const int64_t since = jobSinceNs_.load(std::memory_order_relaxed);
    return since != 0 && nowNs - since > patienceNs;
}

bool Stream::Pump() {
    Transport transport;
    // A control call is writing: come back at the next round rather than wait.
    if (!TryReadTransport(&transport)) return true;
    const uint32_t epoch = EpochOf(transport.word);
    if (epoch != producerEpoch_) {
        Restart(epoch, transport.target);
        return true;
    }
    if (StateOf(transport.word) == kFreed || lastQueued_) {
        refilling_.store(false, std::memory_order_relaxed);
        return false;
    }
    Chunk* chunk = ring_.BeginPush();
    if (refilling_.load(std::memory_order_relaxed) &&
        (outputQueued_ >= static_cast<int64_t>(ring_.capacity()) * kChunkFrames ||
         MonotonicNs() - restartNs_ > kRefillWindowNs)) {
        refilling_.store(false, std::memory_order_relaxed);
    }
    if (!chunk) return false;
    if (stageFrames_ - stageBegin_ >= kChunkFrames || flushed_) {
        // Every chunk the stage can fill, as far as the ring has room: one step, so
        // that a worker's visit is not a claim of the stream per 128 frames.
        do {
            PushChunk(chunk);
        } while (!lastQueued_ && (stageFrames_ - stageBegin_ >= kChunkFrames || flushed_) &&
                 (chunk = ring_.BeginPush()) != nullptr);
        return true;
    }
    CompactStage();
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

void Stream::Restart(uint32_t epoch, int64_t frame) {
    // The one place a seek touches the file: on this stream's job, so that a slow
    // disk delays this stream alone.
    const bool sought = decoder_->Seek(frame);
    if (resampler_) soxr_clear(resampler_);
    {
        std::lock_guard<std::mutex> lock(eqMutex_);
        eq_.Reset();
    }
    history_.Reset(frame);
    aheadRunning_ = false;  // the spectra start again from the new place
    stageBegin_ = stageFrames_ = 0;
    base_ = frame;
    decodedFrames_ = 0;
    outputQueued_ = 0;
    // A file that cannot be read at the target ends there instead of playing on from
    // an undefined place.
    inputEnded_ = flushed_ = !sought;
    lastQueued_ = false;
    producerEpoch_ = epoch;
    restartNs_ = MonotonicNs();
    refilling_.store(true, std::memory_order_relaxed);
}

bool Stream::DecodeBlock() {
    int64_t got = decoder_->Read(decoded_.data(), decodeBlockFrames_);
    if (got < decodeBlockFrames_) inputEnded_ = true;  // the end, or a read error
    got = std::clamp<int64_t>(got, 0, decodeBlockFrames_);
    if (got == 0) return false;
    const int frames = static_cast<int>(got);
    {
        std::lock_guard<std::mutex> lock(eqMutex_);
        if (eq_.bandCount() > 0) eq_.Process(decoded_.data(), static_cast<size_t>(frames));
    }
    history_.Append(decoded_.data(), frames, info_.channels);
    decodedFrames_ += frames;
    ComputeSpectraAhead();
    if (!resampler_ && frames <= kStageFrames - stageFrames_) {
        // At the output's rate the stereo goes straight into the stage.
        downmix_.Process(decoded_.data(), frames, stage_.data() + 2 * stageFrames_);
        stageFrames_ += frames;
        return true;
    }
    downmix_.Process(decoded_.data(), frames, stereo_.data());
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
        const size_t slice = std::min(frames - consumed, kResamplerSliceFrames);
        const soxr_error_t failed = soxr_process(
            resampler_, stereo + 2 * consumed, slice, &used, stage_.data() + 2 * stageFrames_,
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

void Stream::CompactStage() {
    // What is left is under a chunk: moving it to the front is cheap, where moving
    // the rest of a step's output after every chunk taken was not.
    if (stageBegin_ == 0) return;
    std::memmove(stage_.data(), stage_.data() + 2 * stageBegin_,
                 sizeof(float) * 2 * static_cast<size_t>(stageFrames_ - stageBegin_));
    stageFrames_ -= stageBegin_;
    stageBegin_ = 0;
}

void Stream::PushChunk(Chunk* chunk) {
    const int frames = std::min(stageFrames_ - stageBegin_, kChunkFrames);
    std::memcpy(chunk->samples, stage_.data() + 2 * stageBegin_,
                sizeof(float) * 2 * static_cast<size_t>(frames));
    stageBegin_ += frames;
    if (stageBegin_ == stageFrames_) stageBegin_ = stageFrames_ = 0;
    const int64_t decodedEnd = base_ + decodedFrames_;
    chunk->epoch = producerEpoch_;
    chunk->frames = frames;
    chunk->streamBegin = std::min(base_ + StreamFrameOfOutput(outputQueued_), decodedEnd);
    outputQueued_ += frames;
    chunk->streamEnd = std::min(base_ + StreamFrameOfOutput(outputQueued_), decodedEnd);
    chunk->last = flushed_ && stageFrames_ == stageBegin_;
    if (chunk->last) {
        chunk->streamEnd = decodedEnd;  // the last frame heard is the last decoded
        lastQueued_ = true;
    }
    ring_.Push();
}

// ---------------------------------------------------------------- transport

AE_HOT bool Stream::TryReadTransport(Transport* transport) const {
    for (int attempt = 0; attempt < kTransportTries; ++attempt) {
        const uint32_t seq = transportSeq_.load(std::memory_order_acquire);
        if (seq & 1) continue;
        *transport = LoadTransport();
        std::atomic_thread_fence(std::memory_order_acquire);
        if (transportSeq_.load(std::memory_order_relaxed) == seq) return true;
    }
    return false;
}

AE_HOT Stream::Transport Stream::LoadTransport() const {
    Transport transport;
    transport.word = transport_.load(std::memory_order_acquire);
    transport.still = stillFrame_.load(std::memory_order_relaxed);
    transport.target = targetFrame_.load(std::memory_order_relaxed);
    return transport;
}

AE_HOT Stream::Transport Stream::ReadTransport() const {
    Transport transport;
    if (TryReadTransport(&transport)) return transport;
    // A writer was preempted inside its few stores: wait for it rather than spin.
    std::lock_guard<std::mutex> lock(controlMutex_);
    return LoadTransport();
}

template <typename Change>
void Stream::WriteTransport(int64_t still, int64_t target, Change change) {
    const uint32_t seq = transportSeq_.load(std::memory_order_relaxed);
    transportSeq_.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    stillFrame_.store(still, std::memory_order_relaxed);
    targetFrame_.store(target, std::memory_order_relaxed);
    // The callback may stop the stream at its end meanwhile: change what is there.
    uint64_t word = transport_.load(std::memory_order_acquire);
    while (!transport_.compare_exchange_weak(word, change(word), std::memory_order_acq_rel)) {
    }
    transportSeq_.store(seq + 2, std::memory_order_release);
}

AE_HOT bool Stream::playing() const {
    return StateOf(transport_.load(std::memory_order_acquire)) == kPlaying;
}

int Stream::Activity() const {
    const int state = StateOf(transport_.load(std::memory_order_acquire));
    return state == kFreed ? kStopped : state;
}

bool Stream::AtEnd(uint64_t word) const {
    return endedEpoch_.load(std::memory_order_acquire) == EpochOf(word);
}

void Stream::Play(bool restart) {
    std::lock_guard<std::mutex> lock(controlMutex_);
    const Transport now = LoadTransport();
    const bool fromStart = restart || AtEnd(now.word);
    if (StateOf(now.word) == kFreed) return;
    if (!fromStart && StateOf(now.word) == kPlaying) return;
    WriteTransport(fromStart ? 0 : now.still, fromStart ? 0 : now.target, [&](uint64_t word) {
        return Pack(EpochOf(word) + (fromStart ? 1 : 0), RunOf(word) + 1, kPlaying);
    });
}

void Stream::Pause() {
    std::lock_guard<std::mutex> lock(controlMutex_);
    const Transport now = LoadTransport();
    if (StateOf(now.word) != kPlaying) return;
    WriteTransport(PositionFrom(now, MonotonicNs()), now.target,
                   [](uint64_t word) { return Pack(EpochOf(word), RunOf(word) + 1, kPaused); });
}

void Stream::Stop() {
    std::lock_guard<std::mutex> lock(controlMutex_);
    const Transport now = LoadTransport();
    const int state = StateOf(now.word);
    if (state == kStopped || state == kFreed) return;
    const int64_t still = state == kPlaying ? PositionFrom(now, MonotonicNs()) : now.still;
    WriteTransport(still, now.target,
                   [](uint64_t word) { return Pack(EpochOf(word), RunOf(word) + 1, kStopped); });
}

void Stream::Free() {
    std::lock_guard<std::mutex> lock(controlMutex_);
    const Transport now = LoadTransport();
    WriteTransport(now.still, now.target,
                   [](uint64_t word) { return Pack(EpochOf(word), RunOf(word) + 1, kFreed); });
}

Status Stream::Seek(int64_t frame) {
    if (frame < 0 || frame > info_.frames) return Error{BASS_ERROR_POSITION};
    std::lock_guard<std::mutex> lock(controlMutex_);
    SeekLocked(frame);
    return {};
}

void Stream::SeekLocked(int64_t frame) {
    // The decode side sees the new epoch and restarts from `frame` as its next job;
    // what is queued from before is dropped by the callback (after a fade-out).
    WriteTransport(frame, frame, [](uint64_t word) {
        return Pack(EpochOf(word) + 1, RunOf(word) + 1, StateOf(word));
    });
}

int64_t Stream::ResumeFrame(const Transport& transport) const {
    // Where the callback stopped taking audio in this epoch; where the epoch began
    // when it has taken none.
    if (mixedEpoch_.load(std::memory_order_acquire) == EpochOf(transport.word)) {
        return mixedFrame_.load(std::memory_order_acquire);
    }
    return transport.target;
}

void Stream::Reprime() {
    // Audio decoded ahead of a stream that is not playing has not been heard yet:
    // decode it again, so that effects set before playback apply from the first
    // frame, at once rather than gliding in. It restarts where the callback stopped
    // taking audio, not at the heard position, so nothing heard is heard twice.
    std::lock_guard<std::mutex> lock(controlMutex_);
    const Transport now = LoadTransport();
    const int state = StateOf(now.word);
    if (state == kPlaying || state == kFreed || AtEnd(now.word)) return;
    WriteTransport(now.still, ResumeFrame(now), [](uint64_t word) {
        return Pack(EpochOf(word) + 1, RunOf(word) + 1, StateOf(word));
    });
}

int64_t Stream::Position() const { return PositionAt(MonotonicNs()); }

int64_t Stream::PositionAt(int64_t nowNs) const { return PositionFrom(ReadTransport(), nowNs); }

AE_HOT int64_t Stream::PositionFrom(const Transport& transport, int64_t nowNs) const {
    const uint32_t epoch = EpochOf(transport.word);
    if (endedEpoch_.load(std::memory_order_acquire) == epoch) {
        return std::clamp<int64_t>(endedFrame_.load(std::memory_order_acquire), 0, info_.frames);
    }
    const int64_t still = transport.still;
    if (StateOf(transport.word) != kPlaying) return still;
    const uint64_t tag = HeardTag(epoch, RunOf(transport.word));
    // Stream frames heard over `ns` nanoseconds.
    const auto framesIn = [this](int64_t ns) {
        return static_cast<int64_t>(static_cast<double>(ns) * info_.rate / 1e9);
    };

    const uint64_t count = heardCount_.load(std::memory_order_acquire);
    const uint64_t kept = std::min<uint64_t>(count, kHeardSpans);
    // Newest first: the first span whose audio has begun to be heard holds the ear.
    // Spans still to be heard (rendered ahead) are passed over; a span of an earlier
    // run or epoch, or one being rewritten, ends the search.
    int64_t position = still;
    bool ahead = false;  // only spans still to be heard were found
    int64_t earliestFrame = 0, earliestNs = 0;
    for (uint64_t i = 1; i <= kept; ++i) {
        const HeardSpan& span = heard_[(count - i) % kHeardSpans];
        const uint32_t seq = span.seq.load(std::memory_order_acquire);
        const uint64_t spanTag = span.tag.load(std::memory_order_relaxed);
        const int64_t begin = span.beginFrame.load(std::memory_order_relaxed);
        const int64_t end = span.endFrame.load(std::memory_order_relaxed);
        const int64_t beginNs = span.beginNs.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((seq & 1) || span.seq.load(std::memory_order_relaxed) != seq) break;
        if (spanTag != tag) break;
        ahead = beginNs != 0 && nowNs < beginNs;
        if (!ahead) {
            // Manual output (heard as output), or inside the span, or past it waiting
            // for more: never further than what was output.
            position = beginNs == 0 ? end : std::min(end, begin + framesIn(nowNs - beginNs));
            break;
        }
        earliestFrame = begin;
        earliestNs = beginNs;
    }
    if (ahead) {
        // Everything kept is still to be heard: the ear comes up to it with the clock,
        // but never from behind where this run started.
        position =
            std::max(std::min(still, earliestFrame), earliestFrame - framesIn(earliestNs - nowNs));
    }
    return std::clamp<int64_t>(position, 0, info_.frames);
}

// ---------------------------------------------------------------- analysis and effects

void Stream::LevelAtPosition(int frames, uint32_t* left, uint32_t* right) const {
    history_.Levels(Position(), frames, left, right);
}

void Stream::ComputeSpectraAhead() {
    if (!ahead_.allocated()) return;  // never asked for
    const int64_t sinceAsked = mixClock_.load(std::memory_order_relaxed) -
                               spectrumAskedAt_.load(std::memory_order_relaxed);
    if (sinceAsked > static_cast<int64_t>(outputRate_) * kSpectrumLapseSeconds) {
        aheadRunning_ = false;  // lapsed: nobody is looking
        return;
    }
    const int64_t front = base_ + decodedFrames_;
    if (!aheadRunning_ || aheadEpoch_ != producerEpoch_) {
        // From the step being heard (or the epoch's first), so that the next request
        // already finds its spectrum.
        int64_t from = FloorStep(base_);
        const int64_t heard = Position();
        if (heard > from) from = std::min(FloorStep(heard), FloorStep(front));
        aheadNext_ = from;
        aheadEpoch_ = producerEpoch_;
        aheadRunning_ = true;
    }
    uint64_t done = 0;
    for (; aheadNext_ <= front; aheadNext_ += kSpectrumStep) {
        const uint64_t key = SpectrumRing::Key(producerEpoch_, aheadNext_);
        float* bins = ahead_.Claim(key);
        if (!bins) continue;  // a reader is in that slot: computed on demand if asked
        SpectrumRing::Facts facts;
        // Exactly what a request computes on demand: see SpectrumOnDemand.
        facts.complete =
            history_.Mean(aheadNext_, dsp::Spectrum512::kFrames, aheadSpectrum_->input());
        facts.heldFrom = history_.HeldFrom();
        aheadSpectrum_->ComputeInput(bins);
        ahead_.Publish(key, facts);
        ++done;
    }
    if (done)
        spectraAhead_.store(spectraAhead_.load(std::memory_order_relaxed) + done,
                            std::memory_order_relaxed);
}

AE_HOT void Stream::SpectrumAtPosition(void* out) {
    const Transport transport = ReadTransport();
    const bool isPlaying = StateOf(transport.word) == kPlaying;
    const uint32_t epochNow = EpochOf(transport.word);
    const int64_t end = FloorStep(PositionFrom(transport, MonotonicNs()));
    // Renews the subscription (a store only when the output's time has moved).
    const int64_t now = mixClock_.load(std::memory_order_relaxed);
    if (spectrumAskedAt_.load(std::memory_order_relaxed) != now) {
        spectrumAskedAt_.store(now, std::memory_order_relaxed);
    }
    {
        // The spectrum computed ahead stands for this request when a request computing
        // it now would give the same: the history still holds what it held then, and
        // the stream plays or its history held the whole window (see SpectrumOnDemand).
        const int64_t windowStart = end - dsp::Spectrum512::kFrames;
        const auto usable = [&](const SpectrumRing::Facts& facts) {
            return (facts.complete || isPlaying) &&
                   history_.HeldFrom() <= std::max(windowStart, facts.heldFrom);
        };
        if (ahead_.Read(SpectrumRing::Key(epochNow, end), usable, out)) return;
    }
    SpectrumOnDemand(isPlaying, epochNow, end, out);
}

void Stream::SpectrumOnDemand(bool isPlaying, uint32_t epochNow, int64_t end, void* out) {
    std::lock_guard<std::mutex> lock(spectrumMutex_);
    if (!spectrum_) spectrum_ = std::make_unique<dsp::Spectrum512>();
    if (!aheadSpectrum_ && spectrumAheadAllowed_) {
        // The first request: from now on the decode side computes ahead while asked.
        // Enough slots for every step between the ear and the decoder.
        aheadSpectrum_ = std::make_unique<dsp::Spectrum512>();
        ahead_.Allocate(history_.capacity() / kSpectrumStep + 2);
    }
    const bool cacheShown = ahead_.shownKey() == SpectrumRing::kNoKey;
    const bool cached =
        spectrumValid_ && cacheShown && spectrumEpoch_ == epochNow && spectrumEnd_ == end;
    if (!cached) {
        // The history's means go straight into the transform's input.
        const bool complete = history_.Mean(end, dsp::Spectrum512::kFrames, spectrum_->input());
        // A stream that is not playing and whose history no longer reaches its
        // position (it was moved) keeps showing what was last heard.
        if (complete || isPlaying || !spectrumValid_) {
            spectrum_->ComputeInput(spectrumBins_);
            ++spectraOnDemand_;
            spectrumValid_ = true;
            spectrumEpoch_ = epochNow;
            spectrumEnd_ = end;
            ahead_.ShowOther();
        } else if (ahead_.ReadShown(out)) {
            return;  // what was last shown came from the ring
        }
    }
    std::memcpy(out, spectrumBins_, sizeof(spectrumBins_));
}

SpectrumWork Stream::spectrumWork() {
    SpectrumWork work;
    work.ahead = spectraAhead_.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(spectrumMutex_);
    work.onDemand = spectraOnDemand_;
    return work;
}

int Stream::AddEffect(int priority) {
    int slot;
    {
        std::lock_guard<std::mutex> lock(eqMutex_);
        slot = eq_.AddBand(priority);
    }
    if (slot >= 0) Reprime();
    return slot;
}

bool Stream::RemoveEffect(int slot) {
    bool removed;
    {
        std::lock_guard<std::mutex> lock(eqMutex_);
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

bool Stream::GetEffectParams(int slot, dsp::PeakingParams* params) const {
    return eq_.GetParams(slot, params);
}

// ---------------------------------------------------------------- audio callback

void Stream::PublishHeard(uint64_t tag, int64_t beginFrame, int64_t endFrame, int64_t beginNs) {
    const uint64_t count = heardCount_.load(std::memory_order_relaxed);
    HeardSpan& span = heard_[count % kHeardSpans];
    const uint32_t seq = span.seq.load(std::memory_order_relaxed);
    span.seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    span.tag.store(tag, std::memory_order_relaxed);
    span.beginFrame.store(beginFrame, std::memory_order_relaxed);
    span.endFrame.store(endFrame, std::memory_order_relaxed);
    span.beginNs.store(beginNs, std::memory_order_relaxed);
    span.seq.store(seq + 2, std::memory_order_release);
    heardCount_.store(count + 1, std::memory_order_release);
}

void Stream::PublishMixed(uint32_t epoch, int64_t frame) {
    mixedFrame_.store(frame, std::memory_order_release);
    mixedEpoch_.store(epoch, std::memory_order_release);
}

void Stream::DropOlder(uint32_t epoch) {
    while (const Chunk* front = ring_.Front()) {
        if (!Older(front->epoch, epoch)) break;
        ring_.Pop();
        chunkOffset_ = 0;
    }
}

void Stream::LeaveOlderAudio(uint32_t epoch, bool play) {
    if (audible_ && (!play || audibleEpoch_ != epoch)) {
        CaptureFade(audibleEpoch_);
        audible_ = false;
    }
    DropOlder(epoch);
}

void Stream::CaptureFade(uint32_t epoch) {
    // Copies the next few milliseconds of what was playing, to be played out fading to
    // silence over whatever comes next: a cut in mid-waveform would click. The audio
    // stays queued: a resume starts from it again (fading in), and a seek drops it.
    DropOlder(epoch);
    int captured = 0;
    int skip = chunkOffset_;
    ring_.Peek([&](const Chunk& chunk) {
        if (chunk.epoch != epoch) return false;
        const int take = std::min(rampFrames_ - captured, chunk.frames - skip);
        std::memcpy(fade_.data() + 2 * captured, chunk.samples + 2 * skip,
                    sizeof(float) * 2 * static_cast<size_t>(take));
        captured += take;
        skip = 0;
        return captured < rampFrames_;
    });
    fadeCaptured_ = captured;
    fadePlayed_ = 0;
    fadeGain_ = gain_;
}

int Stream::PlayFade(float* out, int frames) {
    const int n = std::min(frames, fadeCaptured_ - fadePlayed_);
    const float step = 1.0f / static_cast<float>(std::max(1, fadeCaptured_));
    for (int f = 0; f < n; ++f) {
        const int k = fadePlayed_ + f;
        const float g = fadeGain_ * (1.0f - static_cast<float>(k + 1) * step);
        out[2 * f] += fade_[2 * k] * g;
        out[2 * f + 1] += fade_[2 * k + 1] * g;
    }
    fadePlayed_ += n;
    return n;
}

bool Stream::Mix(float* out, int frames, const MixTiming& timing) {
    mixClock_.store(mixClock_.load(std::memory_order_relaxed) + frames, std::memory_order_relaxed);
    const bool sound = MixBlock(out, frames, timing);
    sounding_.store(audible_ || fadePlayed_ < fadeCaptured_, std::memory_order_release);
    return sound;
}

bool Stream::MixBlock(float* out, int frames, const MixTiming& timing) {
    const uint64_t word = transport_.load(std::memory_order_acquire);
    const uint32_t epoch = EpochOf(word);
    const int state = StateOf(word);
    const bool play = state == kPlaying;
    // Audio from before a seek is dropped whatever the state, so that the decoder can
    // refill the ring from the new place while the stream is paused or stopped. Audio
    // of a newer epoch than this pass has seen stays for the next pass.
    LeaveOlderAudio(epoch, play);
    // The fade-out overlays the block's start; after a seek the new audio fades in
    // under it.
    const bool faded = PlayFade(out, frames) > 0;
    if (!play) {
        if (state == kFreed && fadePlayed_ >= fadeCaptured_) {
            faded_.store(true, std::memory_order_release);
        }
        return faded;
    }
    const uint32_t run = RunOf(word);

    const float target = volume_.load(std::memory_order_relaxed);
    if (!audible_) {
        // Silent until now: the volume holds from the first sample.
        gain_ = gainTarget_ = target;
        gainRampLeft_ = 0;
    } else if (target != gainTarget_) {
        gainTarget_ = target;
        gainStep_ = (target - gain_) / static_cast<float>(rampFrames_);
        gainRampLeft_ = rampFrames_;
    }

    int done = 0;
    int64_t begun = -1;  // the stream frame this pass starts from
    int64_t reached = -1;
    int offset = 0;  // output frames of the block before this stream's audio
    const float fadeStep = 1.0f / static_cast<float>(rampFrames_);
    while (done < frames) {
        const Chunk* chunk = ring_.Front();
        if (!chunk || chunk->epoch != epoch) break;  // the decoder is behind: silent for now
        if (begun < 0) {
            begun = chunk->StreamFrameAfter(chunkOffset_);
            offset = done;
            if (!audible_) {
                // Sound starts: it fades in, except a start from the file's first frame,
                // which is the file's own beginning (and keeps renders sample-exact).
                rampInLeft_ = begun == 0 ? 0 : rampFrames_;
                audible_ = true;
                audibleEpoch_ = epoch;
            }
        }
        const int take = std::min(frames - done, chunk->frames - chunkOffset_);
        const float* in = chunk->samples + 2 * chunkOffset_;
        float* mix = out + 2 * done;
        // Frame by frame while a glide or a fade-in is under way, then the steady gain
        // in a loop the compiler vectorises (the same products, element by element).
        int f = 0;
        for (; f < take && (gainRampLeft_ > 0 || rampInLeft_ > 0); ++f) {
            if (gainRampLeft_ > 0) {
                gain_ = --gainRampLeft_ > 0 ? gain_ + gainStep_ : gainTarget_;
            }
            float g = gain_;
            if (rampInLeft_ > 0) g *= 1.0f - static_cast<float>(rampInLeft_--) * fadeStep;
            mix[2 * f] += in[2 * f] * g;
            mix[2 * f + 1] += in[2 * f + 1] * g;
        }
        const float steady = gain_;
        for (int i = 2 * f; i < 2 * take; ++i) mix[i] += in[i] * steady;
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
    if (reached < 0 && !ended) return true;
    if (reached < 0) begun = reached = endedFrameOut_;
    endedFrameOut_ = reached;
    PublishMixed(epoch, reached);
    int64_t heardNs = 0;
    if (timing.blockHeardNs > 0) {
        heardNs = timing.blockHeardNs + static_cast<int64_t>(offset) * 1000000000 / outputRate_;
    }
    PublishHeard(HeardTag(epoch, run), begun, reached, heardNs);
    if (ended) {
        audible_ = false;  // the file's own end: nothing to fade
        endedFrame_.store(reached, std::memory_order_release);
        endedEpoch_.store(epoch, std::memory_order_release);
        uint64_t expected = word;
        transport_.compare_exchange_strong(expected, Pack(epoch, run, kStopped),
                                           std::memory_order_acq_rel);
    }
    return true;
}

bool Stream::ReadyFor(int frames) {
    const uint64_t word = transport_.load(std::memory_order_acquire);
    if (StateOf(word) != kPlaying) return true;  // a fade-out uses what is queued
    const uint32_t epoch = EpochOf(word);
    // As Mix will: take the fade-out of what played before a seek, drop the rest.
    LeaveOlderAudio(epoch, true);
    // After this render a fade's worth stays queued, so that a pause or seek before
    // the next one fades out the same audio however fast the decoder ran.
    const int need = frames + rampFrames_;
    int available = -chunkOffset_;
    bool end = lastOutEpoch_ == epoch;
    ring_.Peek([&](const Chunk& chunk) {
        if (chunk.epoch != epoch) return false;
        available += chunk.frames;
        end = chunk.last;
        return !end && available < need;
    });
    return end || available >= need;
}

}  // namespace ae
