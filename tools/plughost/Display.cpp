// SPDX-License-Identifier: MIT
#include "tools/plughost/Display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plughost {
namespace {

constexpr int kMinSpectrumRows = 3;
// A full block without its spectrum rows: header, progress, L, R, axis or EQ line.
constexpr int kFullBlockFixedLines = 5;
constexpr int kCompactBlockLines = 2;  // header, progress with levels
// Where a slot's lines start: the marker, the slot number (up to 32) and a blank.
constexpr int kIndent = 6;
constexpr int kCompactMeterWidth = 6;

// Columns of a code point as this screen draws it: a terminal that does not speak
// UTF-8 gets '?' for every character outside ASCII.
int Columns(char32_t code, bool utf8) { return utf8 ? CodePointColumns(code) : 1; }

int Columns(const std::string& text, bool utf8) {
    int columns = 0;
    for (const char32_t code : DecodeText(text)) columns += Columns(code, utf8);
    return columns;
}

// One line of the frame: text with styling, tracking its width in columns. Text is
// cut where the line is full; a wide character that would straddle the edge is
// left out and its first column blanked.
class Line {
  public:
    explicit Line(const Screen& screen) : screen_(screen) {}

    int width() const { return width_; }
    int remaining() const { return std::max(0, screen_.columns - width_); }

    // Appends text (UTF-8 without control characters: callers pass OneLine's).
    void Add(const std::string& text) {
        for (char32_t code : DecodeText(text)) {
            if (full_) return;
            if (!screen_.utf8 && code >= 0x80) code = U'?';
            const int columns = Columns(code, screen_.utf8);
            if (columns == 0) {
                // A combining mark joins the character before it.
                if (width_ > 0) AppendUtf8(bytes_, code);
                continue;
            }
            if (width_ + columns > screen_.columns) {
                if (width_ < screen_.columns) {
                    bytes_ += ' ';
                    ++width_;
                }
                full_ = true;
                return;
            }
            AppendUtf8(bytes_, code);
            width_ += columns;
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
    bool full_ = false;
};

// The text cut to `width` columns, with an ellipsis when cut.
std::string Fit(const std::string& text, int width, bool utf8) {
    if (width <= 0) return "";
    if (Columns(text, utf8) <= width) return text;
    std::string out;
    int columns = 0;
    for (const char32_t code : DecodeText(text)) {
        const int w = Columns(code, utf8);
        if (columns + w > width - 1) break;
        AppendUtf8(out, code);
        columns += w;
    }
    return out + (utf8 ? "\u2026" : "~");
}

std::string Repeat(const char* glyph, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += glyph;
    return out;
}

// A horizontal bar `width` cells long filled to `fraction`, in eighths of a cell
// when the terminal draws block characters, with a mark at `peak` when that lies
// beyond the fill.
std::string MeterBar(double fraction, double peak, int width, bool utf8) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    std::vector<std::string> cells(static_cast<size_t>(std::max(0, width)), " ");
    int used;
    if (utf8) {
        static const char* const kEighths[] = {"",       "\u258F", "\u258E", "\u258D",
                                               "\u258C", "\u258B", "\u258A", "\u2589"};
        const int eighths = static_cast<int>(std::lround(fraction * width * 8));
        used = eighths / 8;
        for (int i = 0; i < used; ++i) cells[static_cast<size_t>(i)] = "\u2588";
        if (eighths % 8 > 0 && used < width)
            cells[static_cast<size_t>(used++)] = kEighths[eighths % 8];
    } else {
        used = static_cast<int>(std::lround(fraction * width));
        for (int i = 0; i < used; ++i) cells[static_cast<size_t>(i)] = "#";
    }
    const int mark = static_cast<int>(std::lround(std::clamp(peak, 0.0, 1.0) * width)) - 1;
    if (peak > 0 && mark >= used && mark < width)
        cells[static_cast<size_t>(mark)] = utf8 ? "\u2502" : "|";
    std::string bar;
    for (const auto& cell : cells) bar += cell;
    return bar;
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

std::string Volume(const SlotView& view) {
    return view.muted ? "muted" : "vol " + std::to_string(view.volume) + "%";
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
    if (!view.layout.empty()) facts += (facts.empty() ? "" : "  ") + OneLine(view.layout);
    return facts;
}

// " ▶ 12 Title - Artist            44100 Hz  612 kbps  Stereo"
void SlotHeader(const SlotView& view, bool selected, const Screen& screen,
                std::vector<std::string>& lines) {
    Line line(screen);
    line.Add(selected ? (screen.utf8 ? " \u25B6 " : " > ") : "   ");
    if (selected) line.Style("7");
    line.Add((view.slot < 10 ? " " : "") + std::to_string(view.slot));
    line.Style("0");
    line.PadTo(kIndent);
    if (view.state == SlotState::Empty) {
        line.Style("31");
        line.Add(Fit(OneLine(view.file) + ": cannot play: " + view.problem, line.remaining(),
                     screen.utf8));
        lines.push_back(line.Take());
        return;
    }
    // The facts keep their place at the right; the name takes what is left, and at
    // least a dozen columns: on a narrow terminal only the layout stays, or nothing.
    std::string facts = Facts(view);
    if (Columns(facts, screen.utf8) + 14 > line.remaining()) facts = OneLine(view.layout);
    if (Columns(facts, screen.utf8) + 14 > line.remaining()) facts.clear();
    const int factsWidth = Columns(facts, screen.utf8);
    const int nameWidth = std::max(0, line.remaining() - factsWidth - (facts.empty() ? 0 : 2));
    line.Style("1");
    line.Add(Fit(OneLine(DisplayName(view)), nameWidth, screen.utf8));
    line.Style("0");
    if (!facts.empty()) {
        line.Pad(screen.columns - line.width() - factsWidth);
        line.Style("36");
        line.Add(facts);
    }
    lines.push_back(line.Take());
}

double MeterFraction(const SlotView& view, uint16_t value) {
    return view.level.playing ? DbFraction(LevelDb(value)) : 0.0;
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
    // What follows the bar; on a narrow terminal the meters go first, then the
    // volume, so that the bar keeps a few cells.
    const std::string clock = " " + FormatClockPair(view.position, view.length);
    std::string tail = clock + "  " + Volume(view);
    if (withLevels) {
        tail += "  L " +
                MeterBar(MeterFraction(view, view.level.left), view.peakLeft, kCompactMeterWidth,
                         screen.utf8) +
                " R " +
                MeterBar(MeterFraction(view, view.level.right), view.peakRight, kCompactMeterWidth,
                         screen.utf8);
    }
    constexpr int kMinBar = 4;
    const int room = line.remaining() - 1;
    if (Columns(tail, screen.utf8) + kMinBar > room) tail = clock + "  " + Volume(view);
    if (Columns(tail, screen.utf8) + kMinBar > room) tail = clock;
    const int barWidth = std::max(kMinBar, room - Columns(tail, screen.utf8));
    line.Add(ProgressBar(Progress(view), barWidth, screen.utf8));
    line.Add(tail);
    lines.push_back(line.Take());
}

void MeterLine(const char* label, const SlotView& view, uint16_t value, double peak,
               const Screen& screen, std::vector<std::string>& lines) {
    Line line(screen);
    line.PadTo(kIndent);
    line.Add(label);
    line.Add(" ");
    const double db = view.level.playing ? LevelDb(value) : -INFINITY;
    const std::string readout = view.level.playing ? " " + Decibels(db) : "     -   ";
    const int width = std::max(4, line.remaining() - Columns(readout, screen.utf8) - 2);
    line.Add(screen.utf8 ? "\u2595" : "[");
    line.Style(db > -3.0 ? "31" : db > -12.0 ? "33" : "32");
    line.Add(MeterBar(DbFraction(db), view.level.playing ? peak : 0.0, width, screen.utf8));
    line.Style("0");
    line.Add(screen.utf8 ? "\u258F" : "]");
    line.Add(readout);
    lines.push_back(line.Take());
}

// The spectrum's width: from the indent to one column short of the edge.
int SpectrumWidth(const Screen& screen) { return std::max(0, screen.columns - kIndent - 1); }

// The 20 bands spread over the width given, `rows` rows high, on a -60..0 dB scale.
// Wide enough, each band is a bar with a gap after it; narrower than 20 columns, a
// column shows the loudest of the bands it covers.
void SpectrumLines(const SlotView& view, int rows, const Screen& screen,
                   std::vector<std::string>& lines) {
    const int width = SpectrumWidth(screen);
    std::array<int, kSpectrumBands> heights{};  // eighths of a row
    for (int b = 0; b < kSpectrumBands; ++b) {
        const double fraction = DbFraction(MagnitudeDb(view.spectrum[static_cast<size_t>(b)]));
        heights[static_cast<size_t>(b)] = static_cast<int>(std::lround(fraction * rows * 8));
    }
    // Per column: its height, or -1 for a gap between bands.
    std::vector<int> columns(static_cast<size_t>(width), 0);
    for (int c = 0; c < width; ++c) {
        const int first = c * kSpectrumBands / width;
        const int last =
            width < kSpectrumBands ? ((c + 1) * kSpectrumBands + width - 1) / width - 1 : first;
        int height = 0;
        for (int b = first; b <= last && b < kSpectrumBands; ++b)
            height = std::max(height, heights[static_cast<size_t>(b)]);
        const bool lastOfBand = (c + 1) * kSpectrumBands / width != first;
        columns[static_cast<size_t>(c)] = width >= 2 * kSpectrumBands && lastOfBand ? -1 : height;
    }
    static const char* const kBlocks[] = {" ",      "\u2581", "\u2582", "\u2583", "\u2584",
                                          "\u2585", "\u2586", "\u2587", "\u2588"};
    for (int row = rows - 1; row >= 0; --row) {
        Line line(screen);
        line.PadTo(kIndent);
        const double level = (row + 0.5) / rows;
        line.Style(level > 0.75 ? "31" : level > 0.4 ? "33" : "32");
        std::string text;
        for (const int height : columns) {
            const int fill = std::clamp(height - row * 8, 0, 8);
            text += screen.utf8 ? kBlocks[fill]
                                : (fill == 8   ? "#"
                                   : fill >= 4 ? ":"
                                   : fill      ? "."
                                               : " ");
        }
        line.Add(text);
        lines.push_back(line.Take());
    }
}

std::string Hertz(double f) {
    char text[32];
    if (f >= 1000)
        std::snprintf(text, sizeof text, "%.1f kHz", f / 1000);
    else
        std::snprintf(text, sizeof text, "%.0f Hz", f);
    return text;
}

// Under the spectrum: the frequencies of its first and last bands. The bands are
// bins 5, 9, ..., 81 of a 512-point transform at the stream's rate.
void SpectrumAxis(const SlotView& view, const Screen& screen, std::vector<std::string>& lines) {
    Line line(screen);
    line.PadTo(kIndent);
    line.Style("2");
    if (view.rate > 0) {
        const std::string low = Hertz(5.0 * view.rate / 512);
        const std::string high = Hertz(81.0 * view.rate / 512);
        line.Add(low);
        line.PadTo(kIndent + SpectrumWidth(screen) - Columns(high, screen.utf8));
        line.Add(high);
    }
    lines.push_back(line.Take());
}

// "EQ  80:+0  170:+0 ..." with the band the keys edit marked when they edit it; on
// a narrow terminal the bands close up, and then show their gains only.
void EqLine(const SlotView& view, bool editing, int band, const Screen& screen,
            std::vector<std::string>& lines) {
    const auto text = [&](int b, bool withCentre) {
        const int centre = BandCentres()[static_cast<size_t>(b)];
        const int gain = view.gains[static_cast<size_t>(b)];
        char field[32];
        if (!withCentre)
            std::snprintf(field, sizeof field, "%+d", gain);
        else if (centre >= 1000)
            std::snprintf(field, sizeof field, "%dk:%+d", centre / 1000, gain);
        else
            std::snprintf(field, sizeof field, "%d:%+d", centre, gain);
        return std::string(field);
    };
    const int room = screen.columns - kIndent - 2;  // after "EQ"
    int gap = 2;
    bool withCentre = true;
    for (const auto& [tryGap, tryCentre] : {std::pair{2, true}, {1, true}, {1, false}}) {
        gap = tryGap;
        withCentre = tryCentre;
        int width = 2;  // the marks of the band being edited
        for (int b = 0; b < kEqBands; ++b) width += gap + Columns(text(b, withCentre), true);
        if (width <= room) break;
    }
    Line line(screen);
    line.PadTo(kIndent);
    line.Style("35");
    line.Add("EQ");
    for (int b = 0; b < kEqBands; ++b) {
        const bool marked = editing && b == band;
        line.Add(std::string(static_cast<size_t>(gap), ' '));
        if (marked && !screen.colour) line.Add("[");
        if (marked) line.Style("7");
        line.Add(text(b, withCentre));
        if (marked) line.Style("0;35");
        if (marked && !screen.colour) line.Add("]");
    }
    lines.push_back(line.Take());
}

void FullBlock(const FrameInput& input, size_t index, int spectrumRows, const Screen& screen,
               std::vector<std::string>& lines) {
    const SlotView& view = input.slots[index];
    const bool selected = index == input.selected;
    SlotHeader(view, selected, screen, lines);
    if (view.state == SlotState::Empty) return;
    ProgressLine(view, screen, false, lines);
    MeterLine("L", view, view.level.left, view.peakLeft, screen, lines);
    MeterLine("R", view, view.level.right, view.peakRight, screen, lines);
    SpectrumLines(view, spectrumRows, screen, lines);
    if (selected && input.showEq)
        EqLine(view, true, input.eqBand, screen, lines);
    else
        SpectrumAxis(view, screen, lines);
}

void CompactBlock(const FrameInput& input, size_t index, const Screen& screen,
                  std::vector<std::string>& lines) {
    const SlotView& view = input.slots[index];
    SlotHeader(view, index == input.selected, screen, lines);
    if (view.state != SlotState::Empty) ProgressLine(view, screen, true, lines);
}

int BlockLines(const SlotView& view, bool full, int spectrumRows = kMinSpectrumRows) {
    if (view.state == SlotState::Empty) return 1;
    return full ? kFullBlockFixedLines + spectrumRows : kCompactBlockLines;
}

// The keys, the way out first: a narrow terminal cuts the bar at its end. The whole
// bar fits 80 columns where the terminal shows arrows.
std::string KeyBar(const FrameInput& input, const Screen& screen) {
    const bool u = screen.utf8;
    if (input.showEq) {
        return std::string(" q quit  EQ keys: ") + (u ? "\u2190/\u2192" : "left/right") +
               " band  " + (u ? "\u2191/\u2193" : "up/down") + " gain  e done  space pause  m mute";
    }
    return std::string(" q quit  space pause  s stop  ") + (u ? "\u2190/\u2192" : "left/right") +
           " seek  " + (u ? "\u2191/\u2193" : "up/down") + " Tab 1-32 slot  +/- vol  m mute  e EQ";
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

const std::array<int, kEqBands>& BandCentres() {
    static const std::array<int, kEqBands> centres = {80,   170,  310,   600,   1000,
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
        heading.Add(Fit(OneLine(input.heading), screen.columns, screen.utf8));
        lines.push_back(heading.Take());
    }
    // Two lines at the bottom: keys and message. Every slot's block is followed by
    // a blank line when there is room.
    const int room = screen.rows - 3;
    const size_t count = input.slots.size();
    int fullNeed = 0, playable = 0;
    for (const SlotView& view : input.slots) {
        fullNeed += BlockLines(view, true) + 1;
        playable += view.state != SlotState::Empty;
    }

    if (fullNeed <= room) {
        // Every slot in full; the rows left over go to the spectra.
        const int rows = kMinSpectrumRows + (playable ? (room - fullNeed) / playable : 0);
        for (size_t i = 0; i < count; ++i) {
            FullBlock(input, i, rows, screen, lines);
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
        const bool partial = first > 0 || last + 1 < count;
        const int rows = kMinSpectrumRows + std::max(0, left - (partial ? 1 : 0));
        for (size_t i = first; i <= last && count > 0; ++i) {
            if (i == selected)
                FullBlock(input, i, rows, screen, lines);
            else
                CompactBlock(input, i, screen, lines);
        }
        if (partial) {
            Line more(screen);
            more.Style("2");
            more.Add("   slots " + std::to_string(first + 1) + "-" + std::to_string(last + 1) +
                     " of " + std::to_string(count) + " shown; Tab or a slot's number selects");
            lines.push_back(more.Take());
        }
    }
    while (static_cast<int>(lines.size()) > screen.rows - 2 && lines.size() > 1) lines.pop_back();

    Line keys(screen);
    keys.Style("2");
    keys.Add(KeyBar(input, screen));
    lines.push_back(keys.Take());
    Line message(screen);
    message.Add(" " + OneLine(input.message));
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
    return line + " " + FormatClockPair(view.position, view.length) + "  L " +
           level(view.level.left) + " R " + level(view.level.right) + "  " + Volume(view) + "  " +
           OneLine(DisplayName(view));
}

}  // namespace plughost
