// SPDX-License-Identifier: MIT
// plughost: a command-line host that loads the plug-in as a host does and drives
// it through its exports only.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "tools/plughost/Info.h"
#include "tools/plughost/Options.h"
#include "tools/plughost/Play.h"
#include "tools/plughost/Plugin.h"
#include "tools/plughost/Script.h"

using namespace plughost;

namespace {

int RunScriptCommand(Plugin& plugin, const Options& options) {
    const std::string source = options.files.empty() ? "-" : options.files.front();
    ScriptOptions scriptOptions;
    scriptOptions.echo = options.echo;
    if (source == "-") {
        scriptOptions.name = "-";
        // Typed at a terminal, each line runs as it is entered.
        scriptOptions.checkFirst = isatty(STDIN_FILENO) != 1;
        return RunScript(plugin, std::cin, scriptOptions, std::cout, std::cerr);
    }
    std::ifstream file(source);
    if (!file) {
        std::cerr << "plughost: cannot read the script " << source << '\n';
        return 2;
    }
    scriptOptions.name = source;
    return RunScript(plugin, file, scriptOptions, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = ParseCommandLine(argc, argv, &error);
    if (!options) {
        std::cerr << "plughost: " << error << "\n(see plughost --help)\n";
        return 2;
    }
    if (options->help) {
        std::cout << HelpText(options->command);
        return 0;
    }

    // The engine reads its output choice when the plug-in starts it.
    setenv("AUDIOENGINE_OUTPUT", options->output.c_str(), 1);

    const std::string path = options->plugin.empty() ? DefaultPluginPath() : options->plugin;
    const auto plugin = Plugin::Load(path, &error);
    if (!plugin) {
        std::cerr << "plughost: " << error << '\n';
        return 1;
    }
    plugin->Start();

    if (options->command == "info")
        return RunInfo(*plugin, options->files, options->json, options->output, std::cout,
                       std::cerr);
    if (options->command == "play") return RunPlay(*plugin, *options, std::cout, std::cerr);
    return RunScriptCommand(*plugin, *options);
}
