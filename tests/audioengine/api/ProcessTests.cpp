// SPDX-License-Identifier: MIT
// Whole-process behaviour, checked on child processes: the engine writes nothing on
// stdout or stderr, and a host that exits, or unloads the plug-in, while 32 streams
// play ends with its own exit code.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/audioengine/api/EngineTestSupport.h"

using enginetest::ChildResult;
using enginetest::RunChild;

namespace {

// The environment of a child host. A leak check at the exit of a forked child (under
// the address sanitizer) counts what the parent's threads hold as leaked, as their
// stacks are not in the child: those rows leave it out.
std::vector<std::string> HostEnvironment(const std::string& mode) {
    std::vector<std::string> environment = {"AUDIOENGINE_OUTPUT=null"};
    if (mode.rfind("fork", 0) == 0) environment.push_back("LSAN_OPTIONS=detect_leaks=0");
    return environment;
}

std::string Describe(const ChildResult& r) {
    return "exited " + std::to_string(r.exited) + ", code " + std::to_string(r.exit_code) +
           ", signal " + std::to_string(r.signal) + "\nstdout: " + r.out + "\nstderr: " + r.err;
}

// Opening good and bad files, playing, seeking, effects, tags and queries: not one
// byte on stdout or stderr, on the null output and on the default output (which
// tries the sound device, whose library must be kept quiet when there is none).
TEST(Process, NothingWrittenToStdoutOrStderr) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("mix.wav");
    for (const std::string& output : std::vector<std::string>{"null", "auto", "wav:" + wav}) {
        SCOPED_TRACE(output);
        const ChildResult r = RunChild({SCENARIO_PATH, "quiet"}, {"AUDIOENGINE_OUTPUT=" + output});
        EXPECT_TRUE(r.exited) << Describe(r);
        EXPECT_EQ(r.exit_code, 0) << Describe(r);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    // The wav output wrote the mix it played: stereo at the output rate, not silent.
    int channels = 0, rate = 0;
    const std::vector<float> mix = enginetest::ReadWithSndfile(wav, &channels, &rate);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, enginetest::kOutputRate);
    EXPECT_GT(enginetest::Peak(mix), 0.05) << mix.size() << " samples";
    // Its header was finalised at exit: it states every sample the file holds, after
    // the 94 bytes of header.
    EXPECT_EQ(std::filesystem::file_size(wav), 94 + mix.size() * sizeof(float));
}

// A host that ends while 32 streams play ends with its own exit code: by returning
// from main, by exit() on the main thread and by exit() on another thread. A child
// it forks that exits at once (a failed exec) ends at once with its own code.
TEST(Process, HostExitsWhileStreamsPlay) {
    for (const char* mode : {"exit-return", "exit-call", "exit-thread", "fork-exit"}) {
        for (const char* code : {"0", "7"}) {
            SCOPED_TRACE(std::string(mode) + " " + code);
            const ChildResult r = RunChild({SCENARIO_PATH, mode, code}, HostEnvironment(mode));
            EXPECT_TRUE(r.exited) << Describe(r);
            EXPECT_EQ(r.exit_code, std::atoi(code)) << Describe(r);
            EXPECT_EQ(r.err, "");
        }
    }
}

// A host with 32 slots playing. dlclose of the plug-in frees its streams (a reload
// starts clean), while a host that exits with the plug-in loaded, or a forked child
// that exits or unloads it, frees nothing: each ends with its own exit code, and the
// host reports on stderr any stream the plug-in freed at exit or in the child.
TEST(Process, HostUnloadsThePluginWhileStreamsPlay) {
    for (const char* mode : {"unload", "keep", "fork-exit", "fork-unload"}) {
        SCOPED_TRACE(mode);
        const ChildResult r = RunChild({UNLOAD_HOST_PATH, "5", mode}, HostEnvironment(mode));
        EXPECT_TRUE(r.exited) << Describe(r);
        EXPECT_EQ(r.exit_code, 5) << Describe(r);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

// With nothing playing, and with 32 paused streams, the engine's threads sleep on a
// condition: no wake-up at all in half a second (on the null output).
TEST(Process, IdleEngineDoesNotWake) {
    const ChildResult r = RunChild({SCENARIO_PATH, "idle"}, {"AUDIOENGINE_OUTPUT=null"});
    EXPECT_TRUE(r.exited) << Describe(r);
    EXPECT_EQ(r.exit_code, 0) << Describe(r) << " (7: the engine's threads woke)";
}

// The analysis history reaches back past the whole lead at every output rate: level
// and spectrum never come back blank while a stream plays.
TEST(Process, MeterAndSpectrumNeverBlankAtAnyOutputRate) {
    for (const char* rate : {"8000", "44100", "384000"}) {
        SCOPED_TRACE(std::string("output at ") + rate + " Hz");
        const ChildResult r =
            RunChild({SCENARIO_PATH, "history", rate, "report"}, {"AUDIOENGINE_OUTPUT=null"});
        EXPECT_TRUE(r.exited) << Describe(r);
        EXPECT_EQ(r.exit_code, 0) << Describe(r) << " blank levels, spectra: " << r.out;
    }
}

}  // namespace
