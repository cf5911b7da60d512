// File handling of the deltapatch subcommands around the engine's container and block diff calls.
#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "deltapatch/blockdiff.h"
#include "deltapatch/checksum.h"
#include "deltapatch/container.h"
#include "deltapatch/lzma2blob.h"
#include "enginelog.h"
#include "inputfile.h"
#include "outputfile.h"
#include "progress.h"

namespace cli {
namespace {

using deltapatch::ByteSink;
using deltapatch::ByteSource;

// Container sizes are varint32 fields; the block diff works on 31-bit positions.
constexpr uint64_t kMaxContainerInput = 0xFFFFFFFFull;
constexpr uint64_t kMaxBlockDiffInput = 0x7FFFFFFFull;

std::string prefix(const ParsedArgs& args) { return "deltapatch: " + args.command->name; }

// Clears the engine's error memory and names the command for a critical engine report.
void begin(const ParsedArgs& args)
{
    engineLog().setContext(prefix(args));
    engineLog().clear();
}

int fail(const ParsedArgs& args, const std::string& what)
{
    clearProgressLine();
    std::fprintf(stderr, "%s: %s\n", prefix(args).c_str(), what.c_str());
    return 1;
}

// The engine's own last message (or `fallback` when it said nothing) and the file concerned.
std::string engineError(const std::string& fallback, const std::string& file)
{
    const std::string& message = engineLog().lastError();
    return (message.empty() ? fallback : message) + " (" + file + ")";
}

// The engine writes containers itself; a failed write concerns the output, not the input.
std::string containerFile(const ParsedArgs& args)
{
    const bool writeFailed = engineLog().lastError() == "could not write output file";
    return args.positionals[writeFailed ? 1 : 0];
}

bool writeSink(OutputFile* output, const ByteSink& sink)
{
    return output->write(sink.data(), sink.length()) && output->commit();
}

// The engine cannot map an empty file, so the tool composes the plain container of no bytes
// from the engine's pieces; the decoder reads it like any other.
bool packEmpty(ByteSink* sink)
{
    const uint8_t none = 0;
    return deltapatch::WriteContainerHeader(sink, deltapatch::ContentChecksum(&none, 0)) &&
           sink->writeVarint32(deltapatch::DIRECTIVE_PLAIN) &&
           deltapatch::WriteLzma2Blob(&none, 0, sink);
}

deltapatch::BlockDiffMethod methodNamed(const std::string& name)
{
    if (name == "none")
        return deltapatch::METHOD_NONE;
    if (name == "sections")
        return deltapatch::METHOD_LZMA2_SECTIONS;
    return deltapatch::METHOD_LZMA2_BODY;
}

bool openInput(InputFile* file, const std::string& path, const ParsedArgs& args, int* status)
{
    if (file->open(path))
        return true;
    *status = fail(args, file->error());
    return false;
}

} // namespace

int runPack(const ParsedArgs& args)
{
    begin(args);
    const std::string& in = args.positionals[0];
    uint64_t size = 0;
    std::string error;
    if (!statInput(in, &size, &error))
        return fail(args, error);
    if (size > kMaxContainerInput)
        return fail(args, in + " is too large for a container (4 GiB or more)");
    OutputFile output(args.positionals[1]);
    if (!output.create())
        return fail(args, output.error());
    if (size == 0) {
        ByteSink sink;
        if (!packEmpty(&sink))
            return fail(args, engineError("could not pack", in));
        return writeSink(&output, sink) ? 0 : fail(args, output.error());
    }
    Progress progress("pack", size);
    progress.note("packing " + humanSize(size));
    const bool tryDisassembly = !args.flag("--plain");
    if (!deltapatch::PackContainer(in.c_str(), output.tempPath().c_str(), tryDisassembly))
        return fail(args, engineError("could not pack", containerFile(args)));
    return output.commit() ? 0 : fail(args, output.error());
}

int runUnpack(const ParsedArgs& args)
{
    begin(args);
    const std::string& in = args.positionals[0];
    uint64_t size = 0;
    std::string error;
    if (!statInput(in, &size, &error))
        return fail(args, error);
    OutputFile output(args.positionals[1]);
    if (!output.create())
        return fail(args, output.error());
    Progress progress("unpack", size);
    progress.note("unpacking " + humanSize(size));
    if (!deltapatch::UnpackContainer(in.c_str(), output.tempPath().c_str()))
        return fail(args, engineError("could not unpack", containerFile(args)));
    return output.commit() ? 0 : fail(args, output.error());
}

int runDiff(const ParsedArgs& args)
{
    begin(args);
    // Held by pointer so that the mappings can go before the patch is compressed.
    auto oldFile = std::make_unique<InputFile>();
    auto newFile = std::make_unique<InputFile>();
    int status = 1;
    if (!openInput(oldFile.get(), args.positionals[0], args, &status) ||
        !openInput(newFile.get(), args.positionals[1], args, &status))
        return status;
    OutputFile output(args.positionals[2]);
    if (!output.create())
        return fail(args, output.error());
    Progress progress("diff", std::max(oldFile->length(), newFile->length()));
    progress.note("sorting " + humanSize(oldFile->length()));
    const auto onProgress = [&progress](uint64_t done, uint64_t total) {
        progress.update(done, total);
    };
    const auto inputsDone = [&oldFile, &newFile] {
        oldFile.reset();
        newFile.reset();
    };
    ByteSink patch;
    if (!deltapatch::GenerateBlockDiff(oldFile->source(), newFile->source(), &patch, true,
                                       methodNamed(args.value("--method")), onProgress,
                                       inputsDone))
        return fail(args, engineError("could not generate the patch", args.positionals[1]));
    return writeSink(&output, patch) ? 0 : fail(args, output.error());
}

int runBpatch(const ParsedArgs& args)
{
    begin(args);
    const std::string& oldPath = args.positionals[0];
    const std::string& patchPath = args.positionals[1];
    InputFile oldFile, patchFile;
    int status = 1;
    if (!openInput(&oldFile, oldPath, args, &status) ||
        !openInput(&patchFile, patchPath, args, &status))
        return status;
    if (oldFile.length() > kMaxBlockDiffInput)
        return fail(args, oldPath + " is too large for a block diff (2 GiB or more)");
    OutputFile output(args.positionals[2]);
    if (!output.create())
        return fail(args, output.error());
    Progress progress("bpatch", std::max(oldFile.length(), patchFile.length()));
    progress.note("applying " + humanSize(patchFile.length()));
    ByteSource patch = patchFile.source();
    ByteSink result;
    if (!deltapatch::ApplyBlockDiff(oldFile.source(), &patch, &result, true))
        return fail(args, engineError("corrupt patch", oldPath + ", " + patchPath));
    if (!patch.empty())
        return fail(args, std::to_string(patch.remaining()) + " unexpected bytes after the patch (" +
                              patchPath + ")");
    return writeSink(&output, result) ? 0 : fail(args, output.error());
}

} // namespace cli
