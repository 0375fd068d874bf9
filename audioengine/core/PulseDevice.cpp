// SPDX-License-Identifier: MIT
// The sound device as a client of the sound server's own protocol, the one PulseAudio
// and PipeWire's pipewire-pulse both serve. Unlike SDL, it can ask the server how long
// a sample written now takes to be heard, so the heard position includes the server's
// latency; and it mixes at the sink's own rate, so the server does not resample the
// mix a second time.
//
// libpulse's threaded main loop runs the connection; its thread is the audio thread:
// the write callback renders the mix straight into the server's buffer.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "audioengine/core/DeviceBackend.h"
#include "audioengine/core/Output.h"
#include "audioengine/core/PacedOutput.h"
#include "audioengine/core/Stream.h"
#include "audioengine/core/ThreadPriority.h"

namespace ae {
namespace {

// The server buffer asked for: what it holds ahead of the sink, and how much room
// frees up before it asks for more. The start latency is about the first.
constexpr pa_usec_t kTargetUsec = 40000;
// How often the server is asked where its sink is: libpulse alone asks less and less
// often, up to every 1.5 s, and its estimate in between was seen to drift by 10 ms.
constexpr int64_t kTimingUpdateNs = 100000000;
// The longest Open waits for the server at each step (connect, info, stream).
constexpr pa_usec_t kAnswerUsec = 2000000;
// The sink's own latency counted at most, in BufferFrames (a network or Bluetooth
// sink may hold seconds), and at least (a sink whose latency varies).
constexpr int64_t kMaxSinkLatencyNs = 4000000000;
constexpr int64_t kMinSinkLatencyNs = 50000000;

class PulseDevice : public DeviceBackend {
  public:
    explicit PulseDevice(const DeviceRequest& request) : name_(request.name) {}
    ~PulseDevice() override { Close(); }

    bool Open(DeviceSink& sink, int* rate, bool adoptServerRate, std::string* why) override {
        sink_ = &sink;
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return Fail(why, "no sound server answered (out of memory)");
        pa_threaded_mainloop_set_name(loop_, "ae-output");
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "audioengine");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_),
                                                ApplicationName(), props);
        pa_proplist_free(props);
        if (!context_) return Fail(why, "no sound server answered (out of memory)");
        pa_context_set_state_callback(context_, &PulseDevice::Notify, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return Fail(why, std::string("no sound server answered (") +
                                 pa_strerror(pa_context_errno(context_)) + ")");
        }
        if (pa_threaded_mainloop_start(loop_) < 0) {
            return Fail(why, "no sound server answered (cannot start a thread)");
        }
        pa_threaded_mainloop_lock(loop_);
        const bool opened = Connect(rate, adoptServerRate, why);
        pa_threaded_mainloop_unlock(loop_);
        if (!opened) Close();
        return opened;
    }

    void Close() override {
        if (!loop_) return;
        // After the stop no callback runs: the rest needs no lock.
        pa_threaded_mainloop_stop(loop_);
        if (stream_) {
            pa_stream_set_write_callback(stream_, nullptr, nullptr);
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }

    std::string Lost() override {
        if (!loop_) return "closed";
        pa_threaded_mainloop_lock(loop_);
        std::string lost;
        const pa_context_state_t context = pa_context_get_state(context_);
        if (!PA_CONTEXT_IS_GOOD(context)) {
            lost = std::string("the sound server connection ended: ") +
                   pa_strerror(pa_context_errno(context_));
        } else if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
            lost = std::string("the server ended the stream: ") +
                   pa_strerror(pa_context_errno(context_));
        }
        pa_threaded_mainloop_unlock(loop_);
        return lost;
    }

    int BufferFrames() const override { return static_cast<int>(leadNs_ * rate_ / kSecondNs); }
    // The server asks for more as the sink plays: with a sink that holds seconds, the
    // requests can be that far apart.
    int64_t SilenceLimitNs() const override { return std::max(kSecondNs, 2 * leadNs_); }
    uint64_t Underruns() const override { return underruns_.load(std::memory_order_relaxed); }

  private:
    static const char* ApplicationName() {
        const char* name = program_invocation_short_name;
        return name && *name ? name : "audioengine";
    }

    bool Fail(std::string* why, const std::string& text) {
        *why = text;
        Close();
        return false;
    }

    // Waits, main loop locked, until `done` or kAnswerUsec has passed; a timer event
    // wakes the wait when the server never answers.
    template <typename Done>
    bool Await(Done done) {
        timedOut_ = false;
        pa_time_event* timer = pa_context_rttime_new(context_, pa_rtclock_now() + kAnswerUsec,
                                                     &PulseDevice::Timeout, this);
        while (!done() && !timedOut_) pa_threaded_mainloop_wait(loop_);
        if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
        return done();
    }

    bool AwaitOperation(pa_operation* operation) {
        if (!operation) return false;
        const bool done = Await(
            [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
        if (!done) pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return done;
    }

    // Main loop locked: waits for the connection, finds the sink's rate, opens the
    // stream.
    bool Connect(int* rate, bool adoptServerRate, std::string* why) {
        const auto contextSettled = [this] {
            const pa_context_state_t state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        };
        if (!Await(contextSettled) || pa_context_get_state(context_) != PA_CONTEXT_READY) {
            *why = std::string("no sound server answered (") +
                   (timedOut_ ? "no answer in 2 s" : pa_strerror(pa_context_errno(context_))) + ")";
            return false;
        }
        if (!AwaitOperation(pa_context_get_server_info(context_, &PulseDevice::ServerInfo, this))) {
            *why = "the sound server did not describe itself";
            return false;
        }
        const std::string sinkName = name_.empty() ? defaultSink_ : name_;
        sinkRate_ = 0;
        if (!sinkName.empty()) {
            AwaitOperation(pa_context_get_sink_info_by_name(context_, sinkName.c_str(),
                                                            &PulseDevice::SinkInfo, this));
        }
        if (!name_.empty() && sinkRate_ == 0) {
            *why = "the sound server has no device " + name_;
            return false;
        }
        if (adoptServerRate && sinkRate_ >= kMinRate && sinkRate_ <= kMaxRate) *rate = sinkRate_;
        rate_ = *rate;

        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(rate_), 2};
        pa_channel_map map;
        pa_channel_map_init_stereo(&map);
        stream_ = pa_stream_new(context_, "playback", &spec, &map);
        if (!stream_) {
            *why = std::string("the sound server refused a stream: ") +
                   pa_strerror(pa_context_errno(context_));
            return false;
        }
        pa_stream_set_state_callback(stream_, &PulseDevice::Notify, this);
        pa_stream_set_write_callback(stream_, &PulseDevice::Write, this);
        pa_stream_set_underflow_callback(stream_, &PulseDevice::Underflow, this);
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kTargetUsec, &spec));
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        // A device asked for by name stays on it (its loss is a loss, and the device
        // output reopens it by name); the default device follows the server's default.
        const pa_stream_flags_t flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY |
            (name_.empty() ? 0 : PA_STREAM_DONT_MOVE));
        if (pa_stream_connect_playback(stream_, name_.empty() ? nullptr : name_.c_str(), &attr,
                                       flags, nullptr, nullptr) < 0) {
            *why = std::string("the sound server refused a stream: ") +
                   pa_strerror(pa_context_errno(context_));
            return false;
        }
        const auto streamSettled = [this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        };
        if (!Await(streamSettled) || pa_stream_get_state(stream_) != PA_STREAM_READY) {
            *why = std::string("the sound server refused a stream: ") +
                   (timedOut_ ? "no answer in 2 s" : pa_strerror(pa_context_errno(context_)));
            return false;
        }
        const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
        const int64_t bufferNs = static_cast<int64_t>(pa_bytes_to_usec(
                                     granted ? granted->tlength : attr.tlength, &spec)) *
                                 1000;
        const int64_t sinkNs = std::clamp(sinkLatencyNs_, kMinSinkLatencyNs, kMaxSinkLatencyNs);
        fallbackLatencyNs_ = bufferNs;
        leadNs_ = bufferNs + sinkNs;
        *why = (sinkDescription_.empty() ? "" : sinkDescription_ + " ") + "(" +
               (sinkName.empty() ? "the server's default" : sinkName) + ") at " +
               std::to_string(rate_) + " Hz, pulse protocol, server " + serverName_;
        return true;
    }

    static void Notify(pa_context*, void* self) {
        pa_threaded_mainloop_signal(static_cast<PulseDevice*>(self)->loop_, 0);
    }
    static void Notify(pa_stream*, void* self) {
        pa_threaded_mainloop_signal(static_cast<PulseDevice*>(self)->loop_, 0);
    }
    static void Timeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
        auto* device = static_cast<PulseDevice*>(self);
        device->timedOut_ = true;
        pa_threaded_mainloop_signal(device->loop_, 0);
    }
    static void ServerInfo(pa_context*, const pa_server_info* info, void* self) {
        auto* device = static_cast<PulseDevice*>(self);
        if (info) {
            device->defaultSink_ = info->default_sink_name ? info->default_sink_name : "";
            device->serverName_ = info->server_name ? info->server_name : "a sound server";
        }
        pa_threaded_mainloop_signal(device->loop_, 0);
    }
    static void SinkInfo(pa_context*, const pa_sink_info* info, int, void* self) {
        auto* device = static_cast<PulseDevice*>(self);
        if (info) {
            device->sinkRate_ = static_cast<int>(info->sample_spec.rate);
            device->sinkLatencyNs_ =
                static_cast<int64_t>(std::max(info->latency, info->configured_latency)) * 1000;
            device->sinkDescription_ = info->description ? info->description : "";
        }
        pa_threaded_mainloop_signal(device->loop_, 0);
    }
    static void TimingUpdated(pa_stream*, int, void* self) {
        static_cast<PulseDevice*>(self)->timingPending_ = false;
    }
    static void Underflow(pa_stream*, void* self) {
        static_cast<PulseDevice*>(self)->underruns_.fetch_add(1, std::memory_order_relaxed);
    }

    // The server asks for `bytes` more: render them in place, each piece stamped with
    // when its first frame is heard (now plus what the server still has to play).
    static void Write(pa_stream* stream, size_t bytes, void* self) {
        auto* device = static_cast<PulseDevice*>(self);
        if (!device->prioritised_) {
            RaiseThreadPriority(ThreadRole::Output);
            device->prioritised_ = true;
        }
        const int64_t now = MonotonicNs();
        if (!device->timingPending_ && now - device->timingAskedNs_ >= kTimingUpdateNs) {
            if (pa_operation* asked =
                    pa_stream_update_timing_info(stream, &PulseDevice::TimingUpdated, device)) {
                pa_operation_unref(asked);
                device->timingPending_ = true;
                device->timingAskedNs_ = now;
            }
        }
        pa_usec_t latency = 0;
        int negative = 0;
        int64_t heardNs = now + device->fallbackLatencyNs_;
        if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
            heardNs = now + (negative ? -1 : 1) * static_cast<int64_t>(latency) * 1000;
        }
        constexpr size_t kFrameBytes = 2 * sizeof(float);
        int64_t framesDone = 0;
        while (bytes >= kFrameBytes) {
            void* data = nullptr;
            size_t piece = std::min<size_t>(bytes, 1024 * kFrameBytes);
            if (pa_stream_begin_write(stream, &data, &piece) < 0 || !data) break;
            const int frames = static_cast<int>(piece / kFrameBytes);
            if (frames == 0) {
                pa_stream_cancel_write(stream);
                break;
            }
            device->sink_->Fill(static_cast<float*>(data), frames,
                                heardNs + framesDone * kSecondNs / device->rate_);
            pa_stream_write(stream, data, static_cast<size_t>(frames) * kFrameBytes, nullptr, 0,
                            PA_SEEK_RELATIVE);
            framesDone += frames;
            bytes -= static_cast<size_t>(frames) * kFrameBytes;
        }
    }

    std::string name_;
    DeviceSink* sink_ = nullptr;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool timedOut_ = false;  // main loop locked
    std::string defaultSink_, serverName_ = "a sound server", sinkDescription_;
    int sinkRate_ = 0;
    int64_t sinkLatencyNs_ = 0;
    int64_t leadNs_ = 0;  // the stream's buffer and the sink's latency
    int rate_ = 44100;
    int64_t fallbackLatencyNs_ = 0;
    bool prioritised_ = false;    // audio thread
    bool timingPending_ = false;  // audio thread: a timing update asked for, not answered
    int64_t timingAskedNs_ = 0;   // audio thread
    std::atomic<uint64_t> underruns_{0};
};

}  // namespace

std::unique_ptr<DeviceBackend> MakePulseDevice(const DeviceRequest& request) {
    return std::make_unique<PulseDevice>(request);
}

}  // namespace ae
