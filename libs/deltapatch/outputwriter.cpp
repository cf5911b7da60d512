// Writes a finished result buffer to its file in one go.
#include "deltapatch/outputwriter.h"

#include <sys/stat.h>

#include <cstdio>

namespace deltapatch {

namespace {

// Only a plain file we just truncated is ours to remove; a device or a link named as the
// output (possible when running privileged) must survive a failed write.
void RemovePartialFile(const char* path)
{
    struct stat info {};
    if (::lstat(path, &info) == 0 && S_ISREG(info.st_mode))
        std::remove(path);
}

} // namespace

bool WriteOutputFile(const char* path, const uint8_t* data, size_t length)
{
    if (path == nullptr)
        return false;
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    const bool written = length == 0 || std::fwrite(data, 1, length, file) == length;
    // A full disk may only show when the buffered tail is flushed on close.
    const bool closed = std::fclose(file) == 0;
    if (written && closed)
        return true;
    RemovePartialFile(path);
    return false;
}

} // namespace deltapatch
