// SPDX-License-Identifier: MIT
// The call log each mock DLL keeps: a fixed table, never allocated, so that it can
// record any number of calls (it keeps the first kMockMaxCalls and counts the rest).
#ifndef WINDOWS_MOCK_MOCKLOG_H
#define WINDOWS_MOCK_MOCKLOG_H

#include <stdint.h>
#include <string.h>

#include <type_traits>

#include "windows/mock/MockApi.h"

namespace mock {

// A text argument (file name, tag key): its pointer is recorded, and the text copied.
struct Text {
    const char* text;
};

// A record passed by address (equaliser parameters): its pointer is recorded, and its
// sizeof(T) bytes copied.
template <typename T>
struct RecordOf {
    const void* address;
};

// Argument words, appended in the order the arguments are declared.
inline void Word(MockCall* call, uint32_t word) {
    if (call->wordCount < kMockMaxWords) call->words[call->wordCount++] = word;
}

// An argument as the stack words that carried it, low word first: one for a 32-bit
// integer, float or pointer, two for a 64-bit integer or double. Copying its bytes
// involves no floating-point operation.
template <typename T>
void Put(MockCall* call, const T& value) {
    if constexpr (std::is_pointer_v<T>) {
        Word(call, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value)));
    } else {
        static_assert(sizeof(T) % 4 == 0, "stack arguments are whole words");
        uint32_t words[sizeof(T) / 4];
        memcpy(words, &value, sizeof value);
        for (uint32_t word : words) Word(call, word);
    }
}

inline void Put(MockCall* call, const Text& arg) {
    Put(call, arg.text);
    if (arg.text != nullptr) strncpy(call->text, arg.text, sizeof call->text - 1);
}

template <typename T>
void Put(MockCall* call, const RecordOf<T>& arg) {
    static_assert(sizeof(T) <= kMockRecordBytes, "the record fits the call's copy");
    Put(call, arg.address);
    if (arg.address != nullptr) memcpy(call->record, arg.address, sizeof(T));
}

class CallLog {
  public:
    void Reset() {
        count_ = 0;
        memset(calls_, 0, sizeof calls_);
    }

    // Records a call and its arguments when recording is on; counts it in every case.
    template <typename... Args>
    void Add(bool record, const char* name, const Args&... args) {
        const int index = count_++;
        if (!record || index >= kMockMaxCalls) return;
        MockCall* call = &calls_[index];
        strncpy(call->name, name, sizeof call->name - 1);
        (Put(call, args), ...);
    }

    int Calls(const MockCall** calls) const {
        *calls = calls_;
        return count_;
    }

  private:
    MockCall calls_[kMockMaxCalls];
    int count_ = 0;
};

}  // namespace mock

#endif
