// SPDX-License-Identifier: MIT
#include "tools/plughost/Terminal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plughost {
#ifdef _WIN32
// Windows: the line mode alone (no live display): Ctrl-C and the console closing ask
// the program to end; there is no raw terminal, resize or suspend.
namespace {
volatile LONG gQuit = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        InterlockedExchange(&gQuit, 1);
        return TRUE;
    }
    return FALSE;
}
}  // namespace

void InstallSignalHandlers() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
bool QuitRequested() { return gQuit != 0; }
// Windows ends a process by exit code, not by signal: a run Ctrl-C ended exits 130,
// as the shell reports it on Linux.
void ReraiseQuitSignalAtExit() {
    std::atexit([] {
        if (gQuit == 0) return;
        std::fflush(nullptr);
        std::_Exit(130);
    });
}
void ShowSystemCodePageOnConsole() {
    static UINT previousOutput = 0;
    static UINT previousInput = 0;
    // 0 when the process has no console
    previousOutput = GetConsoleOutputCP();
    previousInput = GetConsoleCP();
    const UINT system = GetACP();
    // Lines typed at the console (a script read from it) come in the console's input
    // code page, the OEM one unless changed: a file name typed there must reach the
    // plug-in in the system's code page, as one given on the command line does.
    if (previousInput != 0 && previousInput != system && SetConsoleCP(system)) {
        std::atexit([] { SetConsoleCP(previousInput); });
    }
    if (previousOutput != 0 && previousOutput != system && SetConsoleOutputCP(system)) {
        std::atexit([] { SetConsoleOutputCP(previousOutput); });
    }
}
bool TakeResized() { return false; }
bool TakeSuspendRequest() { return false; }
void SuspendSelf() {}
bool RawTerminal::Enter(bool) { return false; }
void RawTerminal::Leave() { active_ = false; }
void TerminalSize(int* columns, int* rows) {
    *columns = 80;
    *rows = 24;
}
bool TerminalSpeaksUtf8() { return false; }
bool DrawingTerminal(int) { return false; }
#else
namespace {

volatile sig_atomic_t gQuit = 0;  // the signal that asked the program to end
volatile sig_atomic_t gResized = 0;
volatile sig_atomic_t gSuspend = 0;

// The terminal state before raw mode, for the restore at exit.
struct termios gSavedTermios;
bool gTermiosSaved = false;
bool gScreenTaken = false;

void OnQuit(int signal) { gQuit = signal; }
void OnResize(int) { gResized = 1; }
void OnSuspend(int) { gSuspend = 1; }

void Handle(int signal, void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void WriteAll(const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void RestoreTerminal() {
    if (gScreenTaken) {
        // Show the cursor, leave the alternate screen, reset colours.
        WriteAll("\x1b[0m\x1b[?25h\x1b[?1049l");
        gScreenTaken = false;
    }
    if (gTermiosSaved) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTermios);
        gTermiosSaved = false;
    }
}

}  // namespace

void InstallSignalHandlers() {
    Handle(SIGINT, OnQuit);
    Handle(SIGTERM, OnQuit);
    Handle(SIGHUP, OnQuit);
    Handle(SIGWINCH, OnResize);
    Handle(SIGTSTP, OnSuspend);
}

bool QuitRequested() { return gQuit != 0; }

void ReraiseQuitSignalAtExit() {
    std::atexit([] {
        const int signal = gQuit;
        if (signal != SIGINT && signal != SIGTERM && signal != SIGHUP) return;
        // What was printed is kept: stdio is flushed only after the exit handlers.
        std::fflush(nullptr);
        Handle(signal, SIG_DFL);
        raise(signal);
    });
}

void ShowSystemCodePageOnConsole() {}

bool TakeResized() {
    const bool resized = gResized != 0;
    gResized = 0;
    return resized;
}

bool TakeSuspendRequest() {
    const bool suspend = gSuspend != 0;
    gSuspend = 0;
    return suspend;
}

void SuspendSelf() {
    Handle(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    // Continued.
    Handle(SIGTSTP, OnSuspend);
}

bool RawTerminal::Enter(bool keys) {
    static bool atExitRegistered = false;
    if (!atExitRegistered) {
        std::atexit(RestoreTerminal);
        atExitRegistered = true;
    }
    if (keys && !gTermiosSaved) {
        struct termios raw;
        if (tcgetattr(STDIN_FILENO, &gSavedTermios) == 0) {
            gTermiosSaved = true;
            raw = gSavedTermios;
            // No line editing and no echo; signals (Ctrl-C, Ctrl-Z) still work.
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL));
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
        }
    }
    if (!gScreenTaken) {
        WriteAll("\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
        gScreenTaken = true;
    }
    active_ = true;
    return true;
}

void RawTerminal::Leave() {
    if (!active_) return;
    RestoreTerminal();
    active_ = false;
}

void TerminalSize(int* columns, int* rows) {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        *columns = size.ws_col;
        *rows = size.ws_row;
    } else {
        *columns = 80;
        *rows = 24;
    }
}

bool TerminalSpeaksUtf8() {
    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

bool DrawingTerminal(int fd) {
    const char* term = std::getenv("TERM");
    return isatty(fd) == 1 && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

#endif

std::vector<KeyPress> KeyDecoder::Feed(const char* bytes, size_t count) {
    pending_.append(bytes, count);
    std::vector<KeyPress> keys;
    size_t i = 0;
    while (i < pending_.size()) {
        const char c = pending_[i];
        KeyPress key;
        if (c == '\x1b') {
            // ESC [ X or ESC O X: arrows; anything else after ESC is dropped.
            if (i + 1 >= pending_.size()) break;  // wait for the rest
            const char kind = pending_[i + 1];
            if (kind != '[' && kind != 'O') {
                ++i;
                continue;
            }
            // Find the final byte of the sequence (0x40..0x7E), skipping parameters.
            size_t end = i + 2;
            while (end < pending_.size() && !(pending_[end] >= 0x40 && pending_[end] <= 0x7E))
                ++end;
            if (end >= pending_.size()) {
                if (end - i > 16) {  // not a sequence we know: drop it
                    i = end;
                    continue;
                }
                break;
            }
            switch (pending_[end]) {
                case 'C':
                    key.kind = KeyKind::Right;
                    break;
                case 'D':
                    key.kind = KeyKind::Left;
                    break;
                case 'A':
                    key.kind = KeyKind::Up;
                    break;
                case 'B':
                    key.kind = KeyKind::Down;
                    break;
                case 'Z':
                    key.kind = KeyKind::BackTab;
                    break;
                default:
                    break;
            }
            keys.push_back(key);
            i = end + 1;
            continue;
        }
        switch (c) {
            case ' ':
                key.kind = KeyKind::Space;
                break;
            case '+':
            case '=':
                key.kind = KeyKind::Plus;
                break;
            case '-':
            case '_':
                key.kind = KeyKind::Minus;
                break;
            case 's':
            case 'S':
                key.kind = KeyKind::Stop;
                break;
            case 'q':
            case 'Q':
                key.kind = KeyKind::Quit;
                break;
            case 'e':
            case 'E':
                key.kind = KeyKind::Eq;
                break;
            case 'm':
            case 'M':
                key.kind = KeyKind::Mute;
                break;
            case '\t':
                key.kind = KeyKind::Tab;
                break;
            default:
                if (c >= '0' && c <= '9') {
                    key.kind = KeyKind::Digit;
                    key.digit = c - '0';
                }
                break;
        }
        keys.push_back(key);
        ++i;
    }
    pending_.erase(0, i);
    return keys;
}

#ifdef _WIN32
bool ReadKeys(int timeoutMs, std::string* bytes) {
    // No key input without the live display.
    bytes->clear();
    Sleep(static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 0));
    return true;
}
#else
bool ReadKeys(int timeoutMs, std::string* bytes) {
    bytes->clear();
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, timeoutMs) <= 0) return true;
    if (input.revents & (POLLERR | POLLNVAL)) return false;
    char buffer[64];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    bytes->assign(buffer, static_cast<size_t>(n));
    return true;
}

#endif

}  // namespace plughost
