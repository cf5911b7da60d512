// The optional log file in the temporary directory and the Qt message handler that feeds it.
#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <memory>

class LogFile
{
public:
    // The process-wide log file, set up on the first call: logging is on only if the marker
    // "ov3_update_log" exists in the system temp dir at that moment. Call it first from main,
    // before any other thread exists.
    static LogFile& instance();

    bool isEnabled() const { return m_Enabled; }
    // Full name of the open log file, or "" when nothing is written.
    QString fileName() const;
    // Writes one complete line and flushes it; lines of different threads never interleave.
    void writeLine(const QByteArray& line);
    // Flushes and closes the file; later lines are dropped.
    void close();

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

private:
    LogFile();
    void openFile();

    bool m_Enabled = false;
    std::unique_ptr<QFile> m_File;
    QString m_FileName;
    QMutex m_Mutex;
};

// Qt message handler: writes "<time>\t|\t<Type>\t|\t<message>" to the log file when logging is
// on, and nothing anywhere otherwise. A fatal message aborts after it has been written.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);
