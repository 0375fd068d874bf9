#include "audioengine/core/Output.h"

#include <SDL.h>
#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "audioengine/core/Engine.h"
#include "plugin/engine/Bass.h"

namespace ae {
namespace {

constexpr int64_t kSecondNs = 1000000000;

// The paced outputs stand in for a sound device, and hold a device's buffer: audio is
// rendered this far ahead of the time it stands for, so that when their thread wakes
// late (a busy machine), what was rendered plays on and the heard position keeps up
// with the clock. It is also what a start, pause or seek waits before it is heard.
constexpr int64_t kPacedLeadNs = kSecondNs / 100;
// Blocks per second of the paced outputs (5 ms): a start lands on the next block.
constexpr int kPacedBlocksPerSecond = 200;
// The real-time priority asked for an output thread: low, as sound servers use; it
// only has to come before ordinary work.
constexpr int kOutputRealtimePriority = 5;
// The nice value asked for a thread that feeds the output, or for an output thread
// refused real-time scheduling.
constexpr int kAudioNice = -10;
// A host whose user lowered its priority (a nice value above 0) is background work:
// its audio threads then go only this many steps ahead of its other threads, never
// ahead of ordinary processes, and never real-time.
constexpr int kBackgroundNiceStep = 10;

// The calling thread's nice value; false when it cannot be read.
bool ThreadNice(int* nice) {
    // On Linux a nice value belongs to the thread named by its id.
    const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    *nice = getpriority(PRIO_PROCESS, thread);
    return errno == 0;
}

// Lowers the calling thread's nice value to `nice`, or as far towards it as this user
// may go (RLIMIT_NICE). Never raises it.
void LowerNice(int nice) {
    int current = 0;
    if (!ThreadNice(&current) || nice >= current) return;
    const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
    if (setpriority(PRIO_PROCESS, thread, nice) == 0) return;
    rlimit limit{};  // unprivileged, the floor is 20 - RLIMIT_NICE
    if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur > 20 && limit.rlim_cur <= 40) {
        const int floor = std::max(nice, 20 - static_cast<int>(limit.rlim_cur));
        if (floor < current) setpriority(PRIO_PROCESS, thread, floor);
    }
}

// A stop flag a thread can sleep on.
class StopSignal {
  public:
    void Raise() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raised_ = true;
        }
        wake_.notify_all();
    }
    bool raised() {
        std::lock_guard<std::mutex> lock(mutex_);
        return raised_;
    }
    // Sleeps until `deadlineNs` (monotonic) or the flag is raised; true when raised.
    bool WaitUntil(int64_t deadlineNs) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline =
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlineNs));
        return wake_.wait_until(lock, deadline, [this] { return raised_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool raised_ = false;
};

// Single-producer single-consumer queue of stereo frames between the paced renderer
// and the WAV writer thread. The producer never waits: when the writer falls that
// far behind, the frames that do not fit are dropped.
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
        write_.store(write + frames, std::memory_order_release);
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
};

// Renders the mix in blocks of 5 ms until `stop` is raised, each block kPacedLeadNs
// before the wall-clock time it stands for (and tells the engine that time). `sink`
// (may be null) receives every block.
void RunPaced(Engine& engine, int rate, StopSignal& stop, FrameQueue* sink) {
    RaiseThreadPriority(ThreadRole::Output);
    const int block = std::max(1, rate / kPacedBlocksPerSecond);
    std::vector<float> buffer(static_cast<size_t>(block) * 2);
    PacedSchedule schedule(rate, kPacedLeadNs, MonotonicNs());
    for (;;) {
        engine.Render(buffer.data(), block, schedule.NextBlockHeardNs(MonotonicNs()));
        if (sink) sink->Write(buffer.data(), static_cast<size_t>(block));
        if (stop.WaitUntil(schedule.Rendered(block))) return;
    }
}

class NullOutput : public Output {
  public:
    NullOutput(Engine& engine, int rate) {
        thread_ = std::thread([this, &engine, rate] { RunPaced(engine, rate, stop_, nullptr); });
    }
    ~NullOutput() override { Stop(); }
    void Stop() override {
        stop_.Raise();
        if (thread_.joinable()) thread_.join();
    }

  private:
    StopSignal stop_;
    std::thread thread_;
};

class WavOutput : public Output {
  public:
    WavOutput(Engine& engine, int rate, SNDFILE* file)
        : file_(file), queue_(static_cast<size_t>(rate) * 2) {
        writer_ = std::thread([this] { WriterLoop(); });
        renderer_ =
            std::thread([this, &engine, rate] { RunPaced(engine, rate, renderStop_, &queue_); });
    }
    ~WavOutput() override { Stop(); }
    void Stop() override {
        renderStop_.Raise();
        if (renderer_.joinable()) renderer_.join();
        writerStop_.Raise();  // the writer drains what is queued, then closes the file
        if (writer_.joinable()) writer_.join();
    }

  private:
    void WriterLoop() {
        for (;;) {
            const bool last = writerStop_.WaitUntil(MonotonicNs() + kSecondNs / 50);
            queue_.Drain([this](const float* frames, size_t count) {
                if (file_) sf_writef_float(file_, frames, static_cast<sf_count_t>(count));
            });
            if (last) break;
        }
        sf_close(file_);
        file_ = nullptr;
    }

    SNDFILE* file_;
    FrameQueue queue_;
    StopSignal renderStop_, writerStop_;
    std::thread renderer_, writer_;
};

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

class DeviceOutput : public Output {
  public:
    DeviceOutput(Engine& engine, int rate) : engine_(engine), rate_(rate) {}
    ~DeviceOutput() override { Stop(); }

    bool Open() {
        // The host keeps its own signal handlers, and ALSA's diagnostics never reach
        // the host's stderr.
        snd_lib_error_set_handler(SilentAlsaError);
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        // Sound servers first, then ALSA; never JACK or SDL's dummy/disk drivers.
        if (!std::getenv("SDL_AUDIODRIVER"))
            SDL_SetHint(SDL_HINT_AUDIODRIVER, "pulseaudio,pipewire,alsa");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
        subsystem_ = true;
        SDL_AudioSpec want{};
        want.freq = rate_;
        want.format = AUDIO_F32SYS;
        want.channels = 2;
        want.samples = 1024;
        want.callback = &DeviceOutput::Callback;
        want.userdata = this;
        SDL_AudioSpec have{};
        device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (device_ == 0) return false;
        // What the device holds ahead of a block being rendered.
        latencyNs_ = static_cast<int64_t>(have.samples) * kSecondNs / rate_;
        lastCallbackNs_.store(MonotonicNs(), std::memory_order_relaxed);
        SDL_PauseAudioDevice(device_, 0);
        supervisor_ = std::thread([this] { Supervise(); });
        return true;
    }

    void Stop() override {
        stop_.Raise();
        if (supervisor_.joinable()) supervisor_.join();
        CloseDevice();
    }

  private:
    static void SDLCALL Callback(void* self, Uint8* stream, int bytes) {
        auto* output = static_cast<DeviceOutput*>(self);
        const int64_t now = MonotonicNs();
        output->lastCallbackNs_.store(now, std::memory_order_relaxed);
        output->engine_.Render(reinterpret_cast<float*>(stream),
                               bytes / static_cast<int>(2 * sizeof(float)),
                               now + output->latencyNs_);
    }

    // Watches the device; when it stops (unplugged, server gone) or its callback no
    // longer comes, closes it and goes on as a null output.
    void Supervise() {
        for (;;) {
            if (stop_.WaitUntil(MonotonicNs() + kSecondNs / 10)) return;
            const bool stopped = SDL_GetAudioDeviceStatus(device_) != SDL_AUDIO_PLAYING;
            const bool silent =
                MonotonicNs() - lastCallbackNs_.load(std::memory_order_relaxed) > 2 * kSecondNs;
            if (stopped || silent) break;
        }
        CloseDevice();
        engine_.SetOutputName("null");
        RunPaced(engine_, rate_, stop_, nullptr);
    }

    void CloseDevice() {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (device_) SDL_CloseAudioDevice(device_);
        device_ = 0;
        if (subsystem_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        subsystem_ = false;
    }

    Engine& engine_;
    int rate_;
    std::mutex closeMutex_;
    bool subsystem_ = false;
    SDL_AudioDeviceID device_ = 0;
    int64_t latencyNs_ = 0;
    std::atomic<int64_t> lastCallbackNs_{0};
    StopSignal stop_;
    std::thread supervisor_;
};

}  // namespace

void RaiseThreadPriority(ThreadRole role) {
    int policy = SCHED_OTHER;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 &&
        (policy == SCHED_FIFO || policy == SCHED_RR)) {
        return;  // inherited from a real-time host: already ahead of ordinary work
    }
    int nice = 0;
    if (ThreadNice(&nice) && nice > 0) {
        LowerNice(std::max(0, nice - kBackgroundNiceStep));
        return;
    }
    if (role == ThreadRole::Output) {
        rlimit limit{};
        int priority = kOutputRealtimePriority;
        if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur > 0 && limit.rlim_cur < static_cast<rlim_t>(priority)) {
            priority = static_cast<int>(limit.rlim_cur);  // as high as this user may go
        }
        param.sched_priority = std::clamp(priority, sched_get_priority_min(SCHED_RR),
                                          sched_get_priority_max(SCHED_RR));
        if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0) return;
    }
    LowerNice(kAudioNice);
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

std::unique_ptr<Output> StartNullOutput(Engine& engine, int rate, int*) {
    return std::make_unique<NullOutput>(engine, rate);
}

std::unique_ptr<Output> StartWavOutput(Engine& engine, int rate, const std::string& path,
                                       int* error) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        *error = BASS_ERROR_FILEOPEN;
        return nullptr;
    }
    // The header is kept current, so the file is readable even if the process dies.
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return std::make_unique<WavOutput>(engine, rate, file);
}

std::unique_ptr<Output> StartDeviceOutput(Engine& engine, int rate, int* error) {
    auto output = std::make_unique<DeviceOutput>(engine, rate);
    if (!output->Open()) {
        output->Stop();
        *error = BASS_ERROR_INIT;
        return nullptr;
    }
    return output;
}

}  // namespace ae
