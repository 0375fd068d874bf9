// SPDX-License-Identifier: MIT
#include "tools/plughost/Script.h"

#ifndef _WIN32
#include <editline/readline.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

#include "tools/plughost/Plugin.h"
#include "tools/plughost/Terminal.h"
#include "tools/plughost/Texts.h"

namespace plughost {
namespace {

// The longest sleep a script may ask for: an hour.
constexpr double kMaxSleepSeconds = 3600.0;

enum class Operand { None, Integer, Text };

struct CallForm {
    const char* name;
    Operand operand;
};

// Every export a script may call, with the operand it takes.
const CallForm kCallForms[] = {
    {"Copyright", Operand::None},
    {"GetShortInfo", Operand::None},
    {"GetInfo", Operand::None},
    {"GetType", Operand::None},
    {"SetPath", Operand::Text},
    {"SetParentWindow", Operand::Integer},
    {"Draw", Operand::None},
    {"SetFile", Operand::Text},
    {"GetFile", Operand::None},
    {"SetData", Operand::Integer},
    {"GetData", Operand::None},
    {"InitBass", Operand::None},
    {"PlayChannel", Operand::None},
    {"CreateChannel", Operand::None},
    {"FreeChannel", Operand::None},
    {"StopChannel", Operand::None},
    {"PauseChannel", Operand::None},
    {"SetPositionForChannel", Operand::None},
    {"GetLevelChannel", Operand::None},
    {"GetDataChannel128", Operand::None},
    {"GetDataChannel20", Operand::None},
    {"GetPosTimeChannel", Operand::None},
    {"GetLengthTimeChannel", Operand::None},
    {"GetTagChannel", Operand::None},
    {"EqSetChannel", Operand::None},
    {"SetValumeChannel", Operand::None},
    {"GetFreqChannel", Operand::None},
    {"GetBitrateChannel", Operand::None},
    {"GetChansChannel", Operand::None},
    {"EqCreateChannel", Operand::None},
};

const CallForm* FindCall(const std::string& name) {
    for (const CallForm& form : kCallForms) {
        if (name == form.name) return &form;
    }
    return nullptr;
}

// A case-insensitive match, to point out a misspelt call.
const CallForm* FindCallIgnoringCase(const std::string& name) {
    for (const CallForm& form : kCallForms) {
        const std::string candidate = form.name;
        if (candidate.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) {
            same = std::tolower(static_cast<unsigned char>(name[i])) ==
                   std::tolower(static_cast<unsigned char>(candidate[i]));
        }
        if (same) return &form;
    }
    return nullptr;
}

struct Cursor {
    const std::string& line;
    size_t at = 0;

    void SkipBlanks() {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    }
    // The rest of the line holds nothing but blanks and perhaps a comment.
    bool AtEnd() {
        SkipBlanks();
        return at == line.size() || line[at] == '#';
    }
    std::string Word() {
        const size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r' &&
               line[at] != '#' && line[at] != '"')
            ++at;
        return line.substr(start, at - start);
    }
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a double-quoted text with C escapes at the cursor.
bool ReadQuoted(Cursor& cursor, std::string* text, std::string* error) {
    const std::string& line = cursor.line;
    ++cursor.at;  // the opening quote
    text->clear();
    while (cursor.at < line.size()) {
        const char c = line[cursor.at++];
        if (c == '"') return true;
        if (c != '\\') {
            *text += c;
            continue;
        }
        if (cursor.at >= line.size()) break;
        const char e = line[cursor.at++];
        switch (e) {
            case '"':
                *text += '"';
                break;
            case '\\':
                *text += '\\';
                break;
            case 'n':
                *text += '\n';
                break;
            case 't':
                *text += '\t';
                break;
            case 'r':
                *text += '\r';
                break;
            case 'x': {
                const int high = cursor.at < line.size() ? HexDigit(line[cursor.at]) : -1;
                const int low = cursor.at + 1 < line.size() ? HexDigit(line[cursor.at + 1]) : -1;
                if (high < 0 || low < 0) {
                    *error = "\\x takes two hexadecimal digits";
                    return false;
                }
                const char byte = static_cast<char>(high * 16 + low);
                if (byte == '\0') {
                    *error = "a text cannot hold a NUL byte (\\x00)";
                    return false;
                }
                *text += byte;
                cursor.at += 2;
                break;
            }
            default:
                *error =
                    std::string("unknown escape \\") + e + " (use \\\" \\\\ \\n \\t \\r \\xHH)";
                return false;
        }
    }
    *error = "the text has no closing quote";
    return false;
}

bool ParseInteger(const std::string& word, int64_t min, int64_t max, int64_t* value) {
    if (word.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || word[0] == ' ' || word[0] == '+') return false;
    if (parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
}

}  // namespace

std::optional<ScriptStep> ParseScriptLine(const std::string& line, std::string* error) {
    Cursor cursor{line};
    ScriptStep step;
    if (cursor.AtEnd()) return step;

    const std::string name = cursor.Word();
    if (name.empty()) {
        *error = "expected a call, found '" + line.substr(cursor.at, 1) + "'";
        return std::nullopt;
    }
    if (name == "sleep") {
        cursor.SkipBlanks();
        const std::string word = cursor.Word();
        char* end = nullptr;
        const double seconds = word.empty() ? NAN : std::strtod(word.c_str(), &end);
        if (word.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
            seconds > kMaxSleepSeconds) {
            *error = "sleep takes a number of seconds from 0 to 3600, such as sleep 0.5";
            return std::nullopt;
        }
        if (!cursor.AtEnd()) {
            *error = "sleep takes one number";
            return std::nullopt;
        }
        step.kind = ScriptStep::Kind::Sleep;
        step.seconds = seconds;
        return step;
    }

    const CallForm* form = FindCall(name);
    if (form == nullptr) {
        const CallForm* near = FindCallIgnoringCase(name);
        *error = "unknown call '" + name + "'" +
                 (near ? std::string(" (did you mean ") + near->name + "?)" : std::string());
        return std::nullopt;
    }
    step.kind = ScriptStep::Kind::Call;
    step.name = form->name;

    switch (form->operand) {
        case Operand::None:
            if (!cursor.AtEnd()) {
                *error = name + " takes no operand";
                return std::nullopt;
            }
            return step;
        case Operand::Integer: {
            cursor.SkipBlanks();
            const std::string word = cursor.Word();
            const bool window = name == "SetParentWindow";
            const int64_t min = window ? 0 : INT32_MIN;
            const int64_t max = window ? int64_t{UINT32_MAX} : INT32_MAX;
            if (!ParseInteger(word, min, max, &step.number)) {
                *error = window ? "SetParentWindow takes a window handle from 0 to 4294967295"
                                : name + " takes a whole number from -2147483648 to 2147483647" +
                                      (word.empty() ? std::string() : ", not '" + word + "'");
                return std::nullopt;
            }
            break;
        }
        case Operand::Text:
            cursor.SkipBlanks();
            if (cursor.at >= line.size() || line[cursor.at] != '"') {
                *error = name + " takes a text in double quotes, such as " + name + " \"%ARTI\"";
                return std::nullopt;
            }
            if (!ReadQuoted(cursor, &step.text, error)) return std::nullopt;
            break;
    }
    if (!cursor.AtEnd()) {
        *error = name + " takes one operand";
        return std::nullopt;
    }
    return step;
}

void RunScriptStep(Plugin& plugin, const ScriptStep& step, std::ostream& out) {
    if (step.kind == ScriptStep::Kind::Sleep) {
        // In slices, so that a signal that ends the run is not kept waiting.
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(step.seconds));
        while (!QuitRequested() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(50), until - std::chrono::steady_clock::now()));
        return;
    }
    if (step.kind != ScriptStep::Kind::Call) return;

    const PluginExports& e = plugin.exports();
    const std::string& name = step.name;
    const auto printText = [&](const char* text) {
        out << name << " -> " << (text ? QuoteText(text) : std::string("null")) << '\n';
    };
    if (name == "SetData") {
        e.SetData(static_cast<int32_t>(step.number));
    } else if (name == "SetFile") {
        e.SetFile(step.text.c_str());
    } else if (name == "SetPath") {
        e.SetPath(step.text.c_str());
    } else if (name == "SetParentWindow") {
        e.SetParentWindow(reinterpret_cast<void*>(static_cast<intptr_t>(step.number)));
    } else if (name == "CreateChannel") {
        e.CreateChannel();  // its result is not part of what a host reads
    } else if (name == "GetFile") {
        printText(e.GetFile());
    } else if (name == "GetData") {
        out << name << " -> " << e.GetData() << '\n';
    } else if (name == "GetType") {
        out << name << " -> " << e.GetType() << '\n';
    } else if (name == "Copyright") {
        printText(e.Copyright());
    } else if (name == "GetInfo") {
        printText(e.GetInfo());
    } else if (PluginExports::Action action = ChannelAction(e, name)) {
        action();
    }
    out.flush();
}

int RunScript(Plugin& plugin, const LineSource& next, const ScriptOptions& options,
              std::ostream& out, std::ostream& err) {
    struct Line {
        int number;
        std::string text;
        ScriptStep step;
    };
    const auto report = [&](int number, const std::string& message) {
        err << options.name << ":" << number << ": " << message << '\n';
        err.flush();
    };
    const auto run = [&](const Line& line) {
        if (options.echo && line.step.kind != ScriptStep::Kind::Nothing)
            out << "> " << line.text << '\n';
        RunScriptStep(plugin, line.step, out);
    };

    std::vector<Line> lines;
    std::string text;
    int number = 0;
    while (!QuitRequested() && next(&text)) {
        ++number;
        std::string error;
        const auto step = ParseScriptLine(text, &error);
        if (!step) {
            report(number, error);
            if (options.keepGoing) continue;
            return 2;
        }
        Line line{number, text, *step};
        if (options.checkFirst)
            lines.push_back(std::move(line));
        else
            run(line);
    }
    for (const Line& line : lines) {
        if (QuitRequested()) break;
        run(line);
    }
    return 0;
}

int RunScript(Plugin& plugin, std::istream& in, const ScriptOptions& options, std::ostream& out,
              std::ostream& err) {
    return RunScript(
        plugin, [&in](std::string* line) { return static_cast<bool>(std::getline(in, *line)); },
        options, out, err);
}

LineSource EditedLines(const char* prompt) {
#ifdef _WIN32
    // The console edits the line itself and keeps its history (F7).
    return [prompt](std::string* line) {
        std::cerr << prompt << std::flush;
        return static_cast<bool>(std::getline(std::cin, *line));
    };
#else
    return [prompt](std::string* line) {
        char* text = readline(prompt);
        if (text == nullptr) return false;
        line->assign(text);
        if (line->find_first_not_of(" \t") != std::string::npos) add_history(text);
        std::free(text);
        return true;
    };
#endif
}

}  // namespace plughost
