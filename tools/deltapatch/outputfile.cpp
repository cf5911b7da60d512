// Temporary-file-and-rename output with removal of the temporary file on every way out.
#include "outputfile.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

// The one pending temporary file of the process, kept where a signal handler may read it.
char g_PendingPath[4096];
volatile sig_atomic_t g_HasPending = 0;

void removePending()
{
    if (g_HasPending) {
        g_HasPending = 0;
        ::unlink(g_PendingPath);
    }
}

void onFatalSignal(int signal)
{
    removePending();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void installCleanup()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    std::atexit(removePending);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        action.sa_handler = onFatalSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t newFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

OutputFile::~OutputFile() { discard(); }

bool OutputFile::fail(const std::string& what)
{
    m_Error = what + ": " + std::strerror(errno);
    discard();
    return false;
}

bool OutputFile::create()
{
    discard();
    if (!resolveTarget())
        return false;
    return m_InPlace ? openInPlace() : createTemporary();
}

// Decides where the bytes go: through a symbolic link to its target, in place for a device or
// pipe, and with which mode the finished file is left.
bool OutputFile::resolveTarget()
{
    m_InPlace = false;
    m_Mode = newFileMode();
    struct stat target = {};
    if (::stat(m_Path.c_str(), &target) != 0) {
        struct stat link = {};
        if (errno == ENOENT && ::lstat(m_Path.c_str(), &link) == 0) {
            errno = ENOENT;
            return fail("cannot write " + m_Path + " (a symbolic link to a missing file)");
        }
        return errno == ENOENT ? true : fail("cannot write " + m_Path);
    }
    if (S_ISDIR(target.st_mode)) {
        errno = EISDIR;
        return fail("cannot write " + m_Path);
    }
    m_InPlace = !S_ISREG(target.st_mode);
    m_Mode = target.st_mode & 0777;
    char* resolved = m_InPlace ? nullptr : ::realpath(m_Path.c_str(), nullptr);
    if (resolved) {
        m_Path = resolved;
        std::free(resolved);
    }
    return true;
}

bool OutputFile::openInPlace()
{
    m_Fd = ::open(m_Path.c_str(), O_WRONLY | O_CLOEXEC);
    if (m_Fd < 0)
        return fail("cannot write " + m_Path);
    m_TempPath = m_Path;
    return true;
}

bool OutputFile::createTemporary()
{
    const std::string directory = directoryOf(m_Path);
    std::string pattern = directory + "/." + baseNameOf(m_Path) + ".XXXXXX";
    if (pattern.size() >= sizeof(g_PendingPath)) {
        errno = ENAMETOOLONG;
        return fail("cannot create a temporary file for " + m_Path);
    }
    installCleanup();
    m_Fd = ::mkstemp(&pattern[0]);
    if (m_Fd < 0)
        return fail("cannot create a temporary file in " + directory);
    m_TempPath = pattern;
    std::memcpy(g_PendingPath, pattern.c_str(), pattern.size() + 1);
    g_HasPending = 1;
    return true;
}

bool OutputFile::write(const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(m_Fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return fail("cannot write " + m_Path);
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool OutputFile::commit()
{
    if (m_Fd < 0) {
        errno = EBADF;
        return fail("cannot write " + m_Path);
    }
    if (!m_InPlace) {
        if (::fchmod(m_Fd, m_Mode) != 0)
            return fail("cannot write " + m_Path);
        if (::rename(m_TempPath.c_str(), m_Path.c_str()) != 0)
            return fail("cannot create " + m_Path);
        g_HasPending = 0;
    }
    ::close(m_Fd);
    m_Fd = -1;
    m_TempPath.clear();
    return true;
}

void OutputFile::discard()
{
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
    if (!m_TempPath.empty() && !m_InPlace) {
        g_HasPending = 0;
        ::unlink(m_TempPath.c_str());
    }
    m_TempPath.clear();
}

} // namespace cli
