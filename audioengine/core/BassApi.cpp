// The engine's C entry points: argument checks, a handle lookup and one call into
// the core each. No exception crosses this boundary, and every call leaves the
// calling thread's error code set.
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

#include "audioengine/core/Engine.h"
#include "audioengine/core/Hot.h"
#include "audioengine/dsp/PeakLevel.h"
#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"

#define AE_EXPORT extern "C" __attribute__((visibility("default")))

using ae::Engine;
using ae::SetError;
using ae::Stream;

namespace {

constexpr QWORD kBadQword = static_cast<QWORD>(-1);
constexpr DWORD kBadDword = static_cast<DWORD>(-1);
// The meter's window, in seconds of the stream.
constexpr double kLevelSeconds = 0.02;

// Runs `body`, turning any exception into a failure value and an error code.
template <typename Result, typename Body>
Result Guard(Result failure, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetError(BASS_ERROR_MEM);
    } catch (...) {
        SetError(BASS_ERROR_UNKNOWN);
    }
    return failure;
}

// Bytes per frame of the stream's 16-bit PCM byte positions.
int64_t FrameBytes(const Stream& stream) { return int64_t{2} * stream.info().channels; }

template <typename Result>
Result Ok(Result value) {
    SetError(BASS_OK);
    return value;
}

template <typename Result>
Result Fail(int code, Result value) {
    SetError(code);
    return value;
}

}  // namespace

AE_EXPORT BOOL BASS_CALL BASS_Init(int device, DWORD freq, DWORD, HWND, const void*) {
    return Guard<BOOL>(FALSE, [&] { return Engine::Instance().Init(device, freq) ? TRUE : FALSE; });
}

AE_EXPORT HSTREAM BASS_CALL BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset,
                                                  QWORD length, DWORD) {
    return Guard<HSTREAM>(0, [&]() -> HSTREAM {
        // Streams are made from whole files by name only.
        if (mem || offset != 0 || length != 0) return Fail<HSTREAM>(BASS_ERROR_NOTAVAIL, 0);
        return Engine::Instance().CreateStream(static_cast<const char*>(file));
    });
}

AE_EXPORT BOOL BASS_CALL BASS_StreamFree(HSTREAM handle) {
    return Guard<BOOL>(FALSE, [&] { return Engine::Instance().FreeStream(handle) ? TRUE : FALSE; });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return FALSE;
        int error = BASS_OK;
        if (!stream->Play(restart != FALSE, &error)) return Fail<BOOL>(error, FALSE);
        Engine::Instance().WakeWorker();
        return Ok<BOOL>(TRUE);
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelStop(DWORD handle) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return FALSE;
        stream->Stop();
        return Ok<BOOL>(TRUE);
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelPause(DWORD handle) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return FALSE;
        if (!stream->playing()) return Fail<BOOL>(BASS_ERROR_NOPLAY, FALSE);
        stream->Pause();
        return Ok<BOOL>(TRUE);
    });
}

AE_EXPORT DWORD BASS_CALL BASS_ChannelIsActive(DWORD handle) {
    return Guard<DWORD>(BASS_ACTIVE_STOPPED, [&]() -> DWORD {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return BASS_ACTIVE_STOPPED;
        return Ok<DWORD>(static_cast<DWORD>(stream->Activity()));
    });
}

AE_EXPORT QWORD BASS_CALL BASS_ChannelSeconds2Bytes(DWORD handle, double seconds) {
    return Guard<QWORD>(kBadQword, [&]() -> QWORD {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return kBadQword;
        const double frames = seconds * stream->info().rate;
        // Whole frames, rounded down; a hair of tolerance keeps a value that came
        // from Bytes2Seconds on its own frame.
        const double whole = std::floor(frames + 1e-6);
        if (!std::isfinite(seconds) || seconds < 0 || !(whole < 1e15)) {
            return Fail<QWORD>(BASS_ERROR_ILLPARAM, kBadQword);
        }
        return Ok<QWORD>(static_cast<QWORD>(whole) * static_cast<QWORD>(FrameBytes(*stream)));
    });
}

AE_EXPORT double BASS_CALL BASS_ChannelBytes2Seconds(DWORD handle, QWORD bytes) {
    return Guard<double>(-1.0, [&]() -> double {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return -1.0;
        const double perSecond = static_cast<double>(stream->info().rate) * FrameBytes(*stream);
        return Ok<double>(static_cast<double>(bytes) / perSecond);
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return FALSE;
        if (mode != BASS_POS_BYTE) return Fail<BOOL>(BASS_ERROR_ILLTYPE, FALSE);
        const QWORD frame = pos / static_cast<QWORD>(FrameBytes(*stream));
        if (frame > static_cast<QWORD>(stream->info().frames)) {
            return Fail<BOOL>(BASS_ERROR_POSITION, FALSE);
        }
        int error = BASS_OK;
        if (!stream->Seek(static_cast<int64_t>(frame), &error)) return Fail<BOOL>(error, FALSE);
        Engine::Instance().WakeWorker();
        return Ok<BOOL>(TRUE);
    });
}

AE_EXPORT QWORD BASS_CALL BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    return Guard<QWORD>(kBadQword, [&]() -> QWORD {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return kBadQword;
        if (mode != BASS_POS_BYTE) return Fail<QWORD>(BASS_ERROR_ILLTYPE, kBadQword);
        return Ok<QWORD>(static_cast<QWORD>(stream->Position() * FrameBytes(*stream)));
    });
}

AE_EXPORT QWORD BASS_CALL BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    return Guard<QWORD>(kBadQword, [&]() -> QWORD {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return kBadQword;
        if (mode != BASS_POS_BYTE) return Fail<QWORD>(BASS_ERROR_ILLTYPE, kBadQword);
        return Ok<QWORD>(static_cast<QWORD>(stream->info().frames * FrameBytes(*stream)));
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return FALSE;
        if (attrib != BASS_ATTRIB_VOL) return Fail<BOOL>(BASS_ERROR_ILLTYPE, FALSE);
        if (!std::isfinite(value) || value < 0) return Fail<BOOL>(BASS_ERROR_ILLPARAM, FALSE);
        stream->SetVolume(value);
        return Ok<BOOL>(TRUE);
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return FALSE;
        if (attrib != BASS_ATTRIB_VOL) return Fail<BOOL>(BASS_ERROR_ILLTYPE, FALSE);
        if (!value) return Fail<BOOL>(BASS_ERROR_ILLPARAM, FALSE);
        *value = stream->volume();
        return Ok<BOOL>(TRUE);
    });
}

AE_EXPORT DWORD BASS_CALL BASS_ChannelGetLevel(DWORD handle) {
    return Guard<DWORD>(kBadDword, [&]() -> DWORD {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return kBadDword;
        if (!stream->playing()) return Fail<DWORD>(BASS_ERROR_NOPLAY, kBadDword);
        const int window =
            std::max(1, static_cast<int>(std::lround(stream->info().rate * kLevelSeconds)));
        float left = 0, right = 0;
        stream->PeakAtPosition(window, &left, &right);
        return Ok<DWORD>(ae::dsp::LevelFromAmplitude(left) |
                         (ae::dsp::LevelFromAmplitude(right) << 16));
    });
}

AE_EXPORT AE_HOT DWORD BASS_CALL BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    return Guard<DWORD>(kBadDword, [&]() -> DWORD {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return kBadDword;
        if (length != BASS_DATA_FFT512) return Fail<DWORD>(BASS_ERROR_ILLTYPE, kBadDword);
        if (!buffer) return Fail<DWORD>(BASS_ERROR_ILLPARAM, kBadDword);
        stream->SpectrumAtPosition(buffer);  // straight into the caller's buffer
        return Ok<DWORD>(static_cast<DWORD>(sizeof(float) * ae::dsp::Spectrum512::kBins));
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return FALSE;
        if (!info) return Fail<BOOL>(BASS_ERROR_ILLPARAM, FALSE);
        const ae::DecoderInfo& decoded = stream->info();
        *info = BASS_CHANNELINFO{};
        info->freq = static_cast<DWORD>(decoded.rate);
        info->chans = static_cast<DWORD>(decoded.channels);
        info->flags = 0;
        info->ctype = decoded.ctype;
        info->origres = decoded.origres;
        info->filename = stream->path().c_str();  // valid while the stream lives
        return Ok<BOOL>(TRUE);
    });
}

AE_EXPORT QWORD BASS_CALL BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    return Guard<QWORD>(kBadQword, [&]() -> QWORD {
        auto stream = Engine::Instance().Find(handle);
        if (!stream) return kBadQword;
        if (mode != BASS_FILEPOS_END) return Fail<QWORD>(BASS_ERROR_ILLTYPE, kBadQword);
        if (stream->payloadBytes() < 0) return Fail<QWORD>(BASS_ERROR_FILEOPEN, kBadQword);
        return Ok<QWORD>(static_cast<QWORD>(stream->payloadBytes()));
    });
}

AE_EXPORT HFX BASS_CALL BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
    return Guard<HFX>(0, [&]() -> HFX {
        if (!Engine::Instance().Find(handle)) return 0;
        if (type != BASS_FX_DX8_PARAMEQ) return Fail<HFX>(BASS_ERROR_ILLTYPE, 0);
        return Engine::Instance().AddEffect(handle, priority);
    });
}

AE_EXPORT BOOL BASS_CALL BASS_ChannelRemoveFX(DWORD handle, HFX fx) {
    return Guard<BOOL>(FALSE,
                       [&] { return Engine::Instance().RemoveEffect(handle, fx) ? TRUE : FALSE; });
}

AE_EXPORT BOOL BASS_CALL BASS_FXSetParameters(HFX fx, const void* params) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!params) {
            ae::dsp::PeakingParams current;  // tells a stale handle from a missing record
            if (!Engine::Instance().GetEffectParams(fx, &current)) return FALSE;
            return Fail<BOOL>(BASS_ERROR_ILLPARAM, FALSE);
        }
        BASS_DX8_PARAMEQ record;
        std::memcpy(&record, params, sizeof(record));
        const ae::dsp::PeakingParams band{record.fCenter, record.fBandwidth, record.fGain};
        return Engine::Instance().SetEffectParams(fx, band) ? TRUE : FALSE;
    });
}

AE_EXPORT BOOL BASS_CALL BASS_FXGetParameters(HFX fx, void* params) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        ae::dsp::PeakingParams band;
        if (!Engine::Instance().GetEffectParams(fx, &band)) return FALSE;
        if (!params) return Fail<BOOL>(BASS_ERROR_ILLPARAM, FALSE);
        const BASS_DX8_PARAMEQ record{band.centerHz, band.bandwidthSemitones, band.gainDb};
        std::memcpy(params, &record, sizeof(record));
        return TRUE;
    });
}

AE_EXPORT int BASS_CALL BASS_ErrorGetCode(void) { return ae::LastError(); }

AE_EXPORT BOOL BASS_CALL AE_Render(float* out, DWORD frames) {
    return Guard<BOOL>(FALSE,
                       [&] { return Engine::Instance().RenderManual(out, frames) ? TRUE : FALSE; });
}

AE_EXPORT const char* BASS_CALL AE_OutputName(void) {
    return Guard<const char*>("", [&] { return Engine::Instance().OutputName(); });
}
