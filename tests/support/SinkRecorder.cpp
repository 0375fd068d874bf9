// SPDX-License-Identifier: MIT
#include "tests/support/SinkRecorder.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace testaudio {

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t Recording::StartNs() const {
    if (reads.empty()) return 0;
    std::vector<int64_t> starts;
    starts.reserve(reads.size());
    for (const Read& read : reads) {
        starts.push_back(read.stampNs - read.latencyNs - read.endFrame * 1000000000 / kRate);
    }
    std::nth_element(starts.begin(), starts.begin() + starts.size() / 2, starts.end());
    return starts[starts.size() / 2];
}

int64_t Recording::FrameAt(int64_t ns) const {
    const double seconds = static_cast<double>(ns - StartNs()) / 1e9;
    return static_cast<int64_t>(std::floor(seconds * kRate));
}

int64_t Recording::NsOf(int64_t frame) const { return StartNs() + frame * 1000000000 / kRate; }

// The part shared with the reading thread, which may outlive a recorder whose
// server hangs mid-read (it is then detached, and frees this when its read returns).
struct SinkRecorder::State {
    pa_simple* stream = nullptr;
    int readFrames = 0;
    mutable std::mutex mutex;
    mutable std::condition_variable grew;
    Recording recording;
    std::string error;
    bool connected = false;
    bool running = false;
    std::atomic<bool> stop{false};
    std::thread thread;

    void Run() {
        std::vector<float> buffer(static_cast<size_t>(readFrames * Recording::kChannels));
        for (;;) {
            int code = 0;
            const bool read =
                pa_simple_read(stream, buffer.data(), buffer.size() * sizeof(float), &code) == 0;
            const int64_t stamp = MonotonicNs();
            int latencyCode = 0;
            const pa_usec_t latency = read ? pa_simple_get_latency(stream, &latencyCode) : 0;
            std::lock_guard<std::mutex> lock(mutex);
            if (!read) {
                error = std::string("the recording stopped: ") + pa_strerror(code);
            } else if (!stop.load()) {
                recording.samples.insert(recording.samples.end(), buffer.begin(), buffer.end());
                recording.reads.push_back({recording.frames(), stamp,
                                           latency == static_cast<pa_usec_t>(-1)
                                               ? 0
                                               : static_cast<int64_t>(latency) * 1000});
            }
            if (!read || stop.load()) {
                running = false;
                grew.notify_all();
                return;
            }
            grew.notify_all();
        }
    }
};

SinkRecorder::SinkRecorder(int readFrames, const std::string& source)
    : state_(std::make_shared<State>()) {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = Recording::kRate;
    spec.channels = Recording::kChannels;
    // The server sends what it has every read's worth of frames: a read then comes in
    // as soon as its last frame has been played, which is what its stamp stands for.
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(readFrames * Recording::kChannels * sizeof(float));
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<uint32_t>(-1);
    int code = 0;
    state_->readFrames = readFrames;
    state_->stream = pa_simple_new(nullptr, "device tests", PA_STREAM_RECORD, source.c_str(),
                                   "sink monitor", &spec, nullptr, &attributes, &code);
    if (!state_->stream) {
        const char* server = std::getenv("PULSE_SERVER");
        state_->error = "cannot record " + source + " from " +
                        (server ? std::string("the server at ") + server
                                : std::string("the default server (PULSE_SERVER is not set)")) +
                        ": " + pa_strerror(code);
        return;
    }
    state_->connected = state_->running = true;
    state_->thread = std::thread([state = state_] {
        state->Run();
        pa_simple_free(state->stream);
        state->stream = nullptr;
    });
}

SinkRecorder::~SinkRecorder() { Stop(); }

bool SinkRecorder::ok() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->connected;
}

std::string SinkRecorder::error() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->error;
}

bool SinkRecorder::recording() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->running;
}

bool SinkRecorder::WaitForFrames(int64_t frames, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->grew.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return state_->recording.frames() >= frames || !state_->running;
    }) && state_->recording.frames() >= frames;
}

Recording SinkRecorder::Snapshot() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->recording;
}

void SinkRecorder::Stop() {
    state_->stop.store(true);
    if (!state_->thread.joinable()) return;
    // A read returns within one read's length while the server plays; one that does
    // not (a server stopped, not gone) is left to finish on its own.
    std::unique_lock<std::mutex> lock(state_->mutex);
    const bool ended =
        state_->grew.wait_for(lock, std::chrono::seconds(2), [this] { return !state_->running; });
    lock.unlock();
    if (ended) {
        state_->thread.join();
    } else {
        state_->thread.detach();
    }
}

int64_t BestAlignment(const std::vector<float>& recording, const std::vector<float>& reference,
                      int64_t referenceStart, int64_t window, int64_t from, int64_t to, int channel,
                      double* score) {
    constexpr int kChannels = Recording::kChannels;
    const int64_t recordedFrames = static_cast<int64_t>(recording.size()) / kChannels;
    const int64_t referenceFrames = static_cast<int64_t>(reference.size()) / kChannels;
    window = std::min(window, referenceFrames - referenceStart);
    from = std::max<int64_t>(from, 0);
    to = std::min(to, recordedFrames - window);
    const int first = channel < 0 ? 0 : channel, last = channel < 0 ? kChannels - 1 : channel;
    const float* ref = reference.data() + referenceStart * kChannels;
    double referenceEnergy = 0;
    for (int64_t i = 0; i < window; ++i)
        for (int c = first; c <= last; ++c)
            referenceEnergy += double(ref[i * kChannels + c]) * ref[i * kChannels + c];
    int64_t best = -1;
    double bestScore = -2.0;
    for (int64_t r = from; r <= to; ++r) {
        const float* rec = recording.data() + r * kChannels;
        double dot = 0, energy = 0;
        for (int64_t i = 0; i < window; ++i) {
            for (int c = first; c <= last; ++c) {
                const double x = rec[i * kChannels + c];
                dot += x * ref[i * kChannels + c];
                energy += x * x;
            }
        }
        const double value =
            energy > 0 && referenceEnergy > 0 ? dot / std::sqrt(energy * referenceEnergy) : 0.0;
        if (value > bestScore) {
            bestScore = value;
            best = r;
        }
    }
    if (score) *score = best < 0 ? 0.0 : bestScore;
    return best;
}

}  // namespace testaudio
