// The deltapatch command: picks the subcommand from the table below and runs it.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "ensemblecommands.h"
#include "options.h"

namespace {

using cli::CommandSpec;

// A new subcommand is one row here and one handler in commands.h.
const std::vector<CommandSpec>& commandTable()
{
    static const std::vector<CommandSpec> table = {
        {"pack",
         {"IN", "OUT"},
         {{"--plain", "", {}, "", "always write plain LZMA2 compression"}},
         "compress a file into an update container",
         "Writes the compressed file container of IN to OUT. Without --plain the\n"
         "executable-aware form is tried first and plain compression is the fallback.",
         cli::runPack},
        {"unpack",
         {"IN", "OUT"},
         {},
         "decode an update container",
         "Decodes the container IN and writes the file it holds to OUT, after checking\n"
         "its checksum.",
         cli::runUnpack},
        {"diff",
         {"OLD", "NEW", "PATCH"},
         {{"--method", "METHOD", {"none", "sections", "body"}, "body",
           "compression of the patch (default body)"}},
         "make a block diff from OLD to NEW",
         "Writes a block diff with header (magic and checksum of NEW) that turns OLD\n"
         "into NEW. Methods: none (uncompressed), sections (each section compressed on\n"
         "its own), body (all sections compressed together).",
         cli::runDiff},
        {"bpatch",
         {"OLD", "PATCH", "OUT"},
         {},
         "apply a block diff made by diff",
         "Rebuilds NEW from OLD and PATCH and writes it to OUT after checking its\n"
         "checksum. PATCH must end where the patch ends: trailing bytes are refused.",
         cli::runBpatch},
        {"gen",
         {"OLD", "NEW", "PATCH"},
         {},
         "make an ensemble patch from OLD to NEW",
         "Writes the ensemble patch (what the updater applies to installed files) that\n"
         "turns OLD into NEW. Where both hold executables of the same kind, their code is\n"
         "compared as programs, which keeps patches of rebuilt executables small; the\n"
         "patch is applied in memory and checked against NEW before it is written.",
         cli::runGen},
        {"apply",
         {"OLD", "PATCH", "NEW"},
         {},
         "apply an ensemble patch made by gen",
         "Rebuilds NEW from OLD and the ensemble patch PATCH. A failure names the\n"
         "engine's status, for example 'status 8 (STATUS_BAD_CRC)' when OLD is not the\n"
         "file the patch was made for.",
         cli::runApply},
        {"info",
         {"FILE"},
         {},
         "show the executables found in FILE",
         "Prints one line per executable element of FILE: its kind, its image length and\n"
         "its offset, e.g. 'MACHO_X64 16384 at 0' (the slices of a universal file each\n"
         "get a line), or 'UNKNOWN' when no executable is recognised.",
         cli::runInfo},
    };
    return table;
}

const CommandSpec* findCommand(const std::string& name)
{
    for (const CommandSpec& command : commandTable()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

int usageError(const std::string& what, const std::string& usage)
{
    std::fprintf(stderr, "deltapatch: %s\n%s\n", what.c_str(), usage.c_str());
    return 2;
}

int runCommand(const CommandSpec& command, const std::vector<std::string>& args)
{
    cli::ParsedArgs parsed;
    std::string error;
    if (!cli::parseCommandArgs(command, args, &parsed, &error))
        return usageError(command.name + ": " + error, cli::usageLine(command));
    if (parsed.help) {
        std::fputs(cli::commandHelp(command).c_str(), stdout);
        return 0;
    }
    return command.handler(parsed);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string tryHelp = "Run 'deltapatch --help' for the list of commands.";
    if (argc < 2)
        return usageError("missing command", tryHelp);
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(cli::toolHelp(commandTable()).c_str(), stdout);
        return 0;
    }
    const CommandSpec* command = findCommand(name);
    if (!command)
        return usageError("unknown command '" + name + "'", tryHelp);
    return runCommand(*command, std::vector<std::string>(argv + 2, argv + argc));
}
