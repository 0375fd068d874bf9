// SPDX-License-Identifier: MIT
// What plughost play shows: the live frame on a terminal and the plain status
// lines otherwise. Both are built from SlotView records, which hold only what the
// plug-in's queries reported and what the player decided, so rendering is a pure
// function of them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/plughost/Texts.h"

namespace plughost {

// The equaliser's bands, as the plug-in numbers them 1..10.
constexpr int kEqBands = 10;

enum class SlotState { Empty, Playing, Paused, Stopped, Ended };
const char* StateName(SlotState state);

struct SlotView {
    int slot = 0;
    std::string file;
    std::string problem;  // why an empty slot is empty
    SlotState state = SlotState::Empty;

    // Read once, at open.
    std::string title, artist, layout;
    int32_t rate = -1, kbps = -1;
    int32_t length = -1;  // seconds

    // Read every frame.
    int32_t position = -1;  // seconds
    Level level;            // level.playing false: draw empty meters
    std::array<float, kSpectrumBands> spectrum{};
    // The held peak of each meter, as the fraction of the meter it fills (0..1).
    double peakLeft = 0, peakRight = 0;

    int volume = 100;  // percent
    bool muted = false;
    std::array<int, kEqBands> gains{};  // dB per band
};

struct Screen {
    int columns = 80;
    int rows = 24;
    bool utf8 = true;
    bool colour = true;
};

struct FrameInput {
    std::vector<SlotView> slots;
    size_t selected = 0;  // index into slots
    bool showEq = false;  // the selected slot shows its equaliser, and keys edit it
    int eqBand = 0;       // the band the keys edit, 0..kEqBands-1
    std::string heading;  // first line, such as the plug-in and the output
    std::string message;  // last line: the latest key's effect or an error
};

// The frame as lines of text with terminal styling, each at most screen.columns
// wide and at most screen.rows lines in all. The spectrum takes the width it is
// given and the rows left over.
std::vector<std::string> RenderFrame(const FrameInput& input, const Screen& screen);

// The lines joined for output: home the cursor, overwrite each line, clear the rest.
std::string ComposeFrame(const std::vector<std::string>& lines);

// One plain line for a slot:
//   [1] playing 00:12 / 00:30  L 20480 R 19876  vol 100%  Title - Artist
// L and R are the level halves (0..32768), "-" when the stream is not playing.
std::string StatusLine(const SlotView& view);

// "Title - Artist", the one that is known, or the file's name.
std::string DisplayName(const SlotView& view);

// The centre frequency in Hz of each equaliser band 1..10.
const std::array<int, kEqBands>& BandCentres();

}  // namespace plughost
