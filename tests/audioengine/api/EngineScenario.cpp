// SPDX-License-Identifier: MIT
// A small host of the engine, run as a child process by the process tests, so that
// what only a whole process shows can be checked: that nothing is ever written to
// stdout or stderr, and that a process which exits while streams play ends with its
// own exit code. The output comes from AUDIOENGINE_OUTPUT, set by the parent.
//
//   engine_scenario quiet
//   engine_scenario exit-return CODE | exit-call CODE | exit-thread CODE
//
// Exit codes other than CODE: 2 the engine did not start, 3 a file did not open,
// 4 an answer was wrong.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plugin/engine/Bass.h"
#include "plugin/engine/tags.h"
#include "tests/support/AudioFiles.h"

namespace {

using testaudio::Format;

int Quiet() {
    testaudio::TempDir dir;
    if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) return 2;
    // Bad input first: every failure must stay silent too.
    for (const char* bad : {"/nonexistent/file.mp3", "/dev/urandom", "/", ""}) {
        if (BASS_StreamCreateFile(FALSE, bad, 0, 0, 0) != 0) return 4;
    }
    const std::string text = dir.File("text.mp3");
    if (FILE* f = std::fopen(text.c_str(), "w")) {
        std::fputs("not audio at all\n", f);
        std::fclose(f);
    }
    if (BASS_StreamCreateFile(FALSE, text.c_str(), 0, 0, 0) != 0) return 4;
    if (BASS_Init(-1, 44100, 0, nullptr, nullptr)) return 4;

    std::vector<HSTREAM> streams;
    for (const Format format : testaudio::AllFormats()) {
        const int rate = format == Format::Opus ? 48000 : 44100;
        const std::string path =
            dir.File(std::string(testaudio::Name(format)) + testaudio::Extension(format));
        if (!testaudio::Write(path, format, rate, 2, testaudio::Sine(rate, 2, rate / 2, 440, 0.5)))
            return 3;
        const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
        if (!h) return 3;
        const HFX fx = BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 1);
        const BASS_DX8_PARAMEQ bad{5.0f, 100.0f, 99.0f};
        BASS_FXSetParameters(fx, &bad);
        BASS_ChannelPlay(h, FALSE);
        BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, -1.0f);
        BASS_ChannelSetPosition(h, ~QWORD{0}, BASS_POS_BYTE);
        for (const char* key : {"%TITL", "%ARTI", "%ALBM", "%GNRE", "%YEAR", "%CMNT", "%TRCK", "?"})
            TAGS_Read(h, key);
        streams.push_back(h);
    }
    usleep(300000);
    float spectrum[256];
    for (const HSTREAM h : streams) {
        BASS_ChannelGetLevel(h);
        BASS_ChannelGetData(h, spectrum, BASS_DATA_FFT512);
        BASS_ChannelPause(h);
        BASS_ChannelStop(h);
        BASS_StreamFree(h);
        BASS_StreamFree(h);
        TAGS_Read(h, "%TITL");
    }
    usleep(700000);  // the remaining streams end by themselves
    return 0;
}

// Starts 32 streams on the engine and leaves them playing.
int StartStreams(const testaudio::TempDir& dir) {
    if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) return 2;
    const std::string wav = dir.File("tone.wav"), mp3 = dir.File("tone.mp3");
    const auto tone = testaudio::Sine(44100, 2, 44100 * 4, 440, 0.2);
    if (!testaudio::Write(wav, Format::Wav, 44100, 2, tone) ||
        !testaudio::Write(mp3, Format::Mp3, 44100, 2, tone))
        return 3;
    for (int i = 0; i < 32; ++i) {
        const HSTREAM h = BASS_StreamCreateFile(FALSE, (i % 2 ? mp3 : wav).c_str(), 0, 0, 0);
        if (!h || !BASS_ChannelPlay(h, FALSE)) return 3;
        BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 1);
    }
    usleep(200000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int code = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "quiet") return Quiet();

    // The directory must outlive the streams, which play until the process ends.
    static testaudio::TempDir dir;
    if (const int failed = StartStreams(dir)) return failed;
    if (mode == "exit-return") return code;
    if (mode == "exit-call") std::exit(code);
    if (mode == "exit-thread") {
        std::thread([code] { std::exit(code); }).join();
    }
    return 4;
}
