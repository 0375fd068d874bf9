// SPDX-License-Identifier: MIT
#include "tools/plughost/Info.h"

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

void PrintText(const std::string& file, const MediaFacts& facts, std::ostream& out) {
    const auto row = [&](const char* label, const std::string& value) {
        std::string padded = label;
        padded.resize(9, ' ');
        out << "  " << padded << value << '\n';
    };
    out << file << '\n';
    row("length", facts.lengthSeconds < 0 ? "unknown"
                                          : FormatClock(facts.lengthSeconds) + " (" +
                                                std::to_string(facts.lengthSeconds) + " s)");
    row("rate", Number(facts.rate, " Hz"));
    row("bitrate", Number(facts.kbps, " kbps"));
    row("layout", OneLine(facts.layout));
    for (size_t i = 0; i < TagKeys().size(); ++i) row(TagKeys()[i].name, OneLine(facts.tags[i]));
}

void PrintJson(const std::string& file, const MediaFacts* facts, const std::string& error,
               std::ostream& out) {
    out << "  {\n    \"file\": " << JsonString(file);
    if (facts == nullptr) {
        out << ",\n    \"error\": " << JsonString(error) << "\n  }";
        return;
    }
    const auto number = [](int32_t value) {
        return value < 0 ? std::string("null") : std::to_string(value);
    };
    out << ",\n    \"length_seconds\": " << number(facts->lengthSeconds)
        << ",\n    \"length\": " << JsonString(FormatClock(facts->lengthSeconds))
        << ",\n    \"rate\": " << number(facts->rate) << ",\n    \"kbps\": " << number(facts->kbps)
        << ",\n    \"layout\": " << JsonString(facts->layout) << ",\n    \"tags\": {";
    for (size_t i = 0; i < TagKeys().size(); ++i) {
        out << (i ? ", " : "") << JsonString(TagKeys()[i].name) << ": "
            << JsonString(facts->tags[i]);
    }
    out << "}\n  }";
}

}  // namespace

int RunInfo(Plugin& plugin, const std::vector<std::string>& files, bool json,
            const std::string& output, std::ostream& out, std::ostream& err) {
    int status = 0;
    bool anyOpened = false;
    if (json) out << "[\n";
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        const std::string problem = OpenFile(plugin, kSlot, file);
        MediaFacts facts;
        if (problem.empty()) {
            facts = ReadFacts(plugin, kSlot);
            anyOpened = true;
        } else {
            err << "plughost: cannot open " << file << ": " << problem << '\n';
            status = 1;
        }
        if (json) {
            PrintJson(file, problem.empty() ? &facts : nullptr, problem, out);
            out << (i + 1 < files.size() ? ",\n" : "\n");
        } else if (problem.empty()) {
            PrintText(file, facts, out);
            if (i + 1 < files.size()) out << '\n';
        }
    }
    if (json) out << "]\n";
    if (!anyOpened && !OutputHint(output).empty()) err << OutputHint(output) << '\n';
    plugin.Free(kSlot);
    out.flush();
    return status;
}

}  // namespace plughost
