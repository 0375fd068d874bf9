// SPDX-License-Identifier: MIT
// What the ABI test host shares with the mock engine DLLs (bass.dll, tags.dll): the
// record of every call, with its arguments as the raw 32-bit stack words the callee
// received, and the results the mocks are scripted to return.
#ifndef WINDOWS_MOCK_MOCKAPI_H
#define WINDOWS_MOCK_MOCKAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { kMockMaxCalls = 1024, kMockMaxWords = 8, kMockTextBytes = 160, kMockRecordBytes = 32 };

typedef struct MockCall {
    char name[32];
    int wordCount;
    uint32_t words[kMockMaxWords];     // the arguments, in order, as 32-bit stack words
    char text[kMockTextBytes];         // a text argument (file name, tag key), copied
    uint8_t record[kMockRecordBytes];  // a record argument (equaliser parameters), copied
} MockCall;

// Results of the mock engine. Handle 0 always fails, as it does in a real engine:
// nothing is written to caller buffers and failure values are returned.
typedef struct MockEngineResults {
    int32_t initResult;
    uint32_t nextStream;  // handle of the next opened stream; 0 makes the open fail
    uint64_t seconds2Bytes;
    uint64_t position;
    uint64_t length;
    double bytes2Seconds;
    uint32_t levels[2];  // GetLevel answers these in turn
    float spectrum[256];
    uint32_t infoFreq;
    uint32_t infoChans;
    uint64_t filePosition;
    uint32_t nextEffect;  // first effect handle; each new effect gets the next one
    int32_t recordCalls;  // 0: count calls only (long loops)
} MockEngineResults;

typedef struct MockTagsResults {
    char text[512];
    int32_t returnNull;
    int32_t recordCalls;
} MockTagsResults;

// Exported by both mocks under their own prefixes (MockEngine..., MockTags...).
typedef void* (*MockScriptFn)(void);
typedef void (*MockResetFn)(void);
// Returns the number of calls made since the reset; *calls points at the first
// min(count, kMockMaxCalls) of them.
typedef int (*MockCallsFn)(const MockCall** calls);

#ifdef __cplusplus
}
#endif

#endif
