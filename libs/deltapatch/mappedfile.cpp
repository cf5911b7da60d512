// Read-only shared memory mapping of a whole file.
#include "deltapatch/mappedfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace deltapatch {

namespace {

int adviceFor(int hint)
{
    switch (hint) {
    case MappedFile::HINT_SEQUENTIAL:
        return MADV_SEQUENTIAL;
    case MappedFile::HINT_RANDOM:
        return MADV_RANDOM;
    default:
        return MADV_NORMAL;
    }
}

} // namespace

bool MappedFile::open(const char* path, int hint)
{
    close();
    if (path == nullptr)
        return false;
    // Non-blocking so that a FIFO given by mistake cannot stall the open.
    m_Fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_Fd < 0)
        return false;
    struct stat info {};
    if (::fstat(m_Fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        static_cast<uintmax_t>(info.st_size) > SIZE_MAX) {
        close();
        return false;
    }
    const size_t length = static_cast<size_t>(info.st_size);
    void* address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, m_Fd, 0);
    if (address == MAP_FAILED) {
        close();
        return false;
    }
    m_Hint = hint;
    m_Length = length;
    m_Data = static_cast<const uint8_t*>(address);
    if (::madvise(address, length, adviceFor(hint)) != 0) {
        close();
        return false;
    }
    return true;
}

void MappedFile::close()
{
    if (m_Data != nullptr)
        ::munmap(const_cast<uint8_t*>(m_Data), m_Length);
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Data = nullptr;
    m_Length = 0;
    m_Fd = -1;
    m_Hint = HINT_NORMAL;
}

uint8_t MappedFile::at(size_t index) const
{
    if (m_Data == nullptr)
        throw std::invalid_argument("No view mapped");
    if (index >= m_Length)
        throw std::out_of_range("View is not large enough");
    return m_Data[index];
}

} // namespace deltapatch
