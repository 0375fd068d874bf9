// SPDX-License-Identifier: MIT
#include "tools/plughost/Display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plughost {
namespace {

constexpr int kSpectrumRows = 3;
constexpr int kFullBlockLines = 8;     // header, progress, L, R, 3 spectrum rows, axis
constexpr int kCompactBlockLines = 2;  // header, progress with levels
constexpr int kIndent = 5;

// One line of the frame: text with styling, tracking its width in columns.
class Line {
  public:
    explicit Line(const Screen& screen) : screen_(screen) {}

    int width() const { return width_; }
    int remaining() const { return std::max(0, screen_.columns - width_); }

    // Appends text (UTF-8), cut to the columns left.
    void Add(const std::string& text) {
        for (size_t i = 0; i < text.size() && width_ < screen_.columns;) {
            size_t length = 1;
            const unsigned char lead = static_cast<unsigned char>(text[i]);
            if (lead >= 0xF0)
                length = 4;
            else if (lead >= 0xE0)
                length = 3;
            else if (lead >= 0xC0)
                length = 2;
            length = std::min(length, text.size() - i);
            bytes_.append(text, i, length);
            i += length;
            ++width_;
        }
    }
    void Pad(int columns) { Add(std::string(static_cast<size_t>(std::max(0, columns)), ' ')); }
    void PadTo(int column) { Pad(column - width_); }
    // Terminal styling (SGR parameters such as "1" or "32"), when colour is on.
    void Style(const char* sgr) {
        if (screen_.colour) bytes_ += std::string("\x1b[") + sgr + "m";
    }
    std::string Take() {
        if (screen_.colour) bytes_ += "\x1b[0m";
        return std::move(bytes_);
    }

  private:
    const Screen& screen_;
    std::string bytes_;
    int width_ = 0;
};

// Columns of a UTF-8 text, one per code point.
int Columns(const std::string& text) {
    int columns = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++columns;
    }
    return columns;
}

// The text cut to `width` columns, with an ellipsis when cut.
std::string Fit(const std::string& text, int width, bool utf8) {
    if (width <= 0) return "";
    if (Columns(text) <= width) return text;
    std::string out;
    int columns = 0;
    const int keep = width - 1;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool lead = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (lead && columns == keep) break;
        if (lead) ++columns;
        out += text[i];
    }
    return out + (utf8 ? "\u2026" : "~");
}

std::string Repeat(const char* glyph, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += glyph;
    return out;
}

// A horizontal bar `width` cells long filled to `fraction`, in eighths of a cell
// when the terminal draws block characters.
std::string MeterBar(double fraction, int width, bool utf8) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    if (!utf8) {
        const int full = static_cast<int>(std::lround(fraction * width));
        return Repeat("#", full) + Repeat(" ", width - full);
    }
    static const char* const kEighths[] = {"",       "\u258F", "\u258E", "\u258D",
                                           "\u258C", "\u258B", "\u258A", "\u2589"};
    const int eighths = static_cast<int>(std::lround(fraction * width * 8));
    const int full = eighths / 8;
    const int part = eighths % 8;
    std::string bar = Repeat("\u2588", full);
    int used = full;
    if (part > 0 && used < width) {
        bar += kEighths[part];
        ++used;
    }
    return bar + Repeat(" ", width - used);
}

std::string ProgressBar(double fraction, int width, bool utf8) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    const int done = static_cast<int>(std::lround(fraction * width));
    if (!utf8) return Repeat("=", done) + Repeat("-", width - done);
    return Repeat("\u2501", done) + Repeat("\u2500", width - done);
}

std::string Decibels(double db) {
    if (!std::isfinite(db)) return " -inf dB";
    char text[32];
    std::snprintf(text, sizeof text, "%5.1f dB", db);
    return text;
}

std::string Volume(int percent) { return "vol " + std::to_string(percent) + "%"; }

std::string ClockPair(const SlotView& view) {
    return FormatClock(view.position) + " / " + FormatClock(view.length);
}

double Progress(const SlotView& view) {
    if (view.length <= 0 || view.position < 0) return 0.0;
    return static_cast<double>(view.position) / view.length;
}

const char* StateColour(SlotState state) {
    switch (state) {
        case SlotState::Playing:
            return "32";
        case SlotState::Paused:
            return "33";
        case SlotState::Stopped:
        case SlotState::Ended:
            return "2";
        case SlotState::Empty:
            return "31";
    }
    return "0";
}

std::string Facts(const SlotView& view) {
    std::string facts;
    if (view.rate > 0) facts += std::to_string(view.rate) + " Hz";
    if (view.kbps >= 0) facts += (facts.empty() ? "" : "  ") + std::to_string(view.kbps) + " kbps";
    if (!view.layout.empty()) facts += (facts.empty() ? "" : "  ") + view.layout;
    return facts;
}

void SlotHeader(const SlotView& view, bool selected, const Screen& screen,
                std::vector<std::string>& lines) {
    Line line(screen);
    line.Add(selected ? (screen.utf8 ? " \u25B6 " : " > ") : "   ");
    if (selected) line.Style("7");
    line.Add(std::to_string(view.slot));
    line.Style("0");
    line.PadTo(kIndent);
    if (view.state == SlotState::Empty) {
        line.Style("31");
        line.Add(Fit(OneLine(view.file) + ": cannot play: " + view.problem, line.remaining(),
                     screen.utf8));
        lines.push_back(line.Take());
        return;
    }
    const std::string facts = Facts(view);
    const int factsWidth = Columns(facts);
    const int nameWidth = std::max(0, line.remaining() - factsWidth - 2);
    line.Style("1");
    line.Add(Fit(OneLine(DisplayName(view)), nameWidth, screen.utf8));
    line.Style("0");
    line.Pad(screen.columns - line.width() - factsWidth);
    line.Style("36");
    line.Add(facts);
    lines.push_back(line.Take());
}

// "playing  ━━━━━━────── 00:12 / 00:30  vol 100%" with the bar taking what is left.
void ProgressLine(const SlotView& view, const Screen& screen, bool withLevels,
                  std::vector<std::string>& lines) {
    Line line(screen);
    line.PadTo(kIndent);
    line.Style(StateColour(view.state));
    std::string state = StateName(view.state);
    state.resize(8, ' ');
    line.Add(state);
    line.Style("0");
    std::string tail = " " + ClockPair(view) + "  " + Volume(view.volume);
    if (withLevels) {
        const auto meter = [&](uint16_t value) {
            return MeterBar(view.level.playing ? DbFraction(LevelDb(value)) : 0.0, 6, screen.utf8);
        };
        tail += "  L " + meter(view.level.left) + " R " + meter(view.level.right);
    }
    const int barWidth = std::max(4, line.remaining() - Columns(tail) - 1);
    line.Add(ProgressBar(Progress(view), barWidth, screen.utf8));
    line.Add(tail);
    lines.push_back(line.Take());
}

void MeterLine(const char* label, const SlotView& view, uint16_t value, const Screen& screen,
               std::vector<std::string>& lines) {
    Line line(screen);
    line.PadTo(kIndent);
    line.Add(label);
    line.Add(" ");
    const double db = view.level.playing ? LevelDb(value) : -INFINITY;
    const std::string readout = view.level.playing ? " " + Decibels(db) : "     -   ";
    const int width = std::max(4, line.remaining() - Columns(readout) - 2);
    const double fraction = DbFraction(db);
    line.Add(screen.utf8 ? "\u2595" : "[");
    line.Style(db > -3.0 ? "31" : db > -12.0 ? "33" : "32");
    line.Add(MeterBar(fraction, width, screen.utf8));
    line.Style("0");
    line.Add(screen.utf8 ? "\u258F" : "]");
    line.Add(readout);
    lines.push_back(line.Take());
}

void SpectrumLines(const SlotView& view, const Screen& screen, std::vector<std::string>& lines) {
    // Each band's height in eighths of a row, on a -60..0 dB scale.
    std::array<int, kSpectrumBands> heights{};
    for (int b = 0; b < kSpectrumBands; ++b) {
        const double fraction = DbFraction(MagnitudeDb(view.spectrum[static_cast<size_t>(b)]));
        heights[static_cast<size_t>(b)] =
            static_cast<int>(std::lround(fraction * kSpectrumRows * 8));
    }
    static const char* const kBlocks[] = {" ",      "\u2581", "\u2582", "\u2583", "\u2584",
                                          "\u2585", "\u2586", "\u2587", "\u2588"};
    for (int row = kSpectrumRows - 1; row >= 0; --row) {
        Line line(screen);
        line.PadTo(kIndent);
        line.Style(row == kSpectrumRows - 1 ? "31" : row > 0 ? "33" : "32");
        for (int b = 0; b < kSpectrumBands; ++b) {
            const int fill = std::clamp(heights[static_cast<size_t>(b)] - row * 8, 0, 8);
            const char* glyph = screen.utf8 ? kBlocks[fill]
                                            : (fill == 8   ? "#"
                                               : fill >= 4 ? ":"
                                               : fill      ? "."
                                                           : " ");
            line.Add(std::string(glyph) + glyph + " ");
        }
        lines.push_back(line.Take());
    }
}

// Under the spectrum: the frequencies of its first and last bands. The bands are
// bins 5, 9, ..., 81 of a 512-point transform at the stream's rate.
void SpectrumAxis(const SlotView& view, const Screen& screen, std::vector<std::string>& lines) {
    Line line(screen);
    line.PadTo(kIndent);
    line.Style("2");
    if (view.rate > 0) {
        const auto hz = [&](int bin) {
            const double f = static_cast<double>(bin) * view.rate / 512.0;
            char text[32];
            if (f >= 1000)
                std::snprintf(text, sizeof text, "%.1f kHz", f / 1000);
            else
                std::snprintf(text, sizeof text, "%.0f Hz", f);
            return std::string(text);
        };
        const std::string low = hz(5), high = hz(81);
        line.Add(low);
        line.PadTo(kIndent + kSpectrumBands * 3 - 1 - Columns(high));
        line.Add(high);
    }
    lines.push_back(line.Take());
}

void EqLine(const std::array<int, 10>& gains, const Screen& screen,
            std::vector<std::string>& lines) {
    Line line(screen);
    line.PadTo(kIndent);
    line.Style("35");
    line.Add("EQ dB ");
    for (size_t b = 0; b < gains.size(); ++b) {
        const int centre = BandCentres()[b];
        char text[32];
        if (centre >= 1000)
            std::snprintf(text, sizeof text, " %dk:%+d", centre / 1000, gains[b]);
        else
            std::snprintf(text, sizeof text, " %d:%+d", centre, gains[b]);
        line.Add(text);
    }
    lines.push_back(line.Take());
}

void FullBlock(const FrameInput& input, size_t index, const Screen& screen,
               std::vector<std::string>& lines) {
    const SlotView& view = input.slots[index];
    const bool selected = index == input.selected;
    SlotHeader(view, selected, screen, lines);
    if (view.state == SlotState::Empty) return;
    ProgressLine(view, screen, false, lines);
    MeterLine("L", view, view.level.left, screen, lines);
    MeterLine("R", view, view.level.right, screen, lines);
    SpectrumLines(view, screen, lines);
    if (selected && input.showEq)
        EqLine(input.gains, screen, lines);
    else
        SpectrumAxis(view, screen, lines);
}

void CompactBlock(const FrameInput& input, size_t index, const Screen& screen,
                  std::vector<std::string>& lines) {
    const SlotView& view = input.slots[index];
    SlotHeader(view, index == input.selected, screen, lines);
    if (view.state != SlotState::Empty) ProgressLine(view, screen, true, lines);
}

int BlockLines(const SlotView& view, bool full) {
    if (view.state == SlotState::Empty) return 1;
    return full ? kFullBlockLines : kCompactBlockLines;
}

}  // namespace

const char* StateName(SlotState state) {
    switch (state) {
        case SlotState::Empty:
            return "empty";
        case SlotState::Playing:
            return "playing";
        case SlotState::Paused:
            return "paused";
        case SlotState::Stopped:
            return "stopped";
        case SlotState::Ended:
            return "ended";
    }
    return "?";
}

const std::array<int, 10>& BandCentres() {
    static const std::array<int, 10> centres = {80,   170,  310,   600,   1000,
                                                3000, 6000, 12000, 14000, 16000};
    return centres;
}

std::string DisplayName(const SlotView& view) {
    if (!view.title.empty() && !view.artist.empty()) return view.title + " - " + view.artist;
    if (!view.title.empty()) return view.title;
    if (!view.artist.empty()) return view.artist;
    const auto slash = view.file.find_last_of('/');
    return slash == std::string::npos ? view.file : view.file.substr(slash + 1);
}

std::vector<std::string> RenderFrame(const FrameInput& input, const Screen& screen) {
    std::vector<std::string> lines;
    {
        Line heading(screen);
        heading.Style("1");
        heading.Add(input.heading);
        lines.push_back(heading.Take());
    }
    // Two lines at the bottom: keys and message. Every slot's block is followed by
    // a blank line when there is room.
    const int room = screen.rows - 3;
    const size_t count = input.slots.size();
    int fullNeed = 0;
    for (const SlotView& view : input.slots) fullNeed += BlockLines(view, true) + 1;

    if (fullNeed <= room) {
        for (size_t i = 0; i < count; ++i) {
            FullBlock(input, i, screen, lines);
            lines.emplace_back();
        }
    } else {
        // The selected slot in full, the others compact, as many as fit around it.
        const size_t selected = std::min(input.selected, count ? count - 1 : 0);
        int left = room - BlockLines(input.slots[selected], true);
        size_t first = selected, last = selected;  // the visible range, inclusive
        for (bool grew = true; grew;) {
            grew = false;
            if (last + 1 < count && BlockLines(input.slots[last + 1], false) <= left) {
                left -= BlockLines(input.slots[++last], false);
                grew = true;
            }
            if (first > 0 && BlockLines(input.slots[first - 1], false) <= left) {
                left -= BlockLines(input.slots[--first], false);
                grew = true;
            }
        }
        for (size_t i = first; i <= last && count > 0; ++i) {
            if (i == selected)
                FullBlock(input, i, screen, lines);
            else
                CompactBlock(input, i, screen, lines);
        }
        if (first > 0 || last + 1 < count) {
            Line more(screen);
            more.Style("2");
            more.Add("   slots " + std::to_string(first + 1) + "-" + std::to_string(last + 1) +
                     " of " + std::to_string(count) + " shown; 1-9 selects");
            lines.push_back(more.Take());
        }
    }
    while (static_cast<int>(lines.size()) > screen.rows - 2 && lines.size() > 1) lines.pop_back();

    Line keys(screen);
    keys.Style("2");
    keys.Add(screen.utf8 ? " space pause  s stop  \u2190/\u2192 seek 5 s  +/- volume  "
                           "1-9 select  e eq  q quit"
                         : " space pause  s stop  left/right seek 5 s  +/- volume  "
                           "1-9 select  e eq  q quit");
    lines.push_back(keys.Take());
    Line message(screen);
    message.Add(" " + input.message);
    lines.push_back(message.Take());
    while (static_cast<int>(lines.size()) > screen.rows && !lines.empty())
        lines.erase(lines.begin());
    return lines;
}

std::string ComposeFrame(const std::vector<std::string>& lines) {
    std::string out = "\x1b[H";
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        out += "\x1b[K";
        if (i + 1 < lines.size()) out += "\r\n";
    }
    return out + "\x1b[J";
}

std::string StatusLine(const SlotView& view) {
    std::string line = "[" + std::to_string(view.slot) + "] " + StateName(view.state);
    if (view.state == SlotState::Empty)
        return line + "  " + OneLine(view.file) + ": cannot play: " + view.problem;
    const auto level = [&](uint16_t value) {
        return view.level.playing ? std::to_string(value) : std::string("-");
    };
    return line + " " + ClockPair(view) + "  L " + level(view.level.left) + " R " +
           level(view.level.right) + "  " + Volume(view.volume) + "  " + OneLine(DisplayName(view));
}

}  // namespace plughost
