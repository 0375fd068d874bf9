// SPDX-License-Identifier: MIT
// The built Plugin.so as a host sees it: its dynamic symbol table, the libraries it
// needs, and loading it through the shared loader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/pluginloader/PluginLoader.h"

namespace {

// The frozen export list: the names of the module definition file, in ordinal order.
std::vector<std::string> DefinitionFileNames() {
    std::vector<std::string> names;
    std::ifstream def(PLUGIN_DEF);
    std::string line;
    while (std::getline(def, line)) {
        std::istringstream words(line);
        std::string name, ordinal;
        if (words >> name >> ordinal && ordinal.size() > 1 && ordinal[0] == '@') {
            EXPECT_EQ(ordinal, "@" + std::to_string(names.size() + 1)) << name;
            names.push_back(name);
        }
    }
    return names;
}

const std::vector<std::string> kExports = DefinitionFileNames();

// The engine functions the plug-in calls, all imported from the engine libraries.
const char* const kImports[] = {
    "BASS_Init",
    "BASS_StreamCreateFile",
    "BASS_StreamFree",
    "BASS_ChannelPlay",
    "BASS_ChannelStop",
    "BASS_ChannelPause",
    "BASS_ChannelSeconds2Bytes",
    "BASS_ChannelSetPosition",
    "BASS_ChannelGetPosition",
    "BASS_ChannelGetLength",
    "BASS_ChannelBytes2Seconds",
    "BASS_ChannelSetAttribute",
    "BASS_ChannelGetLevel",
    "BASS_ChannelGetData",
    "BASS_ChannelGetInfo",
    "BASS_StreamGetFilePosition",
    "BASS_ChannelSetFX",
    "BASS_ChannelRemoveFX",
    "BASS_FXSetParameters",
    "TAGS_Read",
};

std::string Output(const std::string& command) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return text;
}

// Symbol names from `nm -D` output: the last word of each line, version suffix removed.
std::set<std::string> SymbolNames(const std::string& nmOutput) {
    std::set<std::string> names;
    std::istringstream lines(nmOutput);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find_last_of(' ');
        std::string name = space == std::string::npos ? line : line.substr(space + 1);
        const size_t at = name.find('@');
        if (at != std::string::npos) name.resize(at);
        if (!name.empty()) names.insert(name);
    }
    return names;
}

TEST(PluginLibrary, ExportsExactlyTheThirtyNames) {
    ASSERT_EQ(kExports.size(), 30u);
    const std::set<std::string> defined =
        SymbolNames(Output("nm -D --defined-only '" PLUGIN_PATH "'"));
    EXPECT_EQ(defined, std::set<std::string>(std::begin(kExports), std::end(kExports)));
}

TEST(PluginLibrary, ImportsTheEngineFunctionsByName) {
    const std::set<std::string> undefined =
        SymbolNames(Output("nm -D --undefined-only '" PLUGIN_PATH "'"));
    for (const char* name : kImports) EXPECT_EQ(undefined.count(name), 1u) << name;
    // No engine code is linked in: every engine name is an import.
    for (const std::string& name : undefined) {
        if (name.rfind("BASS_", 0) == 0 || name.rfind("TAGS_", 0) == 0) {
            EXPECT_NE(std::find(std::begin(kImports), std::end(kImports), name), std::end(kImports))
                << "unexpected engine import " << name;
        }
    }
}

TEST(PluginLibrary, NeedsTheEngineLibrariesBesideItself) {
    const std::string dynamic = Output("readelf -d '" PLUGIN_PATH "'");
    EXPECT_NE(dynamic.find("(NEEDED)             Shared library: [libbass.so]"), std::string::npos)
        << dynamic;
    EXPECT_NE(dynamic.find("(NEEDED)             Shared library: [libtags.so]"), std::string::npos)
        << dynamic;
    EXPECT_NE(dynamic.find("(RUNPATH)            Library runpath: [$ORIGIN]"), std::string::npos)
        << dynamic;
}

// Through the shared loader, which resolves every export of Plugin.def or fails.
TEST(PluginLibrary, LoadsResolvesEveryExportAndUnloads) {
    std::string error;
    const auto library = pluginloader::PluginLibrary::Load(PLUGIN_PATH, &error);
    ASSERT_NE(library, nullptr) << error;
    const pluginloader::PluginExports& e = library->exports();

    // A freshly loaded library: empty result, zero data, registers that work.
    ASSERT_NE(e.GetFile(), nullptr);
    EXPECT_STREQ(e.GetFile(), "");
    EXPECT_EQ(e.GetData(), 0);
    EXPECT_STREQ(e.GetInfo(), "Get color of pixel");
    e.SetData(3);
    e.SetFile("a text the library releases when it is unloaded");
    e.SetData(0);  // band 0: no engine call
    e.SetData(0);
    e.EqSetChannel();
    EXPECT_STREQ(e.GetFile(), "");
    EXPECT_EQ(e.GetData(), 0);

    // By name a host finds the exports that take and return nothing, never one that
    // takes or returns a value (CreateChannel's one-byte result among them).
    EXPECT_EQ(pluginloader::ChannelAction(e, "EqSetChannel"), e.EqSetChannel);
    EXPECT_EQ(pluginloader::ChannelAction(e, "CreateChannel"), nullptr);
    EXPECT_EQ(pluginloader::ChannelAction(e, "eqsetchannel"), nullptr);

    EXPECT_TRUE(library->Unload(&error)) << error;
}

// A bare file name is a file in the current folder, not a search of the library path.
TEST(PluginLibrary, TheLoaderTakesABareNameAsAFileInTheCurrentFolder) {
    const std::string plugin = PLUGIN_PATH;
    const std::string folder = plugin.substr(0, plugin.find_last_of('/'));
    const std::string name = plugin.substr(folder.size() + 1);
    char* previous = getcwd(nullptr, 0);
    ASSERT_NE(previous, nullptr);
    std::string error;
    bool loadedHere = false;
    bool loadedElsewhere = true;
    if (chdir(folder.c_str()) == 0) {
        const auto library = pluginloader::PluginLibrary::Load(name, &error);
        loadedHere = library != nullptr;
        // Unloaded before the next load: the dynamic loader matches a loaded library by its name.
    }
    if (chdir("/") == 0)
        loadedElsewhere = pluginloader::PluginLibrary::Load(name, &error) != nullptr;
    EXPECT_EQ(chdir(previous), 0);
    std::free(previous);

    EXPECT_TRUE(loadedHere) << folder << ": " << error;
    EXPECT_FALSE(loadedElsewhere);
    EXPECT_EQ(error.rfind("cannot load the plug-in " + name + ": ", 0), 0u) << error;
}

}  // namespace
