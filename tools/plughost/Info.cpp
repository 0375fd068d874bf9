// SPDX-License-Identifier: MIT
#include "tools/plughost/Info.h"

#include <cmath>
#include <cstdio>

#include "tools/plughost/Media.h"
#include "tools/plughost/Plugin.h"
#include "tools/plughost/Texts.h"

namespace plughost {
namespace {

constexpr int kSlot = 1;

std::string Number(int32_t value, const char* unit) {
    if (value < 0) return "unknown";
    return std::to_string(value) + unit;
}

// The channel count the plug-in's layout text states: "Mono", "Stereo", "6 channels".
int32_t ChannelsOfLayout(const std::string& layout) {
    if (layout == "Mono") return 1;
    if (layout == "Stereo") return 2;
    const auto blank = layout.find(' ');
    if (blank == std::string::npos || layout.compare(blank, std::string::npos, " channels") != 0)
        return -1;
    return ParseDecimal(layout.substr(0, blank)).value_or(-1);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void PrintText(const std::string& file, const MediaFacts& facts, std::ostream& out) {
    const auto row = [&](const char* label, const std::string& value) {
        std::string padded = label;
        padded.resize(9, ' ');
        out << "  " << padded << value << '\n';
    };
    out << OneLine(file) << '\n';
    std::string length = "unknown";
    if (const auto seconds = ExactSeconds(facts))
        length = FormatClock(std::llround(*seconds)) + " (" + Fixed(*seconds, 3) + " s)";
    else if (facts.lengthSeconds >= 0)
        length =
            FormatClock(facts.lengthSeconds) + " (" + std::to_string(facts.lengthSeconds) + " s)";
    row("length", length);
    row("rate", Number(facts.rate, " Hz"));
    row("bitrate", Number(facts.kbps, " kbps"));
    std::string layout = OneLine(facts.layout);
    const std::string named = facts.exact ? ChannelLayoutName(facts.exact->channelMask) : "";
    if (facts.exact && facts.exact->channels > 2 && !named.empty()) layout += " (" + named + ")";
    row("layout", layout);
    for (size_t i = 0; i < TagKeys().size(); ++i) {
        if (!facts.tags[i].empty()) row(TagKeys()[i].name, OneLine(facts.tags[i]));
    }
}

// The members a script reads, in ffprobe's names where they fit: numbers as numbers,
// what is not known left out, never invented from rounded texts.
void PrintJson(const std::string& file, const MediaFacts* facts, const std::string& error,
               std::ostream& out) {
    out << "  {\n    \"file\": " << JsonString(file);
    if (!IsUtf8(file)) {
        // The name's bytes, so that a script can open the file again.
        out << ",\n    \"path_bytes\": [";
        for (size_t i = 0; i < file.size(); ++i)
            out << (i ? "," : "") << static_cast<int>(static_cast<unsigned char>(file[i]));
        out << "]";
    }
    if (facts == nullptr) {
        out << ",\n    \"error\": " << JsonString(error) << "\n  }";
        return;
    }
    const auto member = [&](const char* name, const std::string& value) {
        out << ",\n    \"" << name << "\": " << value;
    };
    const auto number = [](int64_t value) {
        return value < 0 ? std::string("null") : std::to_string(value);
    };
    member("length_seconds", number(facts->lengthSeconds));
    member("length", JsonString(FormatClock(facts->lengthSeconds)));
    member("rate", number(facts->rate));
    member("kbps", number(facts->kbps));
    member("layout", JsonString(facts->layout));

    const AE_STREAMINFO* exact = facts->exact ? &*facts->exact : nullptr;
    const int64_t rate = exact ? exact->rate : facts->rate;
    const int64_t channels = exact ? exact->channels : ChannelsOfLayout(facts->layout);
    if (rate > 0) member("sample_rate", std::to_string(rate));
    if (channels > 0) member("channels", std::to_string(channels));
    if (exact) {
        const std::string layout = ChannelLayoutName(exact->channelMask);
        if (!layout.empty()) member("channel_layout", JsonString(layout));
        member("frames", std::to_string(exact->frames));
        if (const auto seconds = ExactSeconds(*facts)) {
            member("duration", Fixed(*seconds, 6));
            if (exact->frames > 0)
                member("bit_rate", std::to_string(std::llround(
                                       static_cast<double>(exact->audioBytes) * 8.0 / *seconds)));
        }
    }
    out << ",\n    \"tags\": {";
    bool first = true;
    for (size_t i = 0; i < TagKeys().size(); ++i) {
        if (facts->tags[i].empty()) continue;
        out << (first ? "" : ", ") << JsonString(TagKeys()[i].name) << ": "
            << JsonString(facts->tags[i]);
        first = false;
    }
    out << "}\n  }";
}

}  // namespace

int RunInfo(Plugin& plugin, const std::vector<std::string>& files, bool json, std::ostream& out,
            std::ostream& err) {
    int status = 0;
    if (json) out << "[\n";
    bool printed = false;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        const std::string problem = OpenFile(plugin, kSlot, file);
        MediaFacts facts;
        if (problem.empty()) {
            facts = ReadFacts(plugin, kSlot, file);
        } else {
            err << "plughost: cannot open " << OneLine(file) << ": " << problem << '\n';
            status = 1;
        }
        if (json) {
            PrintJson(file, problem.empty() ? &facts : nullptr, problem, out);
            out << (i + 1 < files.size() ? ",\n" : "\n");
        } else if (problem.empty()) {
            if (printed) out << '\n';
            PrintText(file, facts, out);
            printed = true;
        }
    }
    if (json) out << "]\n";
    plugin.Free(kSlot);
    out.flush();
    return status;
}

}  // namespace plughost
