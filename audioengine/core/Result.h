// SPDX-License-Identifier: MIT
// What an internal operation of the engine gives back: a value, or the error code
// (BASS_ERROR_*) that says why there is none. Every layer below the C entry points
// returns these; only the entry points (BassApi.cpp) turn a code into the calling
// thread's error, so a code is set in one place and never twice. Header-only: the
// decoders use it too.
#pragma once

#include <type_traits>
#include <utility>

#include "plugin/engine/Bass.h"

namespace ae {

// A failure with its code; converts to any Result, so `return Error{BASS_ERROR_HANDLE};`
// works in every function that returns one.
struct Error {
    int code;
};

// A value of T, or an error code. T must be default-constructible (handles, sizes,
// owning pointers): a failed result holds T{}.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit, as a return value
    Result(Error error) : code_(error.code) {}     // NOLINT: implicit, as a return value

    bool ok() const { return code_ == BASS_OK; }
    // BASS_OK on success, else the BASS_ERROR_* code.
    int code() const { return code_; }
    // The failure, to pass up as it is: `return found.error();`.
    Error error() const { return Error{code_}; }

    T& value() & { return value_; }
    const T& value() const& { return value_; }
    T&& value() && { return std::move(value_); }
    T* operator->() { return &value_; }
    const T* operator->() const { return &value_; }

  private:
    T value_{};
    int code_ = BASS_OK;
};

// An outcome without a value.
class [[nodiscard]] Status {
  public:
    Status() = default;                         // success
    Status(Error error) : code_(error.code) {}  // NOLINT: implicit, as a return value

    bool ok() const { return code_ == BASS_OK; }
    int code() const { return code_; }
    Error error() const { return Error{code_}; }

  private:
    int code_ = BASS_OK;
};

// The name of an error code as Bass.h spells it ("BASS_ERROR_HANDLE"), or "unknown
// error code"; static storage.
inline const char* ErrorName(int code) {
    struct Named {
        int code;
        const char* name;
    };
#define AE_NAMED(constant) \
    { constant, #constant }
    static constexpr Named kNames[] = {
        AE_NAMED(BASS_OK),
        AE_NAMED(BASS_ERROR_MEM),
        AE_NAMED(BASS_ERROR_FILEOPEN),
        AE_NAMED(BASS_ERROR_DRIVER),
        AE_NAMED(BASS_ERROR_HANDLE),
        AE_NAMED(BASS_ERROR_FORMAT),
        AE_NAMED(BASS_ERROR_POSITION),
        AE_NAMED(BASS_ERROR_INIT),
        AE_NAMED(BASS_ERROR_ALREADY),
        AE_NAMED(BASS_ERROR_ILLTYPE),
        AE_NAMED(BASS_ERROR_ILLPARAM),
        AE_NAMED(BASS_ERROR_DEVICE),
        AE_NAMED(BASS_ERROR_NOPLAY),
        AE_NAMED(BASS_ERROR_NOTFILE),
        AE_NAMED(BASS_ERROR_NOTAVAIL),
        AE_NAMED(BASS_ERROR_FILEFORM),
        AE_NAMED(BASS_ERROR_CODEC),
        AE_NAMED(BASS_ERROR_ENDED),
        AE_NAMED(BASS_ERROR_UNKNOWN),
    };
#undef AE_NAMED
    for (const Named& named : kNames) {
        if (named.code == code) return named.name;
    }
    return "unknown error code";
}

}  // namespace ae
