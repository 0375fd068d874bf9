// SPDX-License-Identifier: MIT
// How each function of the engine double records its call and answers it: one generic
// helper, so that an engine function is a single line naming its arguments.
//
// An argument is written by its type (see EngineDouble.h for the forms); the wrappers
// below name the arguments whose type alone does not say how: a number shown in hex, a
// buffer the function fills, an equaliser record shown by its contents.
#ifndef TESTS_DOUBLE_RECORDING_H
#define TESTS_DOUBLE_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

#include "tests/plugin/double/EngineDouble.h"

namespace enginedouble {

struct Hex {
    uint64_t value;
};

// A caller's buffer with room for `room` elements: written as "buffer" or "null", and
// filled from the scripted result when the result says so.
template <typename T>
struct Out {
    T* buffer;
    size_t room = 1;
};

// An equaliser record passed by address: written as "{centre, bandwidth, gain}".
struct ParamEq {
    const void* params;
};

std::string Arg(int value);
std::string Arg(uint32_t value);
std::string Arg(uint64_t value);
std::string Arg(float value);
std::string Arg(double value);
std::string Arg(const void* pointer);  // "null" or its address in hex
std::string Arg(const char* text);     // "null" or the bytes between double quotes
std::string Arg(Hex value);
std::string Arg(ParamEq record);
template <typename T>
std::string Arg(const Out<T>& out) {
    return out.buffer == nullptr ? "null" : "buffer";
}

// Arguments that receive nothing; the buffers below receive their part of the result.
template <typename T>
void Fill(const Result&, const T&) {}
void Fill(const Result& result, const Out<float>& out);
void Fill(const Result& result, const Out<uint32_t>& out);
void Fill(const Result& result, const Out<BASS_CHANNELINFO>& out);
void Fill(const Result& result, const Out<BASS_DX8_PARAMEQ>& out);

// Appends "function(arg, ...)" to the record, then takes the function's next scripted
// result, fills the caller's buffers from it and returns it as the function's type.
template <typename R, typename... Args>
R Answer(const char* function, const Args&... args) {
    std::string call = function;
    call += '(';
    const char* separator = "";
    for (const std::string& arg : std::initializer_list<std::string>{Arg(args)...}) {
        call += separator;
        call += arg;
        separator = ", ";
    }
    call += ')';
    Record(std::move(call));
    const Result result = Next(function);
    (Fill(result, args), ...);
    if constexpr (std::is_same_v<R, double>) {
        return result.seconds;
    } else if constexpr (std::is_same_v<R, const char*>) {
        // Valid until the calling thread's next call, as the tag library promises.
        static thread_local std::string text;
        if (result.nullText) return nullptr;
        text = result.text;
        return text.c_str();
    } else {
        return static_cast<R>(result.value);
    }
}

}  // namespace enginedouble

#endif
