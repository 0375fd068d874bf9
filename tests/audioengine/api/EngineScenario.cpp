// SPDX-License-Identifier: MIT
// A small host of the engine, run as a child process by the process tests, so that
// what only a whole process shows can be checked: that nothing is ever written to
// stdout or stderr, and that a process which exits while streams play ends with its
// own exit code. The output comes from AUDIOENGINE_OUTPUT, set by the parent.
//
//   engine_scenario quiet
//   engine_scenario exit-return CODE | exit-call CODE | exit-thread CODE | fork-exit CODE
//   engine_scenario idle [report]     the engine's threads do not wake while idle
//   engine_scenario history RATE [report]   level and spectrum never blank at RATE
//
// Exit codes other than CODE: 2 the engine did not start, 3 a file did not open,
// 4 an answer was wrong, 5 a forked child was killed by a signal, 6 a forked child
// hung at exit, 7 the engine's threads woke while idle, 8 a level or spectrum read
// came back blank, 9 the engine's threads were not found by name. With `report`, the figures are
// printed on stdout.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

// A host that forks a child which exits at once (a failed exec): the child inherits
// the engine's exit handler but not its threads, and must end at once.
int ForkAndExit(int code) {
    const pid_t child = fork();
    if (child == 0) std::exit(code);
    if (child < 0) return 4;
    for (int i = 0; i < 300; ++i) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 5;
        }
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return 6;
}

// Context switches of the engine's threads (named "ae-..."; a sanitizer's own thread
// is not one of them): how often they have woken.
long EngineWakeups(int* threads = nullptr) {
    long total = 0;
    if (threads) *threads = 0;
    const std::string self = std::to_string(getpid());
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return -1;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.' || self == task->d_name) continue;
        const std::string dir = std::string("/proc/self/task/") + task->d_name;
        char name[32] = "";
        if (FILE* comm = std::fopen((dir + "/comm").c_str(), "r")) {
            if (!std::fgets(name, sizeof name, comm)) name[0] = '\0';
            std::fclose(comm);
        }
        if (std::strncmp(name, "ae-", 3) != 0) continue;
        if (threads) ++*threads;
        const std::string path = dir + "/status";
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            char line[256];
            long n = 0;
            while (std::fgets(line, sizeof line, f)) {
                if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1 ||
                    std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &n) == 1)
                    total += n;
            }
            std::fclose(f);
        }
    }
    closedir(tasks);
    return total;
}

// CPU time of the whole process, in microseconds.
long CpuMicroseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000000L + t.tv_nsec / 1000;
}

// Wake-ups of the engine's threads, and the process's CPU time, over half a second.
void Measure(long* wakeups, long* cpu) {
    const long w = EngineWakeups(), c = CpuMicroseconds();
    usleep(500000);
    *wakeups = EngineWakeups() - w;
    *cpu = CpuMicroseconds() - c;
}

// An engine with nothing playing, then with 32 paused streams: its threads sleep.
int Idle(const testaudio::TempDir& dir, bool report) {
    if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) return 2;
    usleep(200000);
    long idleWakeups, idleCpu, pausedWakeups, pausedCpu;
    Measure(&idleWakeups, &idleCpu);
    const std::string wav = dir.File("tone.wav");
    if (!testaudio::Write(wav, Format::Wav, 44100, 2,
                          testaudio::Sine(44100, 2, 44100 * 4, 440, 0.2)))
        return 3;
    std::vector<HSTREAM> streams;
    for (int i = 0; i < 32; ++i) {
        const HSTREAM h = BASS_StreamCreateFile(FALSE, wav.c_str(), 0, 0, 0);
        if (!h || !BASS_ChannelPlay(h, FALSE)) return 3;
        streams.push_back(h);
    }
    usleep(200000);
    for (const HSTREAM h : streams) BASS_ChannelPause(h);
    usleep(300000);  // the fades play out, the rings fill
    Measure(&pausedWakeups, &pausedCpu);
    int threads = 0;
    EngineWakeups(&threads);
    if (threads < 4) return 9;  // the output, two workers and the supervisor, by name
    if (report) std::printf("%ld %ld %ld %ld\n", idleWakeups, idleCpu, pausedWakeups, pausedCpu);
    return idleWakeups == 0 && pausedWakeups == 0 ? 0 : 7;
}

// A stream playing at 44.1 kHz on an output at `rate`: 300 level and spectrum reads
// while it plays, none blank.
int History(const testaudio::TempDir& dir, int rate, bool report) {
    if (!BASS_Init(-1, static_cast<DWORD>(rate), 0, nullptr, nullptr)) return 2;
    const std::string wav = dir.File("tone.wav");
    if (!testaudio::Write(wav, Format::Wav, 44100, 2,
                          testaudio::Sine(44100, 2, 44100 * 5, 440, 0.5)))
        return 3;
    const HSTREAM h = BASS_StreamCreateFile(FALSE, wav.c_str(), 0, 0, 0);
    if (!h || !BASS_ChannelPlay(h, FALSE)) return 3;
    usleep(300000);
    int blankLevels = 0, blankSpectra = 0;
    float spectrum[256];
    for (int i = 0; i < 300; ++i) {
        const DWORD level = BASS_ChannelGetLevel(h);
        if (level == DWORD(-1) || (level & 0xffff) == 0) ++blankLevels;
        float peak = 0;
        if (BASS_ChannelGetData(h, spectrum, BASS_DATA_FFT512) != DWORD(-1))
            for (float bin : spectrum) peak = bin > peak ? bin : peak;
        if (peak == 0) ++blankSpectra;
        usleep(3000);
    }
    if (report) std::printf("%d %d\n", blankLevels, blankSpectra);
    return blankLevels == 0 && blankSpectra == 0 ? 0 : 8;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int code = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "quiet") return Quiet();
    const bool report = argc > 2 && std::string(argv[argc - 1]) == "report";
    if (mode == "idle") {
        testaudio::TempDir dir;
        return Idle(dir, report);
    }
    if (mode == "history") {
        testaudio::TempDir dir;
        return History(dir, code, report);
    }

    // The directory must outlive the streams, which play until the process ends.
    static testaudio::TempDir dir;
    if (const int failed = StartStreams(dir)) return failed;
    if (mode == "exit-return") return code;
    if (mode == "fork-exit") return ForkAndExit(code);
    if (mode == "exit-call") std::exit(code);
    if (mode == "exit-thread") {
        std::thread([code] { std::exit(code); }).join();
    }
    return 4;
}
