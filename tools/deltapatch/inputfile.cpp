// Opening input files with a reason for every refusal.
#include "inputfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

bool statInput(const std::string& path, uint64_t* size, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info = {};
    const bool statted = ::fstat(fd, &info) == 0;
    const int statErrno = errno;
    ::close(fd);
    if (!statted) {
        *error = "cannot open " + path + ": " + std::strerror(statErrno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "cannot read " + path + ": not a regular file";
        return false;
    }
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool InputFile::open(const std::string& path)
{
    m_Map.close();
    m_Length = 0;
    uint64_t size = 0;
    if (!statInput(path, &size, &m_Error))
        return false;
    if (size == 0)
        return true;
    if (!m_Map.open(path.c_str())) {
        m_Error = "cannot map " + path;
        return false;
    }
    m_Length = m_Map.length();
    return true;
}

deltapatch::ByteSource InputFile::source() const
{
    if (!m_Map.valid())
        return deltapatch::ByteSource();
    return deltapatch::ByteSource(m_Map.data(), m_Map.length());
}

} // namespace cli
