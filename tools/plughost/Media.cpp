// SPDX-License-Identifier: MIT
#include "tools/plughost/Media.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/plughost/Plugin.h"
#include "tools/plughost/Texts.h"

namespace plughost {

const std::array<TagKey, 7>& TagKeys() {
    static const std::array<TagKey, 7> keys = {{{"%TITL", "title"},
                                                {"%ARTI", "artist"},
                                                {"%ALBM", "album"},
                                                {"%GNRE", "genre"},
                                                {"%YEAR", "year"},
                                                {"%TRCK", "track"},
                                                {"%CMNT", "comment"}}};
    return keys;
}

std::string FileProblem(const std::string& path) {
    if (path.empty()) return "empty file name";
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return "is a directory";
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
    return "";
}

std::string OpenFile(Plugin& plugin, int slot, const std::string& path) {
    std::string problem = FileProblem(path);
    if (!problem.empty()) {
        // Whatever the slot held before is freed, as a failed open would.
        plugin.Free(slot);
        return problem;
    }
    if (!plugin.Open(slot, path)) {
        const std::string found = plugin.Refusal();
        if (!found.empty()) return "not playable: " + found;
        return "not a playable audio file, or its format is not supported";
    }
    return "";
}

MediaFacts ReadFacts(Plugin& plugin, int slot, const std::string& file) {
    MediaFacts facts;
    facts.lengthSeconds = ParseTime(plugin.LengthText(slot)).value_or(-1);
    facts.rate = ParseDecimal(plugin.RateText(slot)).value_or(-1);
    facts.kbps = ParseDecimal(plugin.BitrateText(slot)).value_or(-1);
    facts.layout = plugin.LayoutText(slot);
    for (size_t i = 0; i < TagKeys().size(); ++i)
        facts.tags[i] = plugin.TagText(slot, TagKeys()[i].key);
    facts.exact = plugin.StreamInfo(file);
    return facts;
}

std::optional<double> ExactSeconds(const MediaFacts& facts) {
    if (!facts.exact || facts.exact->rate == 0) return std::nullopt;
    return static_cast<double>(facts.exact->frames) / facts.exact->rate;
}

std::string ChannelLayoutName(uint32_t mask) {
    // Speakers: FL 0x1, FR 0x2, FC 0x4, LFE 0x8, BL 0x10, BR 0x20, BC 0x100,
    // SL 0x200, SR 0x400.
    static const struct {
        uint32_t mask;
        const char* name;
    } kLayouts[] = {
        {0x4, "mono"},        {0x3, "stereo"},      {0xB, "2.1"},         {0x7, "3.0"},
        {0x103, "3.0(back)"}, {0x107, "4.0"},       {0x33, "quad"},       {0x603, "quad(side)"},
        {0xF, "3.1"},         {0x37, "5.0"},        {0x607, "5.0(side)"}, {0x10F, "4.1"},
        {0x3F, "5.1"},        {0x60F, "5.1(side)"}, {0x707, "6.0"},       {0x13F, "6.1(back)"},
        {0x70F, "6.1"},       {0x637, "7.0"},       {0x63F, "7.1"},
    };
    for (const auto& layout : kLayouts)
        if (layout.mask == mask) return layout.name;
    return "";
}

}  // namespace plughost
