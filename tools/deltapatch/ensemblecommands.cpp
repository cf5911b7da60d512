// File handling of the gen, apply and info subcommands around the engine's ensemble patch calls.
#include "ensemblecommands.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "deltapatch/ensemble.h"
#include "deltapatch/ensemblegenerator.h"
#include "deltapatch/programelements.h"
#include "deltapatch/programsource.h"
#include "enginelog.h"
#include "inputfile.h"
#include "outputfile.h"
#include "progress.h"

namespace cli {
namespace {

// The block diffs inside an ensemble patch work on 31-bit positions.
constexpr uint64_t kMaxEnsembleInput = 0x7FFFFFFFull;

int fail(const ParsedArgs& args, const std::string& what)
{
    clearProgressLine();
    std::fprintf(stderr, "deltapatch: %s: %s\n", args.command->name.c_str(), what.c_str());
    return 1;
}

void begin(const ParsedArgs& args)
{
    engineLog().setContext("deltapatch: " + args.command->name);
    engineLog().clear();
}

std::string statusText(deltapatch::PatchStatus status)
{
    return "status " + std::to_string(status) + " (" + deltapatch::PatchStatusName(status) + ")";
}

bool openInput(InputFile* file, const std::string& path, const ParsedArgs& args, int* status)
{
    if (!file->open(path)) {
        *status = fail(args, file->error());
        return false;
    }
    if (file->length() > kMaxEnsembleInput) {
        *status = fail(args, path + " is too large for an ensemble patch (2 GiB or more)");
        return false;
    }
    return true;
}

// The engine's file call writes under a temporary name and renames it into place, which would
// replace an output that is a pipe or a device, and it cannot map an empty old file. Both cases
// are applied from memory; the statuses stay those of the file call.
bool needsMemoryApply(const std::string& oldPath, const std::string& newPath)
{
    struct stat info = {};
    if (::stat(oldPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        return true;
    return ::stat(newPath.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

int applyInMemory(const ParsedArgs& args, OutputFile* output)
{
    InputFile oldFile, patchFile;
    if (!patchFile.open(args.positionals[1]))
        return fail(args, statusText(deltapatch::STATUS_PATCH_OPEN_FAILED));
    if (!oldFile.open(args.positionals[0]))
        return fail(args, statusText(deltapatch::STATUS_FILE_IO_FAILED));
    deltapatch::ByteSink result;
    const deltapatch::PatchStatus status =
        deltapatch::ApplyEnsemblePatch(oldFile.source(), patchFile.source(), &result);
    if (status != deltapatch::STATUS_OK)
        return fail(args, statusText(status));
    if (!output->write(result.data(), result.length()) || !output->commit())
        return fail(args, output->error());
    return 0;
}

} // namespace

int runGen(const ParsedArgs& args)
{
    begin(args);
    InputFile oldFile, newFile;
    int status = 1;
    if (!openInput(&oldFile, args.positionals[0], args, &status) ||
        !openInput(&newFile, args.positionals[1], args, &status))
        return status;
    OutputFile output(args.positionals[2]);
    if (!output.create())
        return fail(args, output.error());
    Progress progress("gen", std::max(oldFile.length(), newFile.length()));
    progress.note("matching " + humanSize(newFile.length()));
    deltapatch::EnsembleGeneratorOptions options;
    options.progress = [&progress](uint64_t done, uint64_t total) { progress.update(done, total); };
    deltapatch::ByteSink patch;
    const deltapatch::PatchStatus result =
        deltapatch::GenerateEnsemblePatch(oldFile.source(), newFile.source(), &patch, options);
    if (result != deltapatch::STATUS_OK)
        return fail(args, "could not generate the patch: " + statusText(result));
    if (!output.write(patch.data(), patch.length()) || !output.commit())
        return fail(args, output.error());
    return 0;
}

int runApply(const ParsedArgs& args)
{
    begin(args);
    const std::string& oldPath = args.positionals[0];
    OutputFile output(args.positionals[2]);
    if (!output.create())
        return fail(args, output.error());
    if (needsMemoryApply(oldPath, args.positionals[2]))
        return applyInMemory(args, &output);
    uint64_t oldSize = 0;
    std::string error;
    statInput(oldPath, &oldSize, &error);
    Progress progress("apply", oldSize);
    progress.note("applying to " + humanSize(oldSize));
    const deltapatch::PatchStatus status = deltapatch::ApplyEnsemblePatchFiles(
        oldPath.c_str(), args.positionals[1].c_str(), output.tempPath().c_str());
    if (status != deltapatch::STATUS_OK)
        return fail(args, statusText(status));
    return output.commit() ? 0 : fail(args, output.error());
}

int runInfo(const ParsedArgs& args)
{
    begin(args);
    InputFile file;
    if (!file.open(args.positionals[0]))
        return fail(args, file.error());
    deltapatch::ProgramElements elements;
    const deltapatch::ByteSource bytes = file.source();
    const deltapatch::PatchStatus status =
        bytes.empty() ? deltapatch::STATUS_INPUT_NOT_RECOGNIZED
                      : deltapatch::FindProgramElements(bytes.current(), bytes.remaining(),
                                                        deltapatch::DetectProgram, &elements);
    if (status == deltapatch::STATUS_INPUT_NOT_RECOGNIZED) {
        std::puts("UNKNOWN");
        return 0;
    }
    if (status != deltapatch::STATUS_OK)
        return fail(args, "could not detect the executable kind: " + statusText(status));
    for (size_t i = 0; i < elements.count; ++i) {
        const deltapatch::ProgramElement& element = elements.items[i];
        std::printf("%s %zu at %zu\n", deltapatch::ExecutableKindName(element.kind),
                    element.length, element.offset);
    }
    return 0;
}

} // namespace cli
