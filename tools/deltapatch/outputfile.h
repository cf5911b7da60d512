// An output written beside its final path under a temporary name and renamed into place only on
// success, so that a failed or interrupted run never leaves a partial file at the final path.
// Outputs that are not regular files (a device, a pipe) are written in place instead: renaming
// over them would replace the device or pipe with a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cli {

class OutputFile {
public:
    explicit OutputFile(std::string path) : m_Path(std::move(path)) {}
    // Removes the temporary file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates an empty temporary file in the final path's directory (for a symbolic link, in its
    // target's). The file is also removed when the process exits or is ended by SIGINT, SIGTERM
    // or SIGHUP before commit(). An existing output that is a device or pipe is opened instead.
    bool create();
    // The file to write, for writers that take a path; valid after create().
    const std::string& tempPath() const { return m_TempPath; }
    // Appends all bytes to the temporary file.
    bool write(const uint8_t* data, size_t length);
    // Gives the temporary file the mode of the file it replaces (or 0666 less the umask for a new
    // file) and renames it over the final path. On failure the temporary file is removed.
    bool commit();
    void discard();
    // One-line reason of the last failure.
    const std::string& error() const { return m_Error; }

private:
    bool fail(const std::string& what);
    bool resolveTarget();
    bool openInPlace();
    bool createTemporary();

    std::string m_Path;
    std::string m_TempPath;
    std::string m_Error;
    int m_Fd = -1;
    bool m_InPlace = false;
    unsigned m_Mode = 0;
};

} // namespace cli
