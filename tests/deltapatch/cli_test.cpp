// Runs the built deltapatch command on temporary files: round trips, stored outputs, failures
// and the command line itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <functional>
#include <sstream>
#include <string>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "syntheticprogram.h"

namespace {

const std::string kFixtures = std::string(OV3_SOURCE_DIR) + "/tests/fixtures/cli/";

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> listDir(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* handle = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(handle)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(handle);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Deterministic sample data: numbered text lines, or bytes with runs and repeats like a binary.
std::string textSample(int lines, int salt = 0)
{
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "line " + std::to_string(i) + " value " + std::to_string((i * 7919 + salt) % 1000) +
                "\n";
    return text;
}

std::string binarySample(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = (i % 64 < 40) ? static_cast<char>(i / 64) : static_cast<char>(state >> 24);
    }
    return bytes;
}

// A later version of `bytes`: a block changed, one inserted and one removed.
std::string edited(std::string bytes)
{
    if (bytes.size() < 64)
        return bytes + "+";
    bytes.replace(bytes.size() / 4, 8, "CHANGED!");
    bytes.insert(bytes.size() / 2, "inserted block of new bytes\n");
    bytes.erase(bytes.size() * 3 / 4, 20);
    return bytes;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

class CliTest : public ::testing::Test {
public:
    void SetUp() override
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/cli_test.XXXXXX";
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        m_Root = pattern;
        m_Work = m_Root + "/work";
        ASSERT_EQ(::mkdir(m_Work.c_str(), 0755), 0);
    }
    void TearDown() override { ::nftw(m_Root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

    // A path in the working directory, where every command's files lie.
    std::string at(const std::string& name) const { return m_Work + "/" + name; }

    // Runs the tool; a `fileSizeLimit` makes its writes fail beyond that size, like a full disk.
    RunResult run(const std::vector<std::string>& args, rlim_t fileSizeLimit = 0) const
    {
        const std::string outPath = m_Root + "/stdout", errPath = m_Root + "/stderr";
        // Built before the fork: the child of a threaded process must not allocate.
        std::vector<char*> argv{const_cast<char*>(DELTAPATCH_BINARY)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            if (fileSizeLimit) {
                ::signal(SIGXFSZ, SIG_IGN);
                const struct rlimit limit = {fileSizeLimit, fileSizeLimit};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ::execv(DELTAPATCH_BINARY, argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        RunResult result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readFile(outPath);
        result.err = readFile(errPath);
        return result;
    }

    // Runs a command that must succeed silently.
    void expectSuccess(const std::vector<std::string>& args) const
    {
        const RunResult result = run(args);
        EXPECT_EQ(result.status, 0) << args[0] << ": " << result.err;
        EXPECT_EQ(result.err, "") << args[0];
    }

protected:
    std::string m_Root;
    std::string m_Work;
};

mode_t expectedNewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

TEST_F(CliTest, PackUnpackRoundTrips)
{
    struct Row {
        std::string name;
        std::string bytes;
        bool plainToo; // an executable is only interesting in the executable-aware mode
    };
    const std::vector<Row> rows = {
        {"empty", "", true},
        {"one byte", "x", true},
        {"text", textSample(5000), true},
        {"random-ish binary", binarySample(300000, 7), true},
        {"this tool's own executable", readFile(DELTAPATCH_BINARY), false},
    };
    for (const Row& row : rows) {
        for (const bool plain : {false, true}) {
            if (plain && !row.plainToo)
                continue;
            SCOPED_TRACE(row.name + (plain ? " --plain" : ""));
            writeFile(at("in"), row.bytes);
            std::vector<std::string> pack{"pack", at("in"), at("packed")};
            if (plain)
                pack.insert(pack.begin() + 1, "--plain");
            expectSuccess(pack);
            expectSuccess({"unpack", at("packed"), at("out")});
            EXPECT_TRUE(readFile(at("out")) == row.bytes);
            struct stat info = {};
            ASSERT_EQ(::stat(at("out").c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, expectedNewFileMode());
            EXPECT_EQ(listDir(m_Work), (std::vector<std::string>{"in", "out", "packed"}));
            ::unlink(at("out").c_str());
        }
    }
}

TEST_F(CliTest, DiffThenBpatchRebuildsNewForEveryMethod)
{
    const std::string text = textSample(3000), binary = binarySample(200000, 3);
    const std::vector<std::tuple<std::string, std::string, std::string>> pairs = {
        {"both empty", "", ""},
        {"empty old", "", text},
        {"empty new", text, ""},
        {"identical", binary, binary},
        {"edited text", text, edited(text)},
        {"edited binary", binary, edited(binary)},
        {"unrelated", textSample(100, 1), binarySample(5000, 9)},
    };
    const std::vector<std::vector<std::string>> methods = {
        {}, {"--method", "none"}, {"--method=sections"}, {"--method", "body"}};
    for (const auto& pair : pairs) {
        writeFile(at("old"), std::get<1>(pair));
        writeFile(at("new"), std::get<2>(pair));
        for (const auto& method : methods) {
            SCOPED_TRACE(std::get<0>(pair) + (method.empty() ? "" : " " + method.back()));
            std::vector<std::string> diff{"diff"};
            diff.insert(diff.end(), method.begin(), method.end());
            diff.insert(diff.end(), {at("old"), at("new"), at("patch")});
            expectSuccess(diff);
            expectSuccess({"bpatch", at("old"), at("patch"), at("out")});
            EXPECT_TRUE(readFile(at("out")) == std::get<2>(pair));
        }
    }
}

// The uncompressed block diff is fully determined by its inputs, so its bytes are stored; the
// hand-made patch holds one triple (copy 0, extra 5, seek 0) and the extra bytes "hello".
TEST_F(CliTest, OutputsMatchStoredFiles)
{
    expectSuccess({"diff", "--method", "none", kFixtures + "old.txt", kFixtures + "new.txt",
                   at("patch")});
    EXPECT_TRUE(readFile(at("patch")) == readFile(kFixtures + "old-new.none.ovdiff"));

    writeFile(at("old"), "whatever the old data");
    expectSuccess({"bpatch", at("old"), kFixtures + "hello.ovdiff", at("out")});
    EXPECT_EQ(readFile(at("out")), "hello");
}

// Existing outputs keep what they are: a symbolic link stays a link to the updated file, a file
// keeps its mode, and a named pipe is written to rather than replaced by a file.
TEST_F(CliTest, ExistingOutputsAreUpdatedInKind)
{
    const std::string text = textSample(3000);
    writeFile(at("in"), text);
    expectSuccess({"pack", at("in"), at("packed")});

    writeFile(at("target"), "old");
    ASSERT_EQ(::symlink("target", at("link").c_str()), 0);
    expectSuccess({"unpack", at("packed"), at("link")});
    struct stat info = {};
    ASSERT_EQ(::lstat(at("link").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_TRUE(readFile(at("target")) == text);

    writeFile(at("program"), "old");
    ASSERT_EQ(::chmod(at("program").c_str(), 0750), 0);
    expectSuccess({"unpack", at("packed"), at("program")});
    ASSERT_EQ(::stat(at("program").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u);

    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = readFile(at("pipe")); });
    expectSuccess({"unpack", at("packed"), at("pipe")});
    reader.join();
    EXPECT_TRUE(received == text);
    ASSERT_EQ(::lstat(at("pipe").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

struct FailureCase {
    std::string name;
    std::function<void(const CliTest&)> setUp;
    std::vector<std::string> args; // file names in the working directory; the last is the output
    std::string message;           // part of the one stderr line
    rlim_t fileSizeLimit = 0;      // bytes a run may write to one file; 0 for no limit
};

class CliFailureTest : public CliTest {
protected:
    std::vector<std::string> inWork(const std::vector<std::string>& args) const
    {
        std::vector<std::string> full{args[0]};
        for (size_t i = 1; i < args.size(); ++i)
            full.push_back(at(args[i]));
        return full;
    }

    // Exit 1, one line "deltapatch: COMMAND: ..." naming the failure, and the directory as it
    // was: no output, no temporary file, an existing output untouched.
    void expectFailure(const FailureCase& row, bool outputExists) const
    {
        const std::string output = at(row.args.back());
        if (outputExists)
            writeFile(output, "keep me");
        const std::vector<std::string> before = listDir(m_Work);
        const RunResult result = run(inWork(row.args), row.fileSizeLimit);
        EXPECT_EQ(result.status, 1);
        const std::vector<std::string> lines = linesOf(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_EQ(lines[0].rfind("deltapatch: " + row.args[0] + ": ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(row.message), std::string::npos) << lines[0];
        EXPECT_EQ(listDir(m_Work), before);
        if (outputExists) {
            EXPECT_EQ(readFile(output), "keep me");
        }
        ::unlink(output.c_str());
    }
};

// Inputs for the failure rows, made with the tool itself so that the rows do not depend on the
// exact bytes it writes: "text", its container "packed", "old", "new" and the patch "patch".
void makeInputs(const CliTest& test)
{
    const std::string text = textSample(2000);
    writeFile(test.at("text"), text);
    writeFile(test.at("old"), text);
    writeFile(test.at("new"), edited(text));
    test.expectSuccess({"pack", test.at("text"), test.at("packed")});
    test.expectSuccess({"diff", test.at("old"), test.at("new"), test.at("patch")});
}

// Writes `to` as `from` passed through `change`.
std::function<void(const CliTest&)> derived(const std::string& from, const std::string& to,
                                            std::string (*change)(std::string))
{
    return [=](const CliTest& test) { writeFile(test.at(to), change(readFile(test.at(from)))); };
}

std::string flipChecksumBit(std::string bytes)
{
    bytes[4] ^= 1; // the checksum varint follows the four magic bytes
    return bytes;
}

std::string firstHalf(std::string bytes) { return bytes.substr(0, bytes.size() / 2); }
std::string withTrailingBytes(std::string bytes) { return bytes + "xyz"; }
std::string otherText(std::string) { return textSample(2000, 5); }
std::string nothing(std::string) { return std::string(); }

void makeHugeSparseFile(const CliTest& test)
{
    writeFile(test.at("huge"), "");
    ASSERT_EQ(::truncate(test.at("huge").c_str(), (4ll << 30) + 1), 0);
}

TEST_F(CliFailureTest, FailsWithOneLineAndLeavesNoOutput)
{
    makeInputs(*this);
    const std::vector<FailureCase> rows = {
        {"pack of a missing file", nullptr, {"pack", "missing", "out"}, "No such file"},
        {"pack of 4 GiB or more", makeHugeSparseFile, {"pack", "huge", "out"}, "too large"},
        {"unpack of a missing file", nullptr, {"unpack", "missing", "out"}, "No such file"},
        {"unpack of an empty file", derived("text", "empty", nothing), {"unpack", "empty", "out"},
         "could not open lzma file"},
        {"unpack of a non-container", nullptr, {"unpack", "text", "out"}, "not lzma file"},
        {"unpack with a wrong checksum", derived("packed", "badcrc", flipChecksumBit),
         {"unpack", "badcrc", "out"}, "crc mismatch"},
        {"unpack of a cut container", derived("packed", "cut", firstHalf),
         {"unpack", "cut", "out"}, "could not decompress file"},
        {"diff of a missing file", nullptr, {"diff", "old", "missing", "out"}, "No such file"},
        {"bpatch with the wrong old file", derived("old", "other", otherText),
         {"bpatch", "other", "patch", "out"}, "crc mismatch"},
        {"bpatch of a non-patch", nullptr, {"bpatch", "old", "text", "out"},
         "Corrupt patch header"},
        {"bpatch of a cut patch", derived("patch", "cutpatch", firstHalf),
         {"bpatch", "old", "cutpatch", "out"}, "cutpatch"},
        {"bpatch with bytes after the patch", derived("patch", "longpatch", withTrailingBytes),
         {"bpatch", "old", "longpatch", "out"}, "unexpected bytes after the patch"},
        {"unpack onto a full disk", nullptr, {"unpack", "packed", "out"},
         "could not write output file", 4096},
        {"bpatch onto a full disk", nullptr, {"bpatch", "old", "patch", "out"}, "cannot write",
         4096},
    };
    for (const FailureCase& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.setUp)
            row.setUp(*this);
        expectFailure(row, false);
        expectFailure(row, true);
    }
}

TEST_F(CliFailureTest, MissingOutputDirectoryFails)
{
    makeInputs(*this);
    expectFailure({"missing directory", nullptr, {"diff", "old", "new", "nodir/out"},
                   "cannot create a temporary file"},
                  false);
}

TEST_F(CliTest, HelpAndUsageErrors)
{
    const std::vector<std::vector<std::string>> helps = {
        {"--help"}, {"pack", "--help"}, {"unpack", "-h"}, {"diff", "a", "--help"}, {"bpatch", "--help"},
        {"gen", "--help"}, {"apply", "-h"}, {"info", "--help"}};
    for (const auto& args : helps) {
        SCOPED_TRACE(args[0]);
        const RunResult result = run(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind("usage: deltapatch", 0), 0u) << result.out;
        EXPECT_EQ(result.err, "");
    }
    const std::vector<std::vector<std::string>> misuses = {
        {},
        {"frobnicate", "a", "b"},
        {"pack", at("in")},
        {"pack", "--fast", at("in"), at("out")},
        {"unpack", at("in"), at("out"), at("extra")},
        {"diff", "--method", "zip", at("old"), at("new"), at("patch")},
        {"diff", at("old"), at("new"), at("patch"), "--method"},
        {"bpatch", "--plain", at("old"), at("patch"), at("out")},
        {"gen", at("old"), at("new")},
        {"apply", "--method", "none", at("old"), at("patch"), at("out")},
        {"info", "--fast", at("a")},
        {"info", at("a"), at("b")},
    };
    for (const auto& args : misuses) {
        SCOPED_TRACE(args.empty() ? "no arguments" : args[0] + " " + args[1]);
        const RunResult result = run(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.rfind("deltapatch: ", 0), 0u) << result.err;
        EXPECT_TRUE(listDir(m_Work).empty());
    }
}

// --- ensemble patches and executables ----------------------------------------------------

// Two versions of a synthetic Mach-O program; version 2 inserts and edits functions.
std::string machoProgram(bool is64, int inserted, int edited)
{
    deltapatch::testing::SyntheticProgram program;
    program.is64 = is64;
    program.inserted = inserted;
    program.edited = edited;
    return deltapatch::testing::BuildSyntheticProgram(program);
}

std::string noise(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

TEST_F(CliTest, GenThenApplyRebuildsNew)
{
    const std::string text = textSample(3000), binary = binarySample(200000, 3);
    const std::vector<std::tuple<std::string, std::string, std::string>> pairs = {
        {"both empty", "", ""},
        {"empty old", "", text},
        {"empty new", text, ""},
        {"edited text", text, edited(text)},
        {"edited binary", binary, edited(binary)},
        {"Mach-O program", machoProgram(true, 0, 0), machoProgram(true, 3, 6)},
        {"universal file",
         deltapatch::testing::BuildUniversal({machoProgram(true, 0, 0), machoProgram(false, 0, 0)}),
         deltapatch::testing::BuildUniversal({machoProgram(true, 2, 2), machoProgram(false, 1, 3)})},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(std::get<0>(pair));
        writeFile(at("old"), std::get<1>(pair));
        writeFile(at("new"), std::get<2>(pair));
        expectSuccess({"gen", at("old"), at("new"), at("patch")});
        expectSuccess({"apply", at("old"), at("patch"), at("out")});
        EXPECT_TRUE(readFile(at("out")) == std::get<2>(pair));
        EXPECT_EQ(listDir(m_Work), (std::vector<std::string>{"new", "old", "out", "patch"}));
        ::unlink(at("out").c_str());
    }
}

// The patch is applied into a named pipe that stays a pipe, as with unpack.
TEST_F(CliTest, ApplyWritesIntoAPipe)
{
    const std::string text = textSample(3000);
    writeFile(at("old"), text);
    writeFile(at("new"), edited(text));
    expectSuccess({"gen", at("old"), at("new"), at("patch")});
    ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = readFile(at("pipe")); });
    expectSuccess({"apply", at("old"), at("patch"), at("pipe")});
    reader.join();
    EXPECT_TRUE(received == edited(text));
    struct stat info = {};
    ASSERT_EQ(::lstat(at("pipe").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(CliTest, InfoNamesTheExecutablesFound)
{
    const std::string program64 = machoProgram(true, 0, 0), program32 = machoProgram(false, 0, 0);
    const size_t secondSlice = 0x1000 + ((program64.size() + 0xFFF) & ~size_t(0xFFF));
    const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
        {"text", textSample(100), "UNKNOWN\n"},
        {"empty", "", "UNKNOWN\n"},
        {"x86-64 program", program64, "MACHO_X64 " + std::to_string(program64.size()) + " at 0\n"},
        {"universal file", deltapatch::testing::BuildUniversal({program64, program32}),
         "MACHO_X64 " + std::to_string(program64.size()) + " at 4096\nMACHO_X86 " +
             std::to_string(program32.size()) + " at " + std::to_string(secondSlice) + "\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::get<0>(row));
        writeFile(at("file"), std::get<1>(row));
        const RunResult result = run({"info", at("file")});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, std::get<2>(row));
        EXPECT_EQ(result.err, "");
    }
}

// The container's third varint is its directive: 2 for the executable-aware form.
TEST_F(CliTest, PackUsesTheExecutableAwareFormForExecutables)
{
    const std::vector<std::tuple<std::string, std::string, int>> rows = {
        {"x86-64 program", machoProgram(true, 1, 1), 2},
        {"universal file",
         deltapatch::testing::BuildUniversal({machoProgram(true, 0, 0), machoProgram(false, 0, 0)}), 2},
        {"text", textSample(2000), 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::get<0>(row));
        writeFile(at("in"), std::get<1>(row));
        expectSuccess({"pack", at("in"), at("packed")});
        const std::string packed = readFile(at("packed"));
        size_t pos = 0;
        int varints = 0;
        while (varints < 2 && pos < packed.size())
            varints += (static_cast<uint8_t>(packed[pos++]) & 0x80) == 0;
        ASSERT_LT(pos, packed.size());
        EXPECT_EQ(static_cast<uint8_t>(packed[pos]), std::get<2>(row));
        expectSuccess({"unpack", at("packed"), at("out")});
        EXPECT_TRUE(readFile(at("out")) == std::get<1>(row));
    }
}

// Inputs for the ensemble failure rows: "old", "new", their patch "patch", incompressible
// "noise" and the patch from "old" to it, "noisepatch", which rebuilds more than 4 KiB.
void makeEnsembleInputs(const CliTest& test)
{
    const std::string text = textSample(2000);
    writeFile(test.at("old"), text);
    writeFile(test.at("new"), edited(text));
    writeFile(test.at("noise"), noise(20000, 4));
    test.expectSuccess({"gen", test.at("old"), test.at("new"), test.at("patch")});
    test.expectSuccess({"gen", test.at("old"), test.at("noise"), test.at("noisepatch")});
}

TEST_F(CliFailureTest, EnsembleCommandsFailWithOneLineAndLeaveNoOutput)
{
    makeEnsembleInputs(*this);
    const std::vector<FailureCase> rows = {
        {"gen of a missing file", nullptr, {"gen", "old", "missing", "out"}, "No such file"},
        {"gen onto a full disk", nullptr, {"gen", "old", "noise", "out"}, "cannot write", 4096},
        {"apply with the wrong old file", derived("old", "other", otherText),
         {"apply", "other", "patch", "out"}, "status 8 (STATUS_BAD_CRC)"},
        {"apply of a non-patch", nullptr, {"apply", "old", "new", "out"}, "status 5 (STATUS_BAD_MAGIC)"},
        {"apply of a missing patch", nullptr, {"apply", "old", "missing", "out"},
         "status 3 (STATUS_PATCH_OPEN_FAILED)"},
        {"apply to a missing old file", nullptr, {"apply", "missing", "patch", "out"},
         "status 4 (STATUS_FILE_IO_FAILED)"},
        {"apply of a cut patch", derived("patch", "cutpatch", firstHalf),
         {"apply", "old", "cutpatch", "out"}, "status 20 (STATUS_STREAM_ERROR)"},
        {"apply onto a full disk", nullptr, {"apply", "old", "noisepatch", "out"},
         "status 4 (STATUS_FILE_IO_FAILED)", 4096},
    };
    for (const FailureCase& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.setUp)
            row.setUp(*this);
        expectFailure(row, false);
        expectFailure(row, true);
    }
    const RunResult result = run({"info", at("missing")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("deltapatch: info: cannot open", 0), 0u) << result.err;
}

} // namespace
