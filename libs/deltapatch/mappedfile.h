// Read-only memory mapping of a whole file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deltapatch {

class MappedFile {
public:
    enum Hint { HINT_NORMAL = 0, HINT_SEQUENTIAL = 1, HINT_RANDOM = 2 };

    MappedFile() = default;
    ~MappedFile() { close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the whole file; false when it cannot be opened, stat-ed or mapped (a zero-length
    // file cannot be mapped).
    bool open(const char* path, int hint = HINT_NORMAL);
    void close();
    bool valid() const { return m_Data != nullptr; }
    const uint8_t* data() const { return m_Data; }
    size_t length() const { return m_Length; }

    // Throws std::invalid_argument("No view mapped") or std::out_of_range("View is not large
    // enough"); the engine itself never uses it.
    uint8_t at(size_t index) const;
    uint8_t operator[](size_t index) const { return m_Data[index]; }

private:
    size_t m_Length = 0;
    int m_Hint = HINT_NORMAL;
    int m_Fd = -1;
    const uint8_t* m_Data = nullptr;
};

} // namespace deltapatch
