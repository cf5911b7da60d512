// Parsing of subcommand arguments and the help texts built from the command table.
#include "options.h"

#include <algorithm>

namespace cli {
namespace {

const OptionSpec* findOption(const CommandSpec& command, const std::string& name)
{
    for (const OptionSpec& option : command.options) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

std::string joined(const std::vector<std::string>& items, const char* separator)
{
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? separator : "") + items[i];
    return text;
}

std::string valueText(const OptionSpec& option)
{
    return option.choices.empty() ? option.valueName : joined(option.choices, "|");
}

bool acceptValue(const OptionSpec& option, const std::string& value, ParsedArgs* parsed,
                 std::string* error)
{
    const auto& choices = option.choices;
    if (!choices.empty() && std::find(choices.begin(), choices.end(), value) == choices.end()) {
        *error = "invalid value '" + value + "' for " + option.name + " (expected " +
                 valueText(option) + ")";
        return false;
    }
    parsed->values[option.name] = value;
    return true;
}

// Handles one argument that starts with "--"; may consume the following argument as its value.
bool parseOption(const CommandSpec& command, const std::vector<std::string>& args, size_t* i,
                 ParsedArgs* parsed, std::string* error)
{
    std::string name = args[*i];
    std::string inlineValue;
    const size_t equals = name.find('=');
    const bool hasInline = equals != std::string::npos;
    if (hasInline) {
        inlineValue = name.substr(equals + 1);
        name.resize(equals);
    }
    const OptionSpec* option = findOption(command, name);
    if (!option) {
        *error = "unknown option " + name;
        return false;
    }
    if (option->valueName.empty()) {
        if (hasInline) {
            *error = "option " + name + " takes no value";
            return false;
        }
        parsed->values[name] = "1";
        return true;
    }
    if (hasInline)
        return acceptValue(*option, inlineValue, parsed, error);
    if (*i + 1 >= args.size()) {
        *error = "option " + name + " needs a value (" + valueText(*option) + ")";
        return false;
    }
    return acceptValue(*option, args[++*i], parsed, error);
}

} // namespace

std::string ParsedArgs::value(const std::string& name) const
{
    const auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
}

bool parseCommandArgs(const CommandSpec& command, const std::vector<std::string>& args,
                      ParsedArgs* parsed, std::string* error)
{
    *parsed = ParsedArgs();
    parsed->command = &command;
    for (const OptionSpec& option : command.options) {
        if (!option.valueName.empty())
            parsed->values[option.name] = option.defaultValue;
    }
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && (arg == "-h" || arg == "--help")) {
            parsed->help = true;
            return true;
        }
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg.compare(0, 2, "--") != 0) {
                *error = "unknown option " + arg;
                return false;
            }
            if (!parseOption(command, args, &i, parsed, error))
                return false;
        } else {
            parsed->positionals.push_back(arg);
        }
    }
    if (parsed->positionals.size() != command.positionals.size()) {
        *error = "expected " + std::to_string(command.positionals.size()) + " arguments (" +
                 joined(command.positionals, " ") + "), got " +
                 std::to_string(parsed->positionals.size());
        return false;
    }
    return true;
}

std::string usageLine(const CommandSpec& command)
{
    std::string line = "usage: deltapatch " + command.name;
    for (const OptionSpec& option : command.options) {
        line += " [" + option.name;
        if (!option.valueName.empty())
            line += " " + valueText(option);
        line += "]";
    }
    return line + " " + joined(command.positionals, " ");
}

std::string commandHelp(const CommandSpec& command)
{
    std::string text = usageLine(command) + "\n\n" + command.details + "\n";
    if (!command.options.empty())
        text += "\noptions:\n";
    for (const OptionSpec& option : command.options) {
        std::string left = option.name;
        if (!option.valueName.empty())
            left += " " + option.valueName;
        left.resize(std::max<size_t>(left.size() + 2, 20), ' ');
        text += "  " + left + option.help + "\n";
    }
    return text + "  --help              show this help\n";
}

std::string toolHelp(const std::vector<CommandSpec>& commands)
{
    std::string text = "usage: deltapatch COMMAND [OPTIONS] ARGS...\n\n"
                       "Packs and unpacks update containers, makes and applies block diffs, and makes and\n"
                       "applies ensemble patches (executable-aware patches of whole files).\n\n"
                       "commands:\n";
    for (const CommandSpec& command : commands) {
        std::string name = command.name;
        name.resize(std::max<size_t>(name.size() + 2, 10), ' ');
        text += "  " + name + command.summary + "\n";
    }
    return text + "\nRun 'deltapatch COMMAND --help' for a command's arguments.\n"
                  "Exit status: 0 success, 1 the operation failed, 2 bad command line.\n";
}

} // namespace cli
