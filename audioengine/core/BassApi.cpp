// SPDX-License-Identifier: MIT
// The engine's C entry points: argument checks, a handle lookup and one call into
// the core each. No exception crosses this boundary, and every call but
// BASS_ErrorGetCode, AE_OutputName, AE_OutputPendingMs, AE_ErrorName and
// AE_StreamRefusal leaves the calling thread's error code set. This is the only place
// that sets it: the core returns its errors.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "audioengine/core/DeviceList.h"
#include "audioengine/core/Engine.h"
#include "audioengine/core/Hot.h"
#include "audioengine/core/Result.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/ContainerMetadata.h"
#include "audioengine/decode/Decoder.h"
#include "audioengine/dsp/PeakLevel.h"
#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"

#ifdef _WIN32
#include "audioengine/platform/WindowsModule.h"
// bass.def names the exports, undecorated.
#define AE_EXPORT extern "C"
#else
#define AE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using ae::Engine;
using ae::Error;
using ae::Result;
using ae::Status;
using ae::Stream;
using ae::StreamRef;

namespace {

constexpr QWORD kBadQword = static_cast<QWORD>(-1);
constexpr DWORD kBadDword = static_cast<DWORD>(-1);
// The meter's window, in seconds of the stream.
constexpr double kLevelSeconds = 0.02;

// The calling thread's last error code (BASS_ERROR_*, BASS_OK after a success).
// Every call sets it. In the static TLS block (initial-exec) where the platform has
// one: a dynamic TLS variable costs a call into the loader and a page of its own,
// which a host's once-a-frame query would find cold. Four bytes fit the room the C
// library keeps for libraries loaded at run time.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local int tError = BASS_OK;

// Runs `body`, turning any exception into a failure value and an error code.
template <typename T, typename Body>
T Guard(T failure, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        tError = BASS_ERROR_MEM;
    } catch (...) {
        tError = BASS_ERROR_UNKNOWN;
    }
    return failure;
}

// Runs an entry point's `body`, which returns a Result<T> (or a Status, for TRUE), and
// sets the calling thread's error from it: the value on success, else `failure`.
template <typename T, typename Body>
T Entry(T failure, Body body) noexcept {
    return Guard<T>(failure, [&]() -> T {
        auto result = body();
        tError = result.code();
        if (!result.ok()) return failure;
        if constexpr (std::is_same_v<decltype(result), Status>) {
            return TRUE;
        } else {
            return std::move(result).value();
        }
    });
}

// Bytes per frame of the stream's 16-bit PCM byte positions.
int64_t FrameBytes(const Stream& stream) { return int64_t{2} * stream.info().channels; }

}  // namespace

AE_EXPORT BOOL BASS_CALL BASS_Init(int device, DWORD freq, DWORD, HWND, const void*) {
#ifdef _WIN32
    ae::KeepThisModuleLoaded();
#endif
    return Entry<BOOL>(FALSE, [&] { return Engine::Instance().Init(device, freq); });
}

AE_EXPORT HSTREAM BASS_CALL BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset,
                                                  QWORD length, DWORD) {
    return Entry<HSTREAM>(0, [&]() -> Result<HSTREAM> {
        ae::LastRefusal().clear();
        // Streams are made from whole files by name only.
        if (mem || offset != 0 || length != 0) return Error{BASS_ERROR_NOTAVAIL};
        return Engine::Instance().CreateStream(static_cast<const char*>(file));
    });
}

AE_EXPORT BOOL BASS_CALL BASS_StreamFree(HSTREAM handle) {
    return Entry<BOOL>(FALSE, [&] { return Engine::Instance().FreeStream(handle); });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        stream.value()->Play(restart != FALSE);
        Engine::Instance().WakeWorker(/*sound=*/true);
        return {};
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelStop(DWORD handle) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        stream.value()->Stop();
        return {};
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelPause(DWORD handle) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        if (!stream.value()->playing()) return Error{BASS_ERROR_NOPLAY};
        stream.value()->Pause();
        return {};
    });
}

AE_EXPORT DWORD BASS_CALL BASS_ChannelIsActive(DWORD handle) {
    return Entry<DWORD>(BASS_ACTIVE_STOPPED, [&]() -> Result<DWORD> {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        return static_cast<DWORD>(stream.value()->Activity());
    });
}

AE_EXPORT QWORD BASS_CALL BASS_ChannelSeconds2Bytes(DWORD handle, double seconds) {
    return Entry<QWORD>(kBadQword, [&]() -> Result<QWORD> {
        Result<StreamRef> found = Engine::Instance().Find(handle);
        if (!found.ok()) return found.error();
        const Stream& stream = *found.value();
        const double frames = seconds * stream.info().rate;
        // Whole frames, rounded down; a hair of tolerance keeps a value that came
        // from Bytes2Seconds on its own frame.
        const double whole = std::floor(frames + 1e-6);
        if (!std::isfinite(seconds) || seconds < 0 || !(whole < 1e15)) {
            return Error{BASS_ERROR_ILLPARAM};
        }
        return static_cast<QWORD>(whole) * static_cast<QWORD>(FrameBytes(stream));
    });
}

AE_EXPORT double BASS_CALL BASS_ChannelBytes2Seconds(DWORD handle, QWORD bytes) {
    return Entry<double>(-1.0, [&]() -> Result<double> {
        Result<StreamRef> found = Engine::Instance().Find(handle);
        if (!found.ok()) return found.error();
        const Stream& stream = *found.value();
        const double perSecond = static_cast<double>(stream.info().rate) * FrameBytes(stream);
        return static_cast<double>(bytes) / perSecond;
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<StreamRef> found = Engine::Instance().Find(handle);
        if (!found.ok()) return found.error();
        Stream& stream = *found.value();
        if (mode != BASS_POS_BYTE) return Error{BASS_ERROR_ILLTYPE};
        const QWORD frame = pos / static_cast<QWORD>(FrameBytes(stream));
        if (frame > static_cast<QWORD>(stream.info().frames)) return Error{BASS_ERROR_POSITION};
        if (Status sought = stream.Seek(static_cast<int64_t>(frame)); !sought.ok()) return sought;
        Engine::Instance().WakeWorker();
        return {};
    });
}

AE_EXPORT QWORD BASS_CALL BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    return Entry<QWORD>(kBadQword, [&]() -> Result<QWORD> {
        Result<StreamRef> found = Engine::Instance().Find(handle);
        if (!found.ok()) return found.error();
        if (mode != BASS_POS_BYTE) return Error{BASS_ERROR_ILLTYPE};
        const Stream& stream = *found.value();
        return static_cast<QWORD>(stream.Position() * FrameBytes(stream));
    });
}

AE_EXPORT QWORD BASS_CALL BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    return Entry<QWORD>(kBadQword, [&]() -> Result<QWORD> {
        Result<StreamRef> found = Engine::Instance().Find(handle);
        if (!found.ok()) return found.error();
        if (mode != BASS_POS_BYTE) return Error{BASS_ERROR_ILLTYPE};
        const Stream& stream = *found.value();
        return static_cast<QWORD>(stream.info().frames * FrameBytes(stream));
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        if (attrib != BASS_ATTRIB_VOL) return Error{BASS_ERROR_ILLTYPE};
        if (!std::isfinite(value) || value < 0) return Error{BASS_ERROR_ILLPARAM};
        stream.value()->SetVolume(value);
        return {};
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        if (attrib != BASS_ATTRIB_VOL) return Error{BASS_ERROR_ILLTYPE};
        if (!value) return Error{BASS_ERROR_ILLPARAM};
        *value = stream.value()->volume();
        return {};
    });
}

AE_EXPORT DWORD BASS_CALL BASS_ChannelGetLevel(DWORD handle) {
    return Entry<DWORD>(kBadDword, [&]() -> Result<DWORD> {
        Result<StreamRef> found = Engine::Instance().Find(handle);
        if (!found.ok()) return found.error();
        const Stream& stream = *found.value();
        if (!stream.playing()) return Error{BASS_ERROR_NOPLAY};
        const int window =
            std::max(1, static_cast<int>(std::lround(stream.info().rate * kLevelSeconds)));
        uint32_t left = 0, right = 0;
        stream.LevelAtPosition(window, &left, &right);
        return left | (right << 16);
    });
}

AE_EXPORT AE_HOT DWORD BASS_CALL BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    return Entry<DWORD>(kBadDword, [&]() -> Result<DWORD> {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        if (length != BASS_DATA_FFT512) return Error{BASS_ERROR_ILLTYPE};
        if (!buffer) return Error{BASS_ERROR_ILLPARAM};
        stream.value()->SpectrumAtPosition(buffer);  // straight into the caller's buffer
        return static_cast<DWORD>(sizeof(float) * ae::dsp::Spectrum512::kBins);
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        if (!info) return Error{BASS_ERROR_ILLPARAM};
        const ae::DecoderInfo& decoded = stream.value()->info();
        *info = BASS_CHANNELINFO{};
        info->freq = static_cast<DWORD>(decoded.rate);
        info->chans = static_cast<DWORD>(decoded.channels);
        info->flags = 0;
        info->ctype = decoded.ctype;
        info->origres = decoded.origres;
        info->filename = stream.value()->path().c_str();  // valid until the stream is freed
        return {};
    });
}

AE_EXPORT QWORD BASS_CALL BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    return Entry<QWORD>(kBadQword, [&]() -> Result<QWORD> {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        if (mode != BASS_FILEPOS_END) return Error{BASS_ERROR_ILLTYPE};
        const int64_t payload = stream.value()->payloadBytes();
        if (payload < 0) return Error{BASS_ERROR_FILEOPEN};
        return static_cast<QWORD>(payload);
    });
}

AE_EXPORT HFX BASS_CALL BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
    return Entry<HFX>(0, [&] { return Engine::Instance().AddEffect(handle, type, priority); });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelRemoveFX(DWORD handle, HFX fx) {
    return Entry<BOOL>(FALSE, [&] { return Engine::Instance().RemoveEffect(handle, fx); });
}

AE_EXPORT BOOL BASS_CALL BASS_FXSetParameters(HFX fx, const void* params) {
    return Entry<BOOL>(FALSE, [&] {
        ae::dsp::PeakingParams band;
        if (params) {
            BASS_DX8_PARAMEQ record;
            std::memcpy(&record, params, sizeof(record));
            band = {record.fCenter, record.fBandwidth, record.fGain};
        }
        return Engine::Instance().SetEffectParams(fx, params ? &band : nullptr);
    });
}

AE_EXPORT BOOL BASS_CALL BASS_FXGetParameters(HFX fx, void* params) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        Result<ae::dsp::PeakingParams> band = Engine::Instance().GetEffectParams(fx);
        if (!band.ok()) return band.error();
        if (!params) return Error{BASS_ERROR_ILLPARAM};
        const BASS_DX8_PARAMEQ record{band->centerHz, band->bandwidthSemitones, band->gainDb};
        std::memcpy(params, &record, sizeof(record));
        return {};
    });
}

AE_EXPORT BOOL BASS_CALL BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        if (!info) return Error{BASS_ERROR_ILLPARAM};
        Result<ae::DeviceDescription> found =
            ae::DescribeDevice(device, Engine::Instance().OutputName());
        if (!found.ok()) return found.error();
        *info = BASS_DEVICEINFO{found->name, found->driver, found->flags};
        return {};
    });
}

AE_EXPORT int BASS_CALL BASS_ErrorGetCode(void) { return tError; }

AE_EXPORT BOOL BASS_CALL AE_Render(float* out, DWORD frames) {
    return Entry<BOOL>(FALSE, [&] { return Engine::Instance().RenderManual(out, frames); });
}

AE_EXPORT DWORD BASS_CALL AE_ChannelGetPath(DWORD handle, char* buffer, DWORD size) {
    return Entry<DWORD>(0, [&]() -> Result<DWORD> {
        Result<StreamRef> stream = Engine::Instance().Find(handle);
        if (!stream.ok()) return stream.error();
        // Copied while the reference holds the stream: a free waits for it.
        const std::string& path = stream.value()->path();
        if (buffer && size > 0) {
            const size_t n = std::min<size_t>(path.size(), size - 1);
            std::memcpy(buffer, path.data(), n);
            buffer[n] = '\0';
        }
        return static_cast<DWORD>(path.size());
    });
}

AE_EXPORT BOOL BASS_CALL AE_FileMetadata(const char* path, AE_MetadataVisitor visit, void* user) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        if (path == nullptr || visit == nullptr) return Error{BASS_ERROR_ILLPARAM};
        ae::FfmpegModuleLoaded(nullptr);  // its loader gives the reader
        const int code = ae::ReadContainerMetadata(path, visit, user);
        if (code != BASS_OK) return Error{code};
        return {};
    });
}

AE_EXPORT DWORD BASS_CALL AE_RenderSkips(void) {
    return Guard<DWORD>(0, [&] { return static_cast<DWORD>(Engine::Instance().renderSkips()); });
}

AE_EXPORT const char* BASS_CALL AE_OutputName(void) {
    return Guard<const char*>("", [&] { return Engine::Instance().OutputName(); });
}

AE_EXPORT const char* BASS_CALL AE_OutputReason(void) {
    return Guard<const char*>("", [&] { return Engine::Instance().OutputReason(); });
}

AE_EXPORT DWORD BASS_CALL AE_OutputPendingMs(void) {
    return Guard<DWORD>(0, [&] {
        const int64_t ns = Engine::Instance().PendingSoundNs(ae::MonotonicNs());
        return static_cast<DWORD>(std::min<int64_t>((ns + 999999) / 1000000, UINT32_MAX));
    });
}

AE_EXPORT const char* BASS_CALL AE_ErrorName(int code) { return ae::ErrorName(code); }

AE_EXPORT DWORD BASS_CALL AE_StreamRefusal(char* buffer, DWORD size) {
    return Guard<DWORD>(0, [&] {
        const std::string& text = ae::LastRefusal();
        if (buffer && size > 0) {
            const size_t n = std::min<size_t>(text.size(), size - 1);
            std::memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
        }
        return static_cast<DWORD>(text.size());
    });
}

AE_EXPORT BOOL BASS_CALL AE_QuietLibraries(void) {
    ae::QuietFfmpegProcessLog();
    return TRUE;
}

AE_EXPORT BOOL BASS_CALL AE_StreamInfo(const char* file, AE_STREAMINFO* info) {
    return Entry<BOOL>(FALSE, [&]() -> Status {
        if (!info) return Error{BASS_ERROR_ILLPARAM};
        if (!file || !*file) return Error{BASS_ERROR_FILEOPEN};
        Result<std::unique_ptr<ae::Decoder>> opened = ae::OpenDecoder(file);
        if (!opened.ok()) return opened.error();
        const ae::DecoderInfo& decoded = opened.value()->info();
        const int64_t audioBytes = ae::AudioPayloadBytes(file);
        if (audioBytes < 0) return Error{BASS_ERROR_FILEOPEN};
        *info = AE_STREAMINFO{static_cast<QWORD>(decoded.frames), static_cast<DWORD>(decoded.rate),
                              static_cast<DWORD>(decoded.channels), decoded.channelMask,
                              static_cast<QWORD>(audioBytes)};
        return {};
    });
}
