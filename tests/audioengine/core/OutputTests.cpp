// SPDX-License-Identifier: MIT
// The outputs that run on their own threads. The engine starts once per process, so
// each test expects a process of its own (as ctest runs them) and skips otherwise.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "tests/support/AudioFiles.h"

namespace {

constexpr int kRate = 44100;

bool FreshProcess() { return std::string(AE_OutputName()).empty(); }

// Polls `done` for up to 10 s: outputs run in real time, on loaded machines too.
template <typename Done>
bool Eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

HSTREAM PlayTone(const testaudio::TempDir& dir, double amplitude) {
    const std::string path = dir.File("tone.wav");
    EXPECT_TRUE(testaudio::Write(path, testaudio::Format::WavFloat, kRate, 2,
                                 testaudio::Sine(kRate, 2, kRate * 20, 1000, amplitude)));
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
    EXPECT_NE(h, 0u) << BASS_ErrorGetCode();
    EXPECT_TRUE(BASS_ChannelPlay(h, FALSE));
    return h;
}

bool Advances(HSTREAM h) {
    return Eventually([&] { return BASS_ChannelGetPosition(h, BASS_POS_BYTE) >= 4 * 4410u; });
}

// The mix reaches the WAV file, written off the paced thread, its header kept current.
TEST(Outputs, WavOutputWritesTheMix) {
    if (!FreshProcess()) GTEST_SKIP() << "needs a process of its own";
    testaudio::TempDir dir;
    const std::string wav = dir.File("mix.wav");
    setenv("AUDIOENGINE_OUTPUT", ("wav:" + wav).c_str(), 1);
    ASSERT_TRUE(BASS_Init(-1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    EXPECT_STREQ(AE_OutputName(), "wav");
    const HSTREAM h = PlayTone(dir, 0.5);
    ASSERT_TRUE(Advances(h));

    std::vector<float> samples;
    ASSERT_TRUE(Eventually([&] {
        SF_INFO info{};
        SNDFILE* file = sf_open(wav.c_str(), SFM_READ, &info);
        if (!file) return false;
        EXPECT_EQ(info.samplerate, kRate);
        EXPECT_EQ(info.channels, 2);
        samples.assign(static_cast<size_t>(info.frames) * 2, 0.0f);
        sf_readf_float(file, samples.data(), info.frames);
        sf_close(file);
        return info.frames >= kRate / 5;
    })) << "the file does not grow";
    float peak = 0;
    for (float x : samples) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, 0.5f, 0.01f) << "the tone at its own amplitude";
}

// A device as BASS_GetDeviceInfo describes it.
struct Listed {
    std::string name, driver;
    DWORD flags;
    bool operator==(const Listed& o) const {
        return name == o.name && driver == o.driver && flags == o.flags;
    }
};
std::ostream& operator<<(std::ostream& out, const Listed& d) {
    return out << "{" << d.name << ", " << d.driver << ", " << d.flags << "}";
}

// Every listed device, from 0 to the first number that fails (which must fail as
// past the end).
std::vector<Listed> ListDevices() {
    std::vector<Listed> devices;
    BASS_DEVICEINFO info;
    for (DWORD i = 0; BASS_GetDeviceInfo(i, &info); ++i)
        devices.push_back({info.name, info.driver, info.flags});
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    return devices;
}

// SDL's dummy driver stands in for a sound card, with one device: the list, and how
// each way of starting the engine marks the device in use.
void UseDummySoundDevice() {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("AUDIOENGINE_DRIVER", "sdl", 1);
    unsetenv("AUDIOENGINE_OUTPUT");
}
constexpr DWORD kOn = BASS_DEVICE_ENABLED;
constexpr DWORD kDefault = BASS_DEVICE_DEFAULT;
constexpr DWORD kInit = BASS_DEVICE_INIT;
const char* const kDummy = "System audio output device";  // SDL's name for it

// Listed before BASS_Init; bad numbers and a missing info refused; on the null
// output, device 0 is the one in use.
TEST(Outputs, DeviceListBeforeAndAfterInitOnNull) {
    if (!FreshProcess()) GTEST_SKIP() << "needs a process of its own";
    UseDummySoundDevice();
    EXPECT_EQ(ListDevices(),
              (std::vector<Listed>{
                  {"No sound", "", kOn}, {"Default", "", kOn | kDefault}, {kDummy, kDummy, kOn}}));
    BASS_DEVICEINFO info;
    for (DWORD past : {3u, 0x80000002u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(BASS_GetDeviceInfo(past, &info)) << past;
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE) << past;
    }
    for (DWORD device : {0u, 2u, 3u}) {
        EXPECT_FALSE(BASS_GetDeviceInfo(device, nullptr)) << device;
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM) << device;
    }
    for (int device : {3, 1000, -2, INT_MIN}) {
        EXPECT_FALSE(BASS_Init(device, kRate, 0, nullptr, nullptr)) << device;
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE) << device;
        EXPECT_STREQ(AE_OutputName(), "") << "nothing started";
    }
    ASSERT_TRUE(BASS_Init(0, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    EXPECT_EQ(ListDevices(), (std::vector<Listed>{{"No sound", "", kOn | kInit},
                                                  {"Default", "", kOn | kDefault},
                                                  {kDummy, kDummy, kOn}}));
}

// A listed device opens by its number and runs the mix; it is the one in use.
TEST(Outputs, ListedDeviceOpensByNumber) {
    if (!FreshProcess()) GTEST_SKIP() << "needs a process of its own";
    UseDummySoundDevice();
    ASSERT_TRUE(BASS_Init(2, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    EXPECT_STREQ(AE_OutputName(), "device");
    EXPECT_EQ(ListDevices(), (std::vector<Listed>{{"No sound", "", kOn},
                                                  {"Default", "", kOn | kDefault},
                                                  {kDummy, kDummy, kOn | kInit}}));
    testaudio::TempDir dir;
    EXPECT_TRUE(Advances(PlayTone(dir, 0.5)));
}

// Without a usable device, an explicit request fails (DRIVER) and changes nothing, and
// the default output carries on as null; the output's reason says why each time.
TEST(Outputs, NoDeviceFailsExplicitlyAndFallsBackToNullByDefault) {
    if (!FreshProcess()) GTEST_SKIP() << "needs a process of its own";
    testaudio::TempDir logDir;
    const std::string log = logDir.File("engine.log");
    setenv("AUDIOENGINE_LOG", log.c_str(), 1);
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    setenv("AUDIOENGINE_DRIVER", "sdl", 1);
    setenv("AUDIOENGINE_OUTPUT", "device", 1);
    EXPECT_FALSE(BASS_Init(-1, kRate, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DRIVER);
    EXPECT_STREQ(AE_OutputName(), "");
    const std::string refused = AE_OutputReason();
    EXPECT_EQ(refused.rfind("no sound device opened (SDL", 0), 0u) << refused;
    EXPECT_NE(refused.find("no-such-driver"), std::string::npos) << "SDL's own words: " << refused;
    EXPECT_EQ(BASS_StreamCreateFile(FALSE, "/dev/null", 0, 0, 0), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT) << "no stream before a successful init";

    setenv("AUDIOENGINE_OUTPUT", "wav:/nonexistent-folder/mix.wav", 1);
    EXPECT_FALSE(BASS_Init(-1, kRate, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    EXPECT_STREQ(AE_OutputReason(),
                 "cannot create /nonexistent-folder/mix.wav: No such file or directory");

    setenv("AUDIOENGINE_OUTPUT", "loudspeaker", 1);
    EXPECT_FALSE(BASS_Init(-1, kRate, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM) << "an unknown output is refused";
    EXPECT_FALSE(BASS_Init(-1, 100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM) << "so is a rate no mixer runs at";

    setenv("AUDIOENGINE_OUTPUT", "auto", 1);
    ASSERT_TRUE(BASS_Init(-1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    EXPECT_STREQ(AE_OutputName(), "null");
    EXPECT_EQ(AE_OutputReason(), "null: " + refused) << "the fallback says why";
    testaudio::TempDir dir;
    EXPECT_TRUE(Advances(PlayTone(dir, 0.5)));
    float out[2];
    EXPECT_FALSE(AE_Render(out, 1)) << "only the manual output renders on request";
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
    const std::string refusedFile = dir.File("notes.txt");
    std::ofstream(refusedFile) << "not audio";
    EXPECT_EQ(BASS_StreamCreateFile(FALSE, refusedFile.c_str(), 0, 0, 0), 0u);

    // The trace has a line for each choice and each refusal, with its reason.
    std::ifstream trace(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(trace, line);)
        lines.push_back(line.substr(line.find("] ") + 2));
    const std::vector<std::string> expected = {
        "output " + refused, "output cannot create /nonexistent-folder/mix.wav",
        "output null: " + refused, "refused " + refusedFile + ": BASS_ERROR_FILEFORM"};
    ASSERT_EQ(lines.size(), expected.size()) << log;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];
    }
}

// The scheduling of each thread of this process: policy and nice value.
struct ThreadScheduling {
    int policy;
    int nice;
};
std::vector<ThreadScheduling> Threads() {
    std::vector<ThreadScheduling> threads;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = std::stoi(entry.path().filename().string());
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // After "(comm)", the nice value is the 17th field.
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int i = 0; i < 17 && fields >> field; ++i) {
        }
        threads.push_back({sched_getscheduler(tid), std::stoi(field)});
    }
    return threads;
}

bool CanRaisePriority() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_SYS_NICE / 32].effective & (1u << (CAP_SYS_NICE % 32)));
}

// Starts the engine on the null output and plays a tone until its position moves, so
// that the output thread and the decode workers have all set their priorities.
void PlayOnNullOutput(const testaudio::TempDir& dir) {
    setenv("AUDIOENGINE_OUTPUT", "null", 1);
    ASSERT_TRUE(BASS_Init(-1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    ASSERT_TRUE(Advances(PlayTone(dir, 0.5)));
}

// Why a priority test cannot run here, or nullptr when it can: it needs a process of
// its own, the right to raise priorities, and ordinary (not real-time) scheduling.
const char* PriorityTestUnfit() {
    if (!FreshProcess()) return "needs a process of its own";
    if (!CanRaisePriority()) return "needs CAP_SYS_NICE";
    if (sched_getscheduler(0) != SCHED_OTHER) return "this process runs real-time";
    return nullptr;
}

// Where permitted, the output thread runs real-time (round-robin, low priority) and
// the decode workers at nice -10; the other threads are left as they were.
TEST(Outputs, AudioThreadsRunBeforeOrdinaryWork) {
    if (const char* why = PriorityTestUnfit()) GTEST_SKIP() << why;
    const int baseline = getpriority(PRIO_PROCESS, 0);
    if (baseline <= -10 || baseline > 0) {
        GTEST_SKIP() << "this process does not run at an ordinary nice value";
    }
    testaudio::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(PlayOnNullOutput(dir));
    int realtime = 0, raised = 0, ordinary = 0;
    for (const ThreadScheduling& thread : Threads()) {
        if (thread.policy == SCHED_RR) ++realtime;
        if (thread.policy == SCHED_OTHER && thread.nice == -10) ++raised;
        if (thread.policy == SCHED_OTHER && thread.nice == baseline) ++ordinary;
    }
    EXPECT_EQ(realtime, 1) << "the output thread";
    EXPECT_EQ(raised, 2) << "the two decode workers";
    EXPECT_GE(ordinary, 1) << "this test's own thread";
}

// A host its user started in the background (nice 19) keeps its audio threads
// there: the decode workers go 10 steps ahead of the host's threads, the output
// thread likewise instead of real-time, and neither ahead of ordinary processes.
TEST(Outputs, AudioThreadsOfABackgroundHostStayInTheBackground) {
    if (const char* why = PriorityTestUnfit()) GTEST_SKIP() << why;
    // The engine's threads inherit this thread's nice value.
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19), 0);
    testaudio::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(PlayOnNullOutput(dir));
    int realtime = 0, stepped = 0, background = 0;
    for (const ThreadScheduling& thread : Threads()) {
        if (thread.policy != SCHED_OTHER) ++realtime;
        if (thread.policy == SCHED_OTHER && thread.nice == 9) ++stepped;
        if (thread.policy == SCHED_OTHER && thread.nice == 19) ++background;
    }
    EXPECT_EQ(realtime, 0);
    EXPECT_EQ(stepped, 3) << "the output thread and the two decode workers";
    EXPECT_GE(background, 1) << "this test's own thread";
}

// Without the privilege the engine plays as before, its threads scheduled as the
// process is.
TEST(Outputs, RefusedPriorityChangesNothingAndPlays) {
    if (!FreshProcess()) GTEST_SKIP() << "needs a process of its own";
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
    const rlimit none{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none), 0);
    ASSERT_EQ(setrlimit(RLIMIT_NICE, &none), 0);
    ASSERT_FALSE(CanRaisePriority());
    const int policy = sched_getscheduler(0);
    const int nice = getpriority(PRIO_PROCESS, 0);

    setenv("AUDIOENGINE_OUTPUT", "null", 1);
    ASSERT_TRUE(BASS_Init(-1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    testaudio::TempDir dir;
    EXPECT_TRUE(Advances(PlayTone(dir, 0.5)));
    for (const ThreadScheduling& thread : Threads()) {
        EXPECT_EQ(thread.policy, policy);
        EXPECT_EQ(thread.nice, nice);
    }
}

}  // namespace
