// The built Plugin.so as a host sees it: its dynamic symbol table, the libraries it
// needs, and loading it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

TEST(PluginLibrary, LoadsResolvesEveryExportAndUnloads) {
    void* library = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const std::string& name : kExports)
        EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;

    // A freshly loaded library: empty result, zero data, registers that work.
    auto getFile = reinterpret_cast<const char* (*)()>(dlsym(library, "GetFile"));
    auto getData = reinterpret_cast<int32_t (*)()>(dlsym(library, "GetData"));
    auto setData = reinterpret_cast<void (*)(int32_t)>(dlsym(library, "SetData"));
    auto setFile = reinterpret_cast<void (*)(const char*)>(dlsym(library, "SetFile"));
    auto getInfo = reinterpret_cast<const char* (*)()>(dlsym(library, "GetInfo"));
    auto eqSet = reinterpret_cast<void (*)()>(dlsym(library, "EqSetChannel"));
    ASSERT_TRUE(getFile && getData && setData && setFile && getInfo && eqSet);
    ASSERT_NE(getFile(), nullptr);
    EXPECT_STREQ(getFile(), "");
    EXPECT_EQ(getData(), 0);
    EXPECT_STREQ(getInfo(), "Get color of pixel");
    setData(3);
    setFile("a text the library releases when it is unloaded");
    setData(0);  // band 0: no engine call
    setData(0);
    eqSet();
    EXPECT_STREQ(getFile(), "");
    EXPECT_EQ(getData(), 0);

    EXPECT_EQ(dlclose(library), 0) << dlerror();
}

}  // namespace
