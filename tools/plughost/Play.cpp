// SPDX-License-Identifier: MIT
#include "tools/plughost/Play.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "tools/plughost/Display.h"
#include "tools/plughost/Media.h"
#include "tools/plughost/Options.h"
#include "tools/plughost/Plugin.h"
#include "tools/plughost/Terminal.h"

namespace plughost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFramePeriod = std::chrono::milliseconds(50);  // the live display, ~20 Hz
constexpr auto kPlainPoll = std::chrono::milliseconds(100);   // without a terminal
constexpr auto kStatusPeriod = std::chrono::seconds(1);       // plain status lines
// A playing slot that reads "not playing" before its end counts as ended once it
// has done so for this long.
constexpr auto kEndConfirm = std::chrono::milliseconds(150);
constexpr int kSeekStep = 5;     // seconds, arrow keys
constexpr int kVolumeStep = 10;  // percent, + and -

struct Slot {
    SlotView view;
    std::optional<Clock::time_point> silentSince;  // first "not playing" reading
};

class Player {
  public:
    Player(Plugin& plugin, const Options& options, std::ostream& out, std::ostream& err)
        : plugin_(plugin), options_(options), out_(out), err_(err) {}

    int Run();

  private:
    bool OpenAll();
    void Poll(bool withSpectrum);
    bool AllEnded() const;
    void HandleKey(const KeyPress& key);
    void PrintStatus();
    void Draw(RawTerminal& terminal);
    void Close();

    Slot* Selected() { return slots_.empty() ? nullptr : &slots_[selected_]; }
    std::string Named(const Slot& slot) const { return "slot " + std::to_string(slot.view.slot); }

    Plugin& plugin_;
    const Options& options_;
    std::ostream& out_;
    std::ostream& err_;
    std::vector<Slot> slots_;
    size_t selected_ = 0;
    std::array<int, 10> gains_{};
    bool showEq_ = false;
    bool quit_ = false;
    std::string message_;
    Screen screen_;
};

bool Player::OpenAll() {
    for (const auto& [band, gain] : options_.bands) gains_[static_cast<size_t>(band - 1)] = gain;

    bool anyPlayable = false;
    for (size_t i = 0; i < options_.files.size(); ++i) {
        Slot slot;
        SlotView& view = slot.view;
        view.slot = static_cast<int>(i) + 1;
        view.file = options_.files[i];
        view.volume = options_.volume;
        view.problem = OpenFile(plugin_, view.slot, view.file);
        if (!view.problem.empty()) {
            err_ << "plughost: cannot play " << view.file << ": " << view.problem << '\n';
            slots_.push_back(std::move(slot));
            continue;
        }
        const MediaFacts facts = ReadFacts(plugin_, view.slot);
        view.title = facts.tags[0];
        view.artist = facts.tags[1];
        view.rate = facts.rate;
        view.kbps = facts.kbps;
        view.layout = facts.layout;
        view.length = facts.lengthSeconds;

        plugin_.CreateEqualiser(view.slot);
        for (int band = 1; band <= 10; ++band)
            plugin_.SetBand(view.slot, band, gains_[static_cast<size_t>(band - 1)]);
        plugin_.SetVolume(view.slot, view.volume);
        if (options_.start > 0) {
            if (view.length >= 0 && options_.start >= view.length)
                err_ << "plughost: " << view.file << " is only " << view.length
                     << " s long; it plays from the start\n";
            else
                plugin_.Seek(view.slot, options_.start);
        }
        view.state = SlotState::Playing;
        anyPlayable = true;
        slots_.push_back(std::move(slot));
    }
    err_.flush();
    return anyPlayable;
}

void Player::Poll(bool withSpectrum) {
    const auto now = Clock::now();
    for (Slot& slot : slots_) {
        SlotView& view = slot.view;
        if (view.state == SlotState::Empty) continue;
        if (const auto position = ParseTime(plugin_.PositionText(view.slot)))
            view.position = *position;
        const auto level = ParseLevel(plugin_.LevelText(view.slot));
        view.level = level.value_or(Level{});
        if (withSpectrum) {
            if (const auto spectrum = ParseSpectrum(plugin_.SpectrumText(view.slot)))
                view.spectrum = *spectrum;
        }
        // A slot has ended when it is not playing and we did not pause or stop it.
        if (view.state != SlotState::Playing || !level || level->playing) {
            slot.silentSince.reset();
            continue;
        }
        // At its length it has plainly finished; elsewhere wait a little, so a
        // stream that is only about to start is not taken for a finished one.
        const bool atEnd = view.length > 0 && view.position >= view.length;
        if (!slot.silentSince) slot.silentSince = now;
        if (atEnd || now - *slot.silentSince >= kEndConfirm) view.state = SlotState::Ended;
    }
}

bool Player::AllEnded() const {
    for (const Slot& slot : slots_) {
        if (slot.view.state != SlotState::Empty && slot.view.state != SlotState::Ended)
            return false;
    }
    return true;
}

void Player::HandleKey(const KeyPress& key) {
    Slot* slot = Selected();
    if (key.kind == KeyKind::Quit) {
        quit_ = true;
        return;
    }
    if (key.kind == KeyKind::Digit) {
        if (static_cast<size_t>(key.digit) <= slots_.size()) {
            selected_ = static_cast<size_t>(key.digit - 1);
            message_ = "selected slot " + std::to_string(key.digit);
        } else {
            message_ = "there is no slot " + std::to_string(key.digit);
        }
        return;
    }
    if (key.kind == KeyKind::Up || key.kind == KeyKind::Down) {
        if (slots_.empty()) return;
        const size_t count = slots_.size();
        selected_ = (selected_ + (key.kind == KeyKind::Down ? 1 : count - 1)) % count;
        message_ = "selected slot " + std::to_string(selected_ + 1);
        return;
    }
    if (key.kind == KeyKind::Eq) {
        showEq_ = !showEq_;
        message_ = showEq_ ? "equaliser gains shown" : "spectrum scale shown";
        return;
    }
    if (key.kind == KeyKind::Other) {
        message_ = "keys: space pause, s stop, arrows seek, +/- volume, 1-9 select, e eq, q quit";
        return;
    }
    if (slot == nullptr) return;
    SlotView& view = slot->view;
    if (view.state == SlotState::Empty) {
        message_ = Named(*slot) + " is empty";
        return;
    }
    switch (key.kind) {
        case KeyKind::Space:
            if (view.state == SlotState::Playing) {
                plugin_.Pause(view.slot);
                view.state = SlotState::Paused;
                message_ = Named(*slot) + " paused";
            } else {
                // Paused resumes; stopped starts again from the top (the plug-in
                // rewinds a stopped slot); ended plays again from the start.
                plugin_.Play(view.slot);
                view.state = SlotState::Playing;
                slot->silentSince.reset();
                message_ = Named(*slot) + " playing";
            }
            break;
        case KeyKind::Stop:
            if (view.state == SlotState::Playing || view.state == SlotState::Paused) {
                plugin_.Stop(view.slot);
                view.state = SlotState::Stopped;
                message_ = Named(*slot) + " stopped";
            }
            break;
        case KeyKind::Left:
        case KeyKind::Right: {
            const int step = key.kind == KeyKind::Left ? -kSeekStep : kSeekStep;
            const int last = std::max(0, view.length - 1);
            const int target = std::clamp(std::max(view.position, 0) + step, 0, last);
            plugin_.Seek(view.slot, target);
            view.position = target;
            // A finished stream that is moved back waits there until space plays it.
            if (view.state == SlotState::Ended && target < view.length)
                view.state = SlotState::Stopped;
            message_ = Named(*slot) + ": seek to " + FormatClock(target);
            break;
        }
        case KeyKind::Plus:
        case KeyKind::Minus: {
            const int step = key.kind == KeyKind::Plus ? kVolumeStep : -kVolumeStep;
            view.volume = std::clamp(view.volume + step, 0, kMaxVolume);
            plugin_.SetVolume(view.slot, view.volume);
            message_ = Named(*slot) + ": volume " + std::to_string(view.volume) + "%";
            break;
        }
        default:
            break;
    }
}

void Player::PrintStatus() {
    for (const Slot& slot : slots_) out_ << StatusLine(slot.view) << '\n';
    out_.flush();
}

void Player::Draw(RawTerminal& terminal) {
    if (!terminal.active()) return;
    TerminalSize(&screen_.columns, &screen_.rows);
    FrameInput input;
    input.slots.reserve(slots_.size());
    for (const Slot& slot : slots_) input.slots.push_back(slot.view);
    input.selected = selected_;
    input.showEq = showEq_;
    input.gains = gains_;
    input.heading = " plughost  " + plugin_.path() + "  output " + options_.output;
    input.message = message_;
    const std::string frame = ComposeFrame(RenderFrame(input, screen_));
    out_ << frame;
    out_.flush();
}

void Player::Close() {
    for (const Slot& slot : slots_) {
        if (slot.view.state == SlotState::Empty) continue;
        plugin_.Stop(slot.view.slot);
        plugin_.Free(slot.view.slot);
    }
}

int Player::Run() {
    InstallSignalHandlers();
    const bool anyPlayable = OpenAll();
    const bool anyEmpty = std::any_of(slots_.begin(), slots_.end(), [](const Slot& slot) {
        return slot.view.state == SlotState::Empty;
    });
    const int status = anyEmpty ? 1 : 0;
    if (!anyPlayable) {
        if (!OutputHint(options_.output).empty()) err_ << OutputHint(options_.output) << '\n';
        return 1;
    }

    for (Slot& slot : slots_) {
        if (slot.view.state != SlotState::Empty) plugin_.Play(slot.view.slot);
    }
    // Select the first slot that plays.
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].view.state != SlotState::Empty) {
            selected_ = i;
            break;
        }
    }

    const bool live = isatty(STDOUT_FILENO) == 1;
    bool keys = live && isatty(STDIN_FILENO) == 1;
    screen_.utf8 = TerminalSpeaksUtf8();
    const char* noColour = std::getenv("NO_COLOR");
    screen_.colour = noColour == nullptr || *noColour == '\0';

    RawTerminal terminal;
    if (live) terminal.Enter(keys);
    KeyDecoder decoder;

    const auto started = Clock::now();
    // Without --for the run has no deadline.
    const bool timed = options_.forSeconds.has_value();
    const Clock::time_point deadline =
        started + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(options_.forSeconds.value_or(0.0)));
    auto nextStatus = started;

    while (!quit_ && !QuitRequested()) {
        const auto frameStart = Clock::now();
        Poll(live);
        if (live) {
            Draw(terminal);
        } else if (frameStart >= nextStatus) {
            PrintStatus();
            nextStatus += kStatusPeriod;
        }
        if (AllEnded() || (timed && Clock::now() >= deadline)) break;

        const auto frameEnd = frameStart + (live ? kFramePeriod : kPlainPoll);
        if (keys) {
            // Wait for keys until the next frame is due.
            for (auto now = Clock::now(); now < frameEnd && !quit_; now = Clock::now()) {
                const int wait = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(frameEnd - now).count());
                std::string bytes;
                if (!ReadKeys(std::max(wait, 1), &bytes)) {
                    keys = false;  // the keyboard has gone: play on without it
                    break;
                }
                if (bytes.empty()) {
                    if (QuitRequested()) break;
                    continue;
                }
                for (const KeyPress& key : decoder.Feed(bytes.data(), bytes.size())) HandleKey(key);
                break;  // redraw at once to show what the key did
            }
        } else {
            std::this_thread::sleep_until(frameEnd);
        }
        if (TakeSuspendRequest()) {
            terminal.Leave();
            SuspendSelf();
            if (live) terminal.Enter(keys);
        }
        TakeResized();  // every frame reads the size anew
    }

    if (live) {
        terminal.Leave();
    } else {
        Poll(false);
    }
    // What each slot came to, also after the live display has gone.
    PrintStatus();
    Close();
    return status;
}

}  // namespace

int RunPlay(Plugin& plugin, const Options& options, std::ostream& out, std::ostream& err) {
    Player player(plugin, options, out, err);
    return player.Run();
}

}  // namespace plughost
