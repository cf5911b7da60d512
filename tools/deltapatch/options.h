// Command-line grammar of the deltapatch tool: subcommand table entries, parsing and help texts.
// Nothing here touches files.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cli {

// One option of a subcommand: a flag ("--plain") or an option with a value ("--method body").
struct OptionSpec {
    std::string name;                 // with the leading "--"
    std::string valueName;            // empty for a flag
    std::vector<std::string> choices; // allowed values; empty means any value
    std::string defaultValue;
    std::string help;
};

struct ParsedArgs;
using CommandHandler = int (*)(const ParsedArgs& args);

struct CommandSpec {
    std::string name;
    std::vector<std::string> positionals; // names shown in the usage line, all required
    std::vector<OptionSpec> options;
    std::string summary; // one line for the command list
    std::string details; // paragraph for the command's own --help
    CommandHandler handler = nullptr;
};

struct ParsedArgs {
    const CommandSpec* command = nullptr;
    bool help = false;
    std::map<std::string, std::string> values; // every option, defaults filled in
    std::vector<std::string> positionals;

    bool flag(const std::string& name) const { return values.count(name) != 0; }
    std::string value(const std::string& name) const;
};

// Parses the arguments that follow the subcommand name. Returns false with a one-line reason in
// `error` when the arguments do not fit the command; "-h"/"--help" anywhere before "--" wins.
bool parseCommandArgs(const CommandSpec& command, const std::vector<std::string>& args,
                      ParsedArgs* parsed, std::string* error);

// "deltapatch diff [--method none|sections|body] OLD NEW PATCH"
std::string usageLine(const CommandSpec& command);
// Usage line, details and one line per option.
std::string commandHelp(const CommandSpec& command);
// The tool's overview: usage and one line per subcommand.
std::string toolHelp(const std::vector<CommandSpec>& commands);

} // namespace cli
