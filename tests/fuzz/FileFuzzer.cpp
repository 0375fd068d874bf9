// SPDX-License-Identifier: MIT
// Writes the input to a file and puts the engine through everything it does with a
// file: open, decode up to a second, three seeks, the information, length, level and
// spectrum, every tag key, and free. The engine runs on the manual output, so each
// run renders the same samples. Besides crashes, leaks and undefined behaviour, it
// stops on answers that break the engine's promises (a failure without an error
// code, a level or spectrum out of range, a position past the length).
//
// The same source builds the libFuzzer target and, without libFuzzer, the replay of
// stored inputs in the normal test suite.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/tags.h"

namespace {

constexpr DWORD kOutputRate = 44100;
constexpr DWORD kBlockFrames = 2048;
constexpr QWORD kBadPosition = ~QWORD{0};
constexpr DWORD kBadValue = ~DWORD{0};
const char* const kTagKeys[] = {"%TITL", "%ARTI", "%ALBM", "%GNRE",
                                "%YEAR", "%CMNT", "%TRCK", "%XXXX"};

std::string& InputPath() {
    static std::string path;
    return path;
}

void RemoveInput() {
    if (!InputPath().empty()) unlink(InputPath().c_str());
}

void Fail(const char* why) {
    std::fprintf(stderr, "file fuzzer: %s (error %d)\n", why, BASS_ErrorGetCode());
    std::abort();
}

void Setup() {
    if (!InputPath().empty()) return;
    setenv("AUDIOENGINE_OUTPUT", "manual", 1);
    // What FFmpeg logs on a damaged file would bury the fuzzer's own report.
    AE_QuietLibraries();
    if (!BASS_Init(-1, kOutputRate, 0, nullptr, nullptr)) Fail("BASS_Init failed");
    const char* base = std::getenv("TMPDIR");
    InputPath() = std::string(base && *base ? base : "/tmp") + "/file-fuzz-" +
                  std::to_string(getpid()) + ".input";
    std::atexit(RemoveInput);
}

bool WriteInput(const uint8_t* data, size_t size) {
    const int fd = open(InputPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    return done == size;
}

// Renders up to `frames` output frames, fewer when the stream ends first.
void Render(HSTREAM stream, DWORD frames) {
    static float out[kBlockFrames * 2];
    for (DWORD done = 0; done < frames; done += kBlockFrames) {
        if (!AE_Render(out, kBlockFrames)) Fail("AE_Render failed");
        for (const float sample : out) {
            if (!(sample >= -1.0f && sample <= 1.0f)) Fail("the mix left [-1, 1]");
        }
        if (BASS_ChannelIsActive(stream) != BASS_ACTIVE_PLAYING) break;
    }
}

void CheckQueries(HSTREAM stream, QWORD length) {
    const QWORD position = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
    if (position == kBadPosition) Fail("no position for an open stream");
    if (position > length) Fail("position past the length");

    const DWORD level = BASS_ChannelGetLevel(stream);
    if (level != kBadValue && ((level & 0xffff) > 32768 || (level >> 16) > 32768))
        Fail("level out of range");

    float spectrum[256];
    const DWORD bytes = BASS_ChannelGetData(stream, spectrum, BASS_DATA_FFT512);
    if (bytes != kBadValue) {
        if (bytes != sizeof spectrum) Fail("spectrum of the wrong size");
        for (const float bin : spectrum) {
            if (!(bin >= 0.0f) || !std::isfinite(bin)) Fail("spectrum value not a magnitude");
        }
    }
    const double seconds = BASS_ChannelBytes2Seconds(stream, position);
    if (!(seconds >= 0.0) || !std::isfinite(seconds)) Fail("position in seconds not finite");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup();
    if (!WriteInput(data, size)) Fail("cannot write the input file");

    const HSTREAM stream = BASS_StreamCreateFile(FALSE, InputPath().c_str(), 0, 0, 0);
    if (stream == 0) {
        if (BASS_ErrorGetCode() == BASS_OK) Fail("a failed open reported no error");
        // Tags of a failed open: a stale handle gives an empty text, never a crash.
        for (const char* key : kTagKeys) {
            if (TAGS_Read(stream, key) == nullptr) Fail("TAGS_Read gave NULL");
        }
        return 0;
    }

    BASS_CHANNELINFO info{};
    if (!BASS_ChannelGetInfo(stream, &info)) Fail("no information for an open stream");
    if (info.freq == 0 || info.chans == 0) Fail("a stream without rate or channels");
    if (info.filename == nullptr || std::strcmp(info.filename, InputPath().c_str()) != 0)
        Fail("the stream does not name its file");
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    if (length == kBadPosition) Fail("no length for an open stream");
    const QWORD frameBytes = QWORD{info.chans} * 2;
    if (length % frameBytes != 0) Fail("length not a whole number of frames");
    (void)BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END);
    (void)BASS_ChannelBytes2Seconds(stream, length);
    (void)BASS_ChannelSeconds2Bytes(stream, 0.5);

    if (!BASS_ChannelPlay(stream, FALSE)) Fail("an open stream does not play");
    Render(stream, kOutputRate);
    CheckQueries(stream, length);

    // Three seeks: the start, the middle, the last frame. Each is heard a little.
    const QWORD frames = length / frameBytes;
    const QWORD targets[3] = {0, frames / 2 * frameBytes, frames ? (frames - 1) * frameBytes : 0};
    for (const QWORD target : targets) {
        if (BASS_ChannelSetPosition(stream, target, BASS_POS_BYTE)) {
            if (BASS_ChannelGetPosition(stream, BASS_POS_BYTE) != target)
                Fail("the position after a seek is not its target");
            BASS_ChannelPlay(stream, FALSE);
            Render(stream, kBlockFrames * 2);
        } else if (BASS_ErrorGetCode() == BASS_OK) {
            Fail("a failed seek reported no error");
        }
        CheckQueries(stream, length);
    }
    if (BASS_ChannelSetPosition(stream, length + frameBytes, BASS_POS_BYTE))
        Fail("a seek past the end succeeded");

    for (const char* key : kTagKeys) {
        const char* text = TAGS_Read(stream, key);
        if (text == nullptr) Fail("TAGS_Read gave NULL");
        (void)std::strlen(text);
    }
    if (!BASS_StreamFree(stream)) Fail("free failed");
    return 0;
}
