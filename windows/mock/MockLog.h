// The call log each mock DLL keeps: a fixed table, never allocated, so that it can
// record any number of calls (it keeps the first kMockMaxCalls and counts the rest).
#ifndef WINDOWS_MOCK_MOCKLOG_H
#define WINDOWS_MOCK_MOCKLOG_H

#include <string.h>

#include "windows/mock/MockApi.h"

namespace mock {

class CallLog {
  public:
    void Reset() {
        count_ = 0;
        memset(calls_, 0, sizeof calls_);
    }

    // Records a call when recording is on; counts it in every case.
    MockCall* Add(bool record, const char* name) {
        const int index = count_++;
        if (!record || index >= kMockMaxCalls) return nullptr;
        MockCall* call = &calls_[index];
        strncpy(call->name, name, sizeof call->name - 1);
        return call;
    }

    int Calls(const MockCall** calls) const {
        *calls = calls_;
        return count_;
    }

  private:
    MockCall calls_[kMockMaxCalls];
    int count_ = 0;
};

// Argument words, appended in the order the arguments are declared.
inline void Word(MockCall* call, uint32_t word) {
    if (call != nullptr && call->wordCount < kMockMaxWords) call->words[call->wordCount++] = word;
}

// A 64-bit or floating argument is recorded as the stack words that carried it,
// low word first; copying its bytes involves no floating-point operation.
template <typename T>
void Words(MockCall* call, const T& value) {
    static_assert(sizeof(T) % 4 == 0, "stack arguments are whole words");
    uint32_t words[sizeof(T) / 4];
    memcpy(words, &value, sizeof value);
    for (uint32_t word : words) Word(call, word);
}

inline void Text(MockCall* call, const char* text) {
    if (call != nullptr && text != nullptr) strncpy(call->text, text, sizeof call->text - 1);
}

}  // namespace mock

#endif
