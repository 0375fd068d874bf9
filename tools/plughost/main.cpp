// SPDX-License-Identifier: MIT
// plughost: a command-line host that loads the plug-in as a host does and drives
// it through its exports only.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "tools/plughost/Info.h"
#include "tools/plughost/Options.h"
#include "tools/plughost/Play.h"
#include "tools/plughost/Plugin.h"
#include "tools/plughost/Render.h"
#include "tools/plughost/Script.h"
#include "tools/plughost/Terminal.h"
#include "tools/plughost/Texts.h"

using namespace plughost;

namespace {

// Why a script file cannot be read, or an empty text.
std::string ScriptProblem(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return "is a directory";
    if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
    return "";
}

int RunScriptCommand(Plugin& plugin, const Options& options, std::ifstream& file) {
    ScriptOptions scriptOptions;
    scriptOptions.echo = options.echo;
    if (file.is_open()) {
        scriptOptions.name = options.files.front();
        return RunScript(plugin, file, scriptOptions, std::cout, std::cerr);
    }
    scriptOptions.name = "-";
    if (isatty(STDIN_FILENO) != 1)
        return RunScript(plugin, std::cin, scriptOptions, std::cout, std::cerr);
    // Typed at a terminal: each line runs as it is entered, and a mistake is
    // reported without ending the session.
    scriptOptions.checkFirst = false;
    scriptOptions.keepGoing = true;
    std::cerr << "plughost script: one call per line (plughost script --help lists them); "
                 "Ctrl-D ends\n";
    const int status =
        RunScript(plugin, EditedLines("plughost> "), scriptOptions, std::cout, std::cerr);
    std::cout << '\n';
    return status;
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
    if (options->version) {
        std::cout << VersionText();
        return 0;
    }

    const std::string& command = options->command;
    std::ifstream scriptFile;
    if (command == "script" && !options->files.empty() && options->files.front() != "-") {
        const std::string& path = options->files.front();
        std::string problem = ScriptProblem(path);
        if (problem.empty()) {
            scriptFile.open(path);
            if (!scriptFile) problem = std::strerror(errno);
        }
        if (!problem.empty()) {
            std::cerr << "plughost: cannot read the script " << OneLine(path) << ": " << problem
                      << '\n';
            return 2;
        }
    }

    // A run that a signal ends ends by that signal, once the engine has stopped.
    ReraiseQuitSignalAtExit();
    ShowSystemCodePageOnConsole();
    // info and render start no sound output: the engine's offline one serves them.
    const bool offline = command == "info" || command == "render";
    const std::string output = offline ? "manual" : options->output;
#ifdef _WIN32
    _putenv_s("AUDIOENGINE_OUTPUT", output.c_str());
#else
    setenv("AUDIOENGINE_OUTPUT", output.c_str(), 1);
#endif

    const std::string path = options->plugin.empty() ? DefaultPluginPath() : options->plugin;
    const auto plugin = Plugin::Load(path, &error);
    if (!plugin) {
        std::cerr << "plughost: " << error << '\n';
        return 1;
    }
    const std::string failure = plugin->Start();
    if (!failure.empty()) {
        std::cerr << "plughost: the output " << output << " did not start: " << failure << '\n';
        return 1;
    }
    // "auto" may have found no sound device: say so, and why, once.
    if (!offline && output == "auto") {
        const std::string reason = plugin->OutputReason();
        if (reason.rfind("null", 0) == 0)
            std::cerr << "plughost: output " << reason << "; nothing is heard\n";
    }

    if (command == "info")
        return RunInfo(*plugin, options->files, options->json, std::cout, std::cerr);
    if (command == "render") return RunRender(*plugin, *options, std::cerr);
    if (command == "play") return RunPlay(*plugin, *options, std::cout, std::cerr);
    if (scriptFile.is_open() || isatty(STDIN_FILENO) != 1) InstallSignalHandlers();
    return RunScriptCommand(*plugin, *options, scriptFile);
}
