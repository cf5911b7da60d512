// Ensemble patches on files: maps the patch and the old file, applies, and puts the new file in
// place only when it has been written completely.
#include "deltapatch/ensemble.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "deltapatch/mappedfile.h"

namespace deltapatch {

namespace {

// Attempts at a free temporary name before giving up; only a crowded directory gets near it.
constexpr int kTemporaryNameAttempts = 100;

// Creates a new file beside `path` (same directory, so that a rename can replace `path`) and
// returns its descriptor, or -1. Mode 0666 under the umask, as a plain "wb" open would give.
int CreateTemporaryBeside(const char* path, std::string* temporary)
{
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        *temporary = std::string(path) + ".part-" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1));
        const int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool WriteAll(int fd, const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Writes the whole buffer under a temporary name and renames it over `path`, so that a full
// disk or a failed write never leaves a truncated file under the final name.
bool ReplaceFile(const char* path, const uint8_t* data, size_t length)
{
    if (path == nullptr || *path == '\0')
        return false;
    std::string temporary;
    const int fd = CreateTemporaryBeside(path, &temporary);
    if (fd < 0)
        return false;
    const bool written = WriteAll(fd, data, length);
    const bool closed = ::close(fd) == 0;
    if (written && closed && std::rename(temporary.c_str(), path) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
}

// MADV_DONTNEED on a shared read-only file mapping drops only the process's references: the
// pages stay in the page cache, clean and reclaimable, and come back from there when read.
void DropPages(const MappedFile& file)
{
    ::madvise(const_cast<uint8_t*>(file.data()), file.length(), MADV_DONTNEED);
}

} // namespace

PatchStatus ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath,
                                    const char* newPath)
{
    MappedFile patchFile;
    if (!patchFile.open(patchPath))
        return STATUS_PATCH_OPEN_FAILED;
    const ByteSource patch(patchFile.data(), patchFile.length());
    // The header is checked before the old file is touched: a file that is no patch at all
    // should say so, whatever state the old file is in.
    ByteSource header = patch;
    EnsemblePatchHeader fields;
    PatchStatus status = ReadEnsembleHeader(&header, &fields);
    if (status != STATUS_OK)
        return status;
    MappedFile oldFile;
    if (!oldFile.open(oldPath))
        return STATUS_FILE_IO_FAILED;
    ByteSink output;
    status = ApplyEnsemblePatch(ByteSource(oldFile.data(), oldFile.length()), patch, &output,
                                [&oldFile] { DropPages(oldFile); });
    if (status != STATUS_OK)
        return status;
    if (!ReplaceFile(newPath, output.data(), output.length()))
        return STATUS_FILE_IO_FAILED;
    return STATUS_OK;
}

} // namespace deltapatch
