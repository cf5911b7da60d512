// Writes every Qt message to a time-stamped file when the user asked for a log.
#include "logfile.h"

#include <QDateTime>
#include <QDir>
#include <QMutexLocker>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The log directory lies in a temporary directory that other users may share: it must be a real
// directory of our own, so that no planted link or directory can receive or redirect the log.
bool ensureOwnDirectory(QByteArray dir)
{
    // With a trailing slash lstat would follow a link.
    while (dir.size() > 1 && dir.endsWith('/'))
        dir.chop(1);
    ::mkdir(dir.constData(), 0700);
    struct stat st;
    return ::lstat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

QString logFileName()
{
    QString stamp = QDateTime::currentDateTime().toString(Qt::ISODate);
    stamp.replace(":", "_");
    stamp.replace("T", "__");
    return "update__" + stamp + ".log";
}

const char* typeTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "\t|\tDebug\t|\t";
    case QtInfoMsg:
        return "\t|\tInfo\t|\t";
    case QtWarningMsg:
        return "\t|\tWarning\t|\t";
    case QtCriticalMsg:
        return "\t|\tCritical\t|\t";
    case QtFatalMsg:
        break;
    }
    return "\t|\tFatal\t|\t";
}

} // namespace

LogFile& LogFile::instance()
{
    static LogFile logFile;
    return logFile;
}

LogFile::LogFile() : m_Enabled(QFile::exists(QDir::tempPath() + "/ov3_update_log"))
{
    if (m_Enabled)
        openFile();
}

void LogFile::openFile()
{
    const QString sep = QDir::separator();
    const QString dir =
        QDir::toNativeSeparators(QDir::tempPath() + sep + "orvane_update_log" + sep);
    if (!ensureOwnDirectory(QFile::encodeName(dir)))
        return;
    const QByteArray path = QFile::encodeName(dir + logFileName());
    const int fd =
        ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return;
    }
    m_File = std::move(file);
    m_FileName = QFile::decodeName(path);
}

QString LogFile::fileName() const
{
    return m_FileName;
}

void LogFile::writeLine(const QByteArray& line)
{
    QMutexLocker lock(&m_Mutex);
    if (!m_File || !m_File->isOpen())
        return;
    m_File->write(line);
    m_File->flush();
}

void LogFile::close()
{
    QMutexLocker lock(&m_Mutex);
    if (m_File && m_File->isOpen()) {
        m_File->flush();
        m_File->close();
    }
}

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    LogFile& log = LogFile::instance();
    if (!log.isEnabled())
        return;
    QByteArray line =
        QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss:zzz").toLocal8Bit();
    line += typeTag(type);
    line += msg.toLocal8Bit();
    line += '\n';
    log.writeLine(line);
    if (type == QtFatalMsg)
        abort();
}
