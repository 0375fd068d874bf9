// SPDX-License-Identifier: MIT
#include "tests/plughost/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace plughosttest {

Outcome Run(const std::string& program, const std::vector<std::string>& args,
            const std::string& input, const std::vector<std::string>& environment,
            int timeoutSeconds, int interruptAfterMs) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& entry : environment) env.push_back(entry);
    // Under the address sanitizer, plughost reaches the engine's thread-local error
    // code in a library that came in with dlopen; the sanitizer runtime's tracking of
    // __tls_get_addr can misread such a block (glibc may place it in static TLS), and
    // its leak check then crashes at exit, depending on the memory layout. Static TLS
    // is scanned with each thread's TLS all the same. (No effect in other builds.)
    const auto asan = std::find_if(env.begin(), env.end(), [](const std::string& entry) {
        return entry.rfind("ASAN_OPTIONS=", 0) == 0;
    });
    if (asan == env.end())
        env.push_back("ASAN_OPTIONS=intercept_tls_get_addr=0");
    else
        *asan += ":intercept_tls_get_addr=0";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    Outcome outcome;
    size_t written = 0;
    int inFd = in[1];
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    }
    signal(SIGPIPE, SIG_IGN);
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = now + std::chrono::seconds(timeoutSeconds);
    auto interruptAt = now + std::chrono::milliseconds(interruptAfterMs);
    bool interrupt = interruptAfterMs > 0;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        if (interrupt && std::chrono::steady_clock::now() >= interruptAt) {
            kill(pid, SIGINT);
            interrupt = false;
        }
        struct pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {out[0], POLLIN, 0};
        if (errOpen) fds[n++] = {err[0], POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        const auto wait =
            interrupt
                ? std::min<long long>(left, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                interruptAt - std::chrono::steady_clock::now())
                                                    .count() +
                                                1)
                : left;
        if (poll(fds, static_cast<nfds_t>(n), static_cast<int>(std::max<long long>(wait, 0))) < 0)
            continue;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == inFd) {
                const ssize_t w = write(inFd, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buffer[4096];
            const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
            const bool isOut = fds[i].fd == out[0];
            if (r <= 0) {
                (isOut ? outOpen : errOpen) = false;
            } else {
                (isOut ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(r));
            }
        }
    }
    if (inFd >= 0) close(inFd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

}  // namespace plughosttest
