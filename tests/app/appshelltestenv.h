// Test environment of the application shell: private TMPDIR and OV3_CONFIG_DIR per case, and
// exclusive use of the updater directory (the test binary's own bundle layout).
#pragma once

#include "configuration.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

inline void ensureApplication()
{
    static int argc = 1;
    static char name[] = "appshell_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv);
    }
}

inline QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeBytes(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Polls for a file that a detached child writes; the generous limit only guards against hanging.
inline bool waitForFile(const QString& path)
{
    QDeadlineTimer deadline(30000);
    while (!QFile::exists(path)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

class AppShellTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override
    {
        m_SavedTmp = qgetenv("TMPDIR");
        m_SavedConfig = qgetenv("OV3_CONFIG_DIR");
        m_SavedData = qgetenv("XDG_DATA_HOME");
        m_Root = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/ov3 shell ü XXXXXX");
        ASSERT_TRUE(m_Root->isValid());
        m_Tmp = m_Root->path() + "/tmp dir é";
        m_Config = m_Root->path() + "/config ö";
        ASSERT_TRUE(QDir().mkpath(m_Tmp) && QDir().mkpath(m_Config));
        qputenv("TMPDIR", QFile::encodeName(m_Tmp));
        qputenv("OV3_CONFIG_DIR", QFile::encodeName(m_Config + "/"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_Root->path() + "/data"));
        lockUpdaterDir();
    }

    void TearDown() override
    {
        QFile::remove(installIni());
        if (m_LockFd >= 0)
            ::close(m_LockFd);
        restore("TMPDIR", m_SavedTmp);
        restore("OV3_CONFIG_DIR", m_SavedConfig);
        restore("XDG_DATA_HOME", m_SavedData);
    }

    // update.ini next to the updater (here: next to this test binary's bundle directories).
    static QString installIni() { return QDir(updaterDir()).absoluteFilePath("update.ini"); }
    QString configIni() const { return m_Config + "/update.ini"; }

    std::unique_ptr<QTemporaryDir> m_Root;
    QString m_Tmp;
    QString m_Config;

private:
    // Cases of this binary may run in parallel processes and share the updater directory.
    void lockUpdaterDir()
    {
        const QByteArray lockPath = QFile::encodeName(updaterDir() + "appshell_test.lock");
        m_LockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(m_LockFd, 0);
        ASSERT_EQ(::flock(m_LockFd, LOCK_EX), 0);
        QFile::remove(installIni());
    }

    static void restore(const char* name, const QByteArray& value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }

    QByteArray m_SavedTmp, m_SavedConfig, m_SavedData;
    int m_LockFd = -1;
};
