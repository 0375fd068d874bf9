// SPDX-License-Identifier: MIT
#include "tools/plughost/Play.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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
// At the end, the output may still hold what was mixed last (a file's end, the fade of
// a stop); waited for up to this long, so that it is heard, not cut off with the process.
constexpr auto kPlayOutLimit = std::chrono::seconds(1);
// The engine's account of a device counts the buffers the device states; a system mixer
// below it (Windows' audio engine; Wine's driver and the sound server it feeds) may hold
// more, and play it later than the account says where it fell behind and played
// silence in between (Wine under load: tens of ms).
constexpr auto kPlayOutMargin = std::chrono::milliseconds(100);
// Two digits typed within this time select one slot (1 then 2: slot 12).
constexpr auto kDigitPause = std::chrono::milliseconds(1000);
constexpr int kSeekStep = 5;     // seconds, arrow keys
constexpr int kVolumeStep = 10;  // percent, + and -
constexpr int kMaxGain = 15;     // dB, either way, as --eq takes
// A meter's peak mark holds this long, then falls this much of the meter a second.
constexpr double kPeakHoldSeconds = 1.0;
constexpr double kPeakFallPerSecond = 0.6;

// The peak mark of one meter.
struct PeakHold {
    double top = 0;  // the peak last reached
    Clock::time_point since{};
    // Follows a rising level at once; after the hold, falls towards the level.
    double Update(double level, Clock::time_point now) {
        const double held = std::chrono::duration<double>(now - since).count();
        const double falling =
            held > kPeakHoldSeconds ? top - kPeakFallPerSecond * (held - kPeakHoldSeconds) : top;
        if (level < falling) return falling;
        top = level;
        since = now;
        return level;
    }
};

struct Slot {
    SlotView view;
    std::optional<Clock::time_point> silentSince;  // first "not playing" reading
    // Stopped: the plug-in starts the next play from the top, whatever position it
    // reports until then. A seek clears it.
    bool rewound = false;
    PeakHold left, right;
};

class Player {
  public:
    Player(Plugin& plugin, const Options& options, std::ostream& out, std::ostream& err)
        : plugin_(plugin), options_(options), out_(out), err_(err) {}

    int Run();

  private:
    bool OpenAll();
    std::string OpenSlot(Slot& slot);
    void Poll(bool withSpectrum);
    bool AllEnded() const;
    void HandleKey(const KeyPress& key);
    void SelectByDigit(int digit);
    void HandleEqKey(SlotView& view, const KeyPress& key);
    void PrintStatus();
    void Draw(RawTerminal& terminal);
    void Close();

    Slot* Selected() { return slots_.empty() ? nullptr : &slots_[selected_]; }
    std::string Named(const Slot& slot) const { return "slot " + std::to_string(slot.view.slot); }
    void Select(size_t index) {
        selected_ = index;
        message_ = "selected slot " + std::to_string(index + 1);
    }

    Plugin& plugin_;
    const Options& options_;
    std::ostream& out_;
    std::ostream& err_;
    std::vector<Slot> slots_;
    size_t selected_ = 0;
    bool showEq_ = false;
    int eqBand_ = 0;
    int pendingDigit_ = 0;  // a first digit that a second may extend
    Clock::time_point pendingAt_{};
    bool quit_ = false;
    std::string message_;
    Screen screen_;
};

// Opens the slot's file and sets it up; an empty text, or why the slot stays empty.
std::string Player::OpenSlot(Slot& slot) {
    SlotView& view = slot.view;
    std::string problem = OpenFile(plugin_, view.slot, view.file);
    if (!problem.empty()) return problem;
    const MediaFacts facts = ReadFacts(plugin_, view.slot, view.file);
    view.title = facts.tags[0];
    view.artist = facts.tags[1];
    view.rate = facts.rate;
    view.kbps = facts.kbps;
    view.layout = facts.layout;
    view.length = facts.lengthSeconds;

    // The plug-in seeks to whole seconds.
    const int64_t start = std::llround(options_.start);
    const std::optional<double> seconds = ExactSeconds(facts);
    const double length = seconds.value_or(facts.lengthSeconds);
    if (start > 0 && (seconds || facts.lengthSeconds >= 0) && start >= length) {
        plugin_.Free(view.slot);
        return "--start " + FormatClock(start) + " is at or past its end (it lasts " +
               FormatClock(std::llround(length)) + ")";
    }
    plugin_.CreateEqualiser(view.slot);
    for (int band = 1; band <= kEqBands; ++band)
        plugin_.SetBand(view.slot, band, view.gains[static_cast<size_t>(band - 1)]);
    plugin_.SetVolume(view.slot, view.volume);
    if (start > 0) plugin_.Seek(view.slot, static_cast<int32_t>(start));
    view.state = SlotState::Playing;
    return "";
}

bool Player::OpenAll() {
    bool anyPlayable = false;
    for (size_t i = 0; i < options_.files.size(); ++i) {
        Slot slot;
        SlotView& view = slot.view;
        view.slot = static_cast<int>(i) + 1;
        view.file = options_.files[i];
        view.volume = options_.volume;
        for (const auto& [band, gain] : options_.bands)
            view.gains[static_cast<size_t>(band - 1)] = gain;
        view.problem = OpenSlot(slot);
        if (view.problem.empty()) {
            anyPlayable = true;
        } else {
            view.state = SlotState::Empty;
            err_ << "plughost: cannot play " << OneLine(view.file) << ": " << view.problem << '\n';
        }
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
        if (view.state == SlotState::Stopped && slot.rewound) {
            view.position = 0;
        } else if (const auto position = ParseTime(plugin_.PositionText(view.slot))) {
            view.position = *position;
        }
        const auto level = ParseLevel(plugin_.LevelText(view.slot));
        view.level = level.value_or(Level{});
        const bool sounding = view.state == SlotState::Playing && view.level.playing;
        // The meters and bars of a slot that is not playing fall to nothing.
        view.peakLeft =
            slot.left.Update(sounding ? DbFraction(LevelDb(view.level.left)) : 0.0, now);
        view.peakRight =
            slot.right.Update(sounding ? DbFraction(LevelDb(view.level.right)) : 0.0, now);
        if (!sounding) {
            view.spectrum.fill(0.0f);
        } else if (withSpectrum) {
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

void Player::SelectByDigit(int digit) {
    const auto now = Clock::now();
    const int count = static_cast<int>(slots_.size());
    int slot = digit;
    if (pendingDigit_ > 0 && now - pendingAt_ < kDigitPause &&
        pendingDigit_ * 10 + digit <= count) {
        slot = pendingDigit_ * 10 + digit;
        pendingDigit_ = 0;
    } else {
        // A digit that could start a two-digit slot number waits for a second one.
        pendingDigit_ = digit > 0 && digit * 10 <= count ? digit : 0;
        pendingAt_ = now;
    }
    if (slot >= 1 && slot <= count)
        Select(static_cast<size_t>(slot - 1));
    else
        message_ = "there is no slot " + std::to_string(slot);
}

// The equaliser's keys: left and right pick a band, up and down change its gain.
void Player::HandleEqKey(SlotView& view, const KeyPress& key) {
    if (key.kind == KeyKind::Left || key.kind == KeyKind::Right) {
        eqBand_ = std::clamp(eqBand_ + (key.kind == KeyKind::Left ? -1 : 1), 0, kEqBands - 1);
    } else {
        int& gain = view.gains[static_cast<size_t>(eqBand_)];
        gain = std::clamp(gain + (key.kind == KeyKind::Up ? 1 : -1), -kMaxGain, kMaxGain);
        plugin_.SetBand(view.slot, eqBand_ + 1, gain);
    }
    const int centre = BandCentres()[static_cast<size_t>(eqBand_)];
    message_ = Named(slots_[selected_]) + ": EQ band " + std::to_string(eqBand_ + 1) + " (" +
               std::to_string(centre) + " Hz) " +
               std::to_string(view.gains[static_cast<size_t>(eqBand_)]) + " dB";
}

void Player::HandleKey(const KeyPress& key) {
    if (key.kind != KeyKind::Digit) pendingDigit_ = 0;
    switch (key.kind) {
        case KeyKind::Quit:
            quit_ = true;
            return;
        case KeyKind::Digit:
            SelectByDigit(key.digit);
            return;
        case KeyKind::Eq:
            showEq_ = !showEq_;
            message_ = showEq_ ? "equaliser: left/right pick a band, up/down change its gain"
                               : "equaliser closed";
            return;
        case KeyKind::Tab:
        case KeyKind::BackTab:
        case KeyKind::Up:
        case KeyKind::Down: {
            if (slots_.empty()) return;
            const bool eqKey = showEq_ && (key.kind == KeyKind::Up || key.kind == KeyKind::Down);
            if (!eqKey) {
                const size_t count = slots_.size();
                const bool next = key.kind == KeyKind::Tab || key.kind == KeyKind::Down;
                Select((selected_ + (next ? 1 : count - 1)) % count);
                return;
            }
            break;
        }
        case KeyKind::Other:
            message_ =
                "keys: space pause, s stop, arrows seek, Tab or a number selects, "
                "+/- volume, m mute, e EQ, q quit";
            return;
        default:
            break;
    }
    Slot* slot = Selected();
    if (slot == nullptr) return;
    SlotView& view = slot->view;
    if (view.state == SlotState::Empty) {
        message_ = Named(*slot) + " is empty";
        return;
    }
    if (showEq_ && (key.kind == KeyKind::Left || key.kind == KeyKind::Right ||
                    key.kind == KeyKind::Up || key.kind == KeyKind::Down)) {
        HandleEqKey(view, key);
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
                slot->rewound = false;
                message_ = Named(*slot) + " playing";
            }
            break;
        case KeyKind::Stop:
            if (view.state == SlotState::Playing || view.state == SlotState::Paused) {
                plugin_.Stop(view.slot);
                view.state = SlotState::Stopped;
                view.position = 0;
                slot->rewound = true;
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
            slot->rewound = false;  // the plug-in keeps a seek made after a stop
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
            view.muted = false;
            plugin_.SetVolume(view.slot, view.volume);
            message_ = Named(*slot) + ": volume " + std::to_string(view.volume) + "%";
            break;
        }
        case KeyKind::Mute:
            view.muted = !view.muted;
            plugin_.SetVolume(view.slot, view.muted ? 0 : view.volume);
            message_ = Named(*slot) +
                       (view.muted ? " muted" : ": volume " + std::to_string(view.volume) + "%");
            break;
        default:
            break;
    }
}

void Player::PrintStatus() {
    // An empty slot was named on standard error when its file was refused.
    for (const Slot& slot : slots_) {
        if (slot.view.state != SlotState::Empty) out_ << StatusLine(slot.view) << '\n';
    }
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
    input.eqBand = eqBand_;
    // The engine's own account of its output, read anew: a lost device shows.
    const std::string reason = plugin_.OutputReason();
    input.heading =
        " plughost  " + plugin_.path() + "  output " + (reason.empty() ? options_.output : reason);
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
    // The null and WAV outputs hold nothing a listener is waiting for.
    if (plugin_.OutputName() != "device") return;
    const auto until = Clock::now() + kPlayOutLimit;
    for (;;) {
        const int pending = plugin_.OutputPendingMs();
        const auto now = Clock::now();
        if (pending <= 0 || now >= until) break;
        std::this_thread::sleep_until(std::min(now + std::chrono::milliseconds(pending), until));
    }
    std::this_thread::sleep_until(std::min(Clock::now() + kPlayOutMargin, until));
}

int Player::Run() {
    InstallSignalHandlers();
    const bool anyPlayable = OpenAll();
    const bool anyEmpty = std::any_of(slots_.begin(), slots_.end(), [](const Slot& slot) {
        return slot.view.state == SlotState::Empty;
    });
    const int status = anyEmpty ? 1 : 0;
    if (!anyPlayable) return 1;

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

    // A terminal that cannot draw (TERM=dumb) gets the plain status lines.
    const bool live = DrawingTerminal(STDOUT_FILENO);
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
