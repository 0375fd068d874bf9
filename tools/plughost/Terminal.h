// SPDX-License-Identifier: MIT
// The terminal side of the live display: raw key input, the alternate screen, the
// signals that end or suspend the program, and key decoding.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace plughost {

// SIGINT, SIGTERM and SIGHUP ask the program to end; SIGWINCH reports a new window
// size; SIGTSTP (Ctrl-Z) asks to suspend. The handlers only set flags, which the
// main loop reads, so the terminal is always put back by ordinary code.
void InstallSignalHandlers();
bool QuitRequested();
// Registers, with atexit, the last step of a run that a signal ended: the signal's
// default action is restored and the signal raised again, so the shell sees the
// process ended by it (status 130 for SIGINT, 143 for SIGTERM). Exit handlers
// registered later run before it: the terminal is restored and the engine stops
// its output (a WAV being written is finished) first. Call it before the engine
// starts.
void ReraiseQuitSignalAtExit();
// On Windows, makes a console show and read the system's (ANSI) code page, in which
// plughost prints the plug-in's texts and file names and the plug-in takes them,
// until the program ends; a console otherwise uses its OEM code page. Nothing
// elsewhere.
void ShowSystemCodePageOnConsole();
bool TakeResized();
bool TakeSuspendRequest();
// Stops the process as Ctrl-Z would (the caller has put the terminal back first);
// returns when the process is continued.
void SuspendSelf();

// Puts the terminal into the state the live display needs and back. Leave() runs
// also at exit, so the terminal is restored on every way out but a kill.
class RawTerminal {
  public:
    // keys: read keys from standard input (raw mode, no echo); the display always
    // takes the alternate screen of standard output and hides the cursor.
    bool Enter(bool keys);
    void Leave();
    bool active() const { return active_; }
    ~RawTerminal() { Leave(); }

  private:
    bool active_ = false;
};

// The size of the terminal on standard output; 80 x 24 when it is not known.
void TerminalSize(int* columns, int* rows);

// Whether the terminal shows UTF-8 (from the locale), so block characters draw.
bool TerminalSpeaksUtf8();

// Whether `fd` is a terminal that takes colours and cursor movement: not when TERM
// is unset or "dumb".
bool DrawingTerminal(int fd);

enum class KeyKind {
    Other,
    Space,
    Left,
    Right,
    Up,
    Down,
    Tab,
    BackTab,
    Plus,
    Minus,
    Stop,
    Mute,
    Quit,
    Eq,
    Digit
};

struct KeyPress {
    KeyKind kind = KeyKind::Other;
    int digit = 0;  // for KeyKind::Digit, 0..9
};

// Turns the bytes read from a terminal into key presses. Escape sequences may be
// split across reads; the part already read is kept for the next Feed.
class KeyDecoder {
  public:
    std::vector<KeyPress> Feed(const char* bytes, size_t count);

  private:
    std::string pending_;
};

// Reads what the keyboard has sent into *bytes, waiting at most `timeoutMs` for
// the first byte (nothing on timeout or interruption). False at end of input.
bool ReadKeys(int timeoutMs, std::string* bytes);

}  // namespace plughost
