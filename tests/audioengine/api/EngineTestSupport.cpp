// SPDX-License-Identifier: MIT
#include "tests/audioengine/api/EngineTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>

extern char** environ;

namespace enginetest {

bool StartEngine(const char* output) {
    setenv("AUDIOENGINE_OUTPUT", output, 1);
    return BASS_Init(-1, kOutputRate, 0, nullptr, nullptr) != FALSE;
}

std::vector<float> Render(int64_t frames, int64_t block) {
    std::vector<float> out(static_cast<size_t>(frames * 2));
    for (int64_t done = 0; done < frames;) {
        const int64_t n = std::min(block, frames - done);
        if (!AE_Render(out.data() + done * 2, static_cast<DWORD>(n))) return {};
        done += n;
    }
    return out;
}

std::vector<float> Side(const std::vector<float>& stereo, int side) {
    std::vector<float> out(stereo.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = stereo[i * 2 + static_cast<size_t>(side)];
    return out;
}

int64_t Channels(DWORD handle) {
    BASS_CHANNELINFO info{};
    if (!BASS_ChannelGetInfo(handle, &info) || info.chans == 0) return 0;
    return info.chans;
}

static int64_t BytesToFrames(DWORD handle, QWORD bytes) {
    const int64_t channels = Channels(handle);
    if (bytes == static_cast<QWORD>(-1) || channels == 0) return -1;
    return static_cast<int64_t>(bytes) / (channels * 2);
}

int64_t PositionFrames(DWORD handle) {
    return BytesToFrames(handle, BASS_ChannelGetPosition(handle, BASS_POS_BYTE));
}

int64_t LengthFrames(DWORD handle) {
    return BytesToFrames(handle, BASS_ChannelGetLength(handle, BASS_POS_BYTE));
}

bool SeekFrames(DWORD handle, int64_t frame) {
    const int64_t channels = Channels(handle);
    return channels > 0 && BASS_ChannelSetPosition(handle, static_cast<QWORD>(frame * channels * 2),
                                                   BASS_POS_BYTE) != FALSE;
}

double ToneAmplitude(const std::vector<float>& mono, int rate, double hz) {
    const size_t n = mono.size();
    if (n < 2) return 0.0;
    double re = 0.0, im = 0.0, window_sum = 0.0;
    const double w = 2.0 * M_PI * hz / rate;
    for (size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / (n - 1));
        re += hann * mono[i] * std::cos(w * static_cast<double>(i));
        im -= hann * mono[i] * std::sin(w * static_cast<double>(i));
        window_sum += hann;
    }
    return 2.0 * std::hypot(re, im) / window_sum;
}

double Rms(const std::vector<float>& mono, size_t begin, size_t end) {
    end = std::min(end, mono.size());
    if (begin >= end) return 0.0;
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i) sum += static_cast<double>(mono[i]) * mono[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

double Peak(const std::vector<float>& mono, size_t begin, size_t end) {
    end = std::min(end, mono.size());
    double peak = 0.0;
    for (size_t i = begin; i < end; ++i) peak = std::max(peak, std::fabs(double{mono[i]}));
    return peak;
}

double ZeroCrossingFrequency(const std::vector<float>& mono, int rate) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (size_t i = 1; i < mono.size(); ++i) {
        if (mono[i - 1] < 0.0f && mono[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + mono[i - 1] / (mono[i - 1] - mono[i]);
            if (first < 0.0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return (crossings - 1) * static_cast<double>(rate) / (last - first);
}

std::vector<float> ReadWithSndfile(const std::string& path, int* channels, int* rate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<float> frames(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    frames.resize(static_cast<size_t>(got * info.channels));
    if (channels) *channels = info.channels;
    if (rate) *rate = info.samplerate;
    return frames;
}

std::string WriteFile(const testaudio::TempDir& dir, const std::string& name,
                      testaudio::Format format, int rate, int channels,
                      const std::vector<float>& frames) {
    const std::string path = dir.File(name + testaudio::Extension(format));
    EXPECT_TRUE(testaudio::Write(path, format, rate, channels, frames)) << path;
    return path;
}

Stream::Stream(const std::string& path) {
    handle_ = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
    error_ = handle_ ? 0 : BASS_ErrorGetCode();
}

Stream::~Stream() {
    if (handle_) BASS_StreamFree(handle_);
}

int Shell(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

ChildResult RunChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extra_env, int timeout_seconds) {
    ChildResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
    for (const std::string& extra : extra_env) {
        const std::string key = extra.substr(0, extra.find('=') + 1);
        env_strings.erase(
            std::remove_if(env_strings.begin(), env_strings.end(),
                           [&](const std::string& s) { return s.rfind(key, 0) == 0; }),
            env_strings.end());
        env_strings.push_back(extra);
    }
    std::vector<char*> envp, args;
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (std::string& s : argv_copy) args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        result.err = "cannot spawn " + argv[0];
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    bool killed = false;
    while (open_pipes > 0) {
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(fds, 2, 200) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
        usleep(10000);
    }
    result.exited = WIFEXITED(status);
    result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

}  // namespace enginetest
