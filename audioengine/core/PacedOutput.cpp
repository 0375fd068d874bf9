// SPDX-License-Identifier: MIT
// The paced outputs: null (renders and discards) and WAV (renders and records), and
// the timetable they and the device output's fallback keep.
#include "audioengine/core/PacedOutput.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "audioengine/core/Engine.h"
#include "audioengine/core/Output.h"
#include "audioengine/core/ThreadPriority.h"
#include "audioengine/core/WavWriter.h"
#include "plugin/engine/Bass.h"

namespace ae {
namespace {

// The paced outputs stand in for a sound device, and hold a device's buffer: audio is
// rendered this far ahead of the time it stands for, so that when their thread wakes
// late (a busy machine), what was rendered plays on and the heard position keeps up
// with the clock. It is also what a start, pause or seek waits before it is heard.
constexpr int64_t kPacedLeadNs = kSecondNs / 100;
// Blocks per second of the paced outputs (5 ms): a start lands on the next block.
constexpr int kPacedBlocksPerSecond = 200;

}  // namespace

// Single-producer single-consumer queue of stereo frames between the paced renderer
// and the WAV writer thread. The producer never waits: when the writer falls that
// far behind, the frames that do not fit are dropped. A writer with nothing to write
// sleeps in Sleep() until the producer writes again (it takes the lock to wake it
// only then, once per start of sound).
class FrameQueue {
  public:
    explicit FrameQueue(size_t frames) : samples_(frames * 2), capacity_(frames) {}
    void Write(const float* stereo, size_t frames) {
        const uint64_t write = write_.load(std::memory_order_relaxed);
        const size_t room =
            capacity_ - static_cast<size_t>(write - read_.load(std::memory_order_acquire));
        frames = std::min(frames, room);
        for (size_t i = 0; i < frames; ++i) {
            const size_t at = static_cast<size_t>((write + i) % capacity_) * 2;
            samples_[at] = stereo[2 * i];
            samples_[at + 1] = stereo[2 * i + 1];
        }
        write_.store(write + frames, std::memory_order_seq_cst);
        if (sleeping_.load(std::memory_order_seq_cst)) Ring();
    }
    // Wakes the writer from Sleep().
    void Ring() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            rung_ = true;
        }
        wake_.notify_one();
    }
    // Writer: returns when frames are queued or Ring() is called.
    void Sleep() {
        sleeping_.store(true, std::memory_order_seq_cst);
        if (write_.load(std::memory_order_seq_cst) == read_.load(std::memory_order_relaxed)) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return rung_; });
            rung_ = false;
        }
        sleeping_.store(false, std::memory_order_relaxed);
    }
    // Passes the queued frames, in at most two runs, to `sink(const float*, frames)`.
    template <typename Sink>
    void Drain(Sink sink) {
        const uint64_t read = read_.load(std::memory_order_relaxed);
        const uint64_t write = write_.load(std::memory_order_acquire);
        uint64_t at = read;
        while (at != write) {
            const size_t offset = static_cast<size_t>(at % capacity_);
            const size_t run =
                std::min<size_t>(static_cast<size_t>(write - at), capacity_ - offset);
            sink(samples_.data() + offset * 2, run);
            at += run;
        }
        read_.store(write, std::memory_order_release);
    }

  private:
    std::vector<float> samples_;
    size_t capacity_;
    std::atomic<uint64_t> write_{0};
    std::atomic<uint64_t> read_{0};
    std::atomic<bool> sleeping_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool rung_ = false;
};

void RunPaced(Engine& engine, int rate, StopSignal& stop, FrameQueue* sink) {
    NameThisThread("ae-output");
    RaiseThreadPriority(ThreadRole::Output);
    const int block = std::max(1, rate / kPacedBlocksPerSecond);
    std::vector<float> buffer(static_cast<size_t>(block) * 2);
    PacedSchedule schedule(rate, kPacedLeadNs, MonotonicNs());
    FineTimerResolution timer;
    for (;;) {
        const uint64_t signals = engine.SoundSignals();
        const bool sound =
            engine.Render(buffer.data(), block, schedule.NextBlockHeardNs(MonotonicNs()));
        if (sink) sink->Write(buffer.data(), static_cast<size_t>(block));
        if (!sound) {
            // Nothing plays: no timer, no wake-up until something starts.
            timer.Release();
            if (engine.WaitForSound(stop, signals)) return;
            schedule = PacedSchedule(rate, kPacedLeadNs, MonotonicNs());
            continue;
        }
        timer.Hold();
        if (stop.WaitUntil(schedule.Rendered(block))) return;
    }
}

int PacedBufferFrames(int rate) {
    return static_cast<int>((kPacedLeadNs + kSecondNs / kPacedBlocksPerSecond) * rate / kSecondNs);
}

PacedSchedule::PacedSchedule(int rate, int64_t leadNs, int64_t nowNs)
    : rate_(rate), leadNs_(leadNs), startNs_(nowNs + leadNs) {}

int64_t PacedSchedule::FramesNs() const {
    // Whole seconds apart, so that weeks of frames do not overflow the product.
    return frames_ / rate_ * kSecondNs + frames_ % rate_ * kSecondNs / rate_;
}

int64_t PacedSchedule::NextBlockHeardNs(int64_t nowNs) {
    const int64_t heardNs = startNs_ + FramesNs();
    if (nowNs - heardNs <= kStallNs) return heardNs;
    startNs_ = nowNs + leadNs_;
    frames_ = 0;
    return startNs_;
}

int64_t PacedSchedule::Rendered(int frames) {
    frames_ += frames;
    return startNs_ + FramesNs() - leadNs_;
}

namespace {

class NullOutput : public Output {
  public:
    NullOutput(Engine& engine, int rate) : engine_(engine), rate_(rate) {
        thread_ = std::thread([this, &engine, rate] { RunPaced(engine, rate, stop_, nullptr); });
    }
    ~NullOutput() override { Stop(); }
    bool Stop() override {
        stop_.Raise();
        engine_.WakeSound();
        if (thread_.joinable()) thread_.join();
        return true;
    }
    int BufferFrames() const override { return PacedBufferFrames(rate_); }

  private:
    Engine& engine_;
    int rate_;
    StopSignal stop_;
    std::thread thread_;
};

class WavOutput : public Output {
  public:
    WavOutput(Engine& engine, int rate, WavWriter&& file)
        : engine_(engine),
          rate_(rate),
          file_(std::move(file)),
          queue_(static_cast<size_t>(rate) * 2) {
        writer_ = std::thread([this] { WriterLoop(); });
        renderer_ =
            std::thread([this, &engine, rate] { RunPaced(engine, rate, renderStop_, &queue_); });
    }
    ~WavOutput() override { Stop(); }
    int BufferFrames() const override { return PacedBufferFrames(rate_); }
    bool Stop() override {
        renderStop_.Raise();
        engine_.WakeSound();
        if (renderer_.joinable()) renderer_.join();
        writerStop_.Raise();  // the writer drains what is queued, then closes the file
        queue_.Ring();
        if (writer_.joinable()) writer_.join();
        return true;
    }

  private:
    void WriterLoop() {
        NameThisThread("ae-wav-writer");
        for (;;) {
            const bool last = writerStop_.WaitUntil(MonotonicNs() + kSecondNs / 50);
            bool wrote = false;
            queue_.Drain([&](const float* frames, size_t count) {
                file_.Append(frames, count);
                wrote = true;
            });
            if (last) break;
            // The header is kept current, so the file is readable while it grows and
            // even if the process dies; Close gives it its final sizes.
            if (wrote) {
                file_.UpdateHeader();
            } else {
                queue_.Sleep();  // the renderer sleeps too, while nothing plays
            }
        }
        file_.Close();
    }

    Engine& engine_;
    int rate_;
    WavWriter file_;
    FrameQueue queue_;
    StopSignal renderStop_, writerStop_;
    std::thread renderer_, writer_;
};

}  // namespace

Result<std::unique_ptr<Output>> StartNullOutput(Engine& engine, int rate) {
    return std::unique_ptr<Output>(std::make_unique<NullOutput>(engine, rate));
}

Result<std::unique_ptr<Output>> StartWavOutput(Engine& engine, int rate, const std::string& path) {
    WavWriter file;
    if (!file.Open(path, rate, 2)) return Error{BASS_ERROR_FILEOPEN};
    return std::unique_ptr<Output>(std::make_unique<WavOutput>(engine, rate, std::move(file)));
}

}  // namespace ae
