// Test environment of the network and integrity classes: a private TMPDIR and OV3_CONFIG_DIR per
// case, a test HTTP server, and the update base URL pointed at that server.
#pragma once

#include "configuration.h"
#include "testhttpserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

class NetworkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_SavedTmpDir = qgetenv("TMPDIR");
        m_SavedConfigDir = qgetenv("OV3_CONFIG_DIR");
        ASSERT_TRUE(m_Root.isValid());
        m_Tmp = m_Root.filePath("tmp");
        m_ConfigDir = m_Root.filePath("config");
        ASSERT_TRUE(QDir().mkpath(m_Tmp) && QDir().mkpath(m_ConfigDir));
        qputenv("TMPDIR", QFile::encodeName(m_Tmp));
        qputenv("OV3_CONFIG_DIR", QFile::encodeName(m_ConfigDir));
        ASSERT_TRUE(m_Server.listen());
        pointBaseUrlAt(m_Server.baseUrl());
    }

    void TearDown() override
    {
        restore("TMPDIR", m_SavedTmpDir);
        restore("OV3_CONFIG_DIR", m_SavedConfigDir);
    }

    static void restore(const char *name, const QByteArray &value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }

    // Makes updateBaseUrl() return url, the way an installation selects its alpha channel.
    void pointBaseUrlAt(const QString &url)
    {
        QFile ini(m_ConfigDir + "/update.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write("[Channel]\nalpha=" + url.toUtf8() + "\n");
        ini.close();
        Configuration().getUpdateChannel();
        ASSERT_EQ(updateBaseUrl(), url);
    }

    // Runs the event loop until done() holds; the limit only guards against a hang.
    static bool waitUntil(const std::function<bool()> &done)
    {
        QDeadlineTimer deadline(60000);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        }
        return true;
    }

    QString path(const QString &name) const { return m_Root.filePath(name); }

    QByteArray m_SavedTmpDir;
    QByteArray m_SavedConfigDir;
    QTemporaryDir m_Root;
    QString m_Tmp;
    QString m_ConfigDir;
    TestHttpServer m_Server;
};
