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
    if (!plugin.Open(slot, path))
        return "not a playable audio file, or its format is not supported";
    return "";
}

std::string OutputHint(const std::string& output) {
    if (output == "auto" || output == "null") return "";
    return "plughost: no file could be opened: the engine may not have started on the output '" +
           output + "' (try --output null)";
}

MediaFacts ReadFacts(Plugin& plugin, int slot) {
    MediaFacts facts;
    facts.lengthSeconds = ParseTime(plugin.LengthText(slot)).value_or(-1);
    facts.rate = ParseDecimal(plugin.RateText(slot)).value_or(-1);
    facts.kbps = ParseDecimal(plugin.BitrateText(slot)).value_or(-1);
    facts.layout = plugin.LayoutText(slot);
    for (size_t i = 0; i < TagKeys().size(); ++i)
        facts.tags[i] = plugin.TagText(slot, TagKeys()[i].key);
    return facts;
}

}  // namespace plughost
