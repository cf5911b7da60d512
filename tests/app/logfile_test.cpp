// LogFile and messageHandler. The log file is decided once per process, so every case runs its
// logging in a forked child with its own TMPDIR and inspects the result from the parent.
#include "logfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// Runs body in a child process whose TMPDIR is tmp, with the handler installed; returns its status.
int runLoggingChild(const QString& tmp, const std::function<void()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        qputenv("TMPDIR", QFile::encodeName(tmp));
        LogFile::instance();
        qInstallMessageHandler(messageHandler);
        body();
        ::_exit(0);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return status;
}

QStringList logFiles(const QString& tmp)
{
    return QDir(tmp + "/orvane_update_log").entryList(QDir::Files | QDir::System);
}

QList<QByteArray> logLines(const QString& tmp)
{
    const QStringList files = logFiles(tmp);
    if (files.size() != 1)
        return {};
    QFile file(tmp + "/orvane_update_log/" + files.first());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

const QRegularExpression
    linePattern("^\\d{4}-\\d\\d-\\d\\d "
                "\\d\\d:\\d\\d:\\d\\d:\\d{3}\\t\\|\\t(Debug|Info|Warning|Critical)\\t\\|\\t");

class LogFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Root.isValid());
        m_Tmp = m_Root.path() + "/tmp é ü";
        ASSERT_TRUE(QDir().mkpath(m_Tmp));
    }
    void makeMarker(bool asDirectory)
    {
        const QString marker = m_Tmp + "/ov3_update_log";
        ASSERT_TRUE(asDirectory ? QDir().mkdir(marker) : QFile(marker).open(QIODevice::WriteOnly));
    }

    QTemporaryDir m_Root{QDir::tempPath() + "/ov3 log XXXXXX"};
    QString m_Tmp;
};

TEST_F(LogFileTest, WithoutMarkerNothingIsCreated)
{
    const int status = runLoggingChild(m_Tmp, [] {
        qDebug() << "Orvane updater started";
        qWarning() << "a warning";
        if (LogFile::instance().isEnabled())
            ::_exit(3);
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(QDir(m_Tmp).isEmpty());
}

TEST_F(LogFileTest, MarkerFileOrDirectoryEnablesTheLog)
{
    const QString nonAscii = QString::fromUtf8("Pfad /Üser/é");
    for (bool asDirectory : {false, true}) {
        SCOPED_TRACE(asDirectory ? "directory marker" : "file marker");
        QDir(m_Tmp).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(m_Tmp));
        makeMarker(asDirectory);
        EXPECT_EQ(runLoggingChild(m_Tmp,
                                  [&] {
                                      qDebug().noquote() << "Orvane updater started";
                                      qInfo().noquote() << "info";
                                      qWarning().noquote() << nonAscii;
                                      qCritical().noquote() << "two\nlines";
                                  }),
                  0);

        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(m_Tmp + "/orvane_update_log").constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        const QStringList files = logFiles(m_Tmp);
        ASSERT_EQ(files.size(), 1);
        EXPECT_TRUE(QRegularExpression("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$")
                        .match(files.first())
                        .hasMatch())
            << files.first().toStdString();

        const QList<QByteArray> lines = logLines(m_Tmp);
        ASSERT_EQ(lines.size(), 5);
        const char* const tags[] = {"Debug", "Info", "Warning", "Critical", "Critical"};
        const QByteArray texts[] = {"Orvane updater started", "info", nonAscii.toLocal8Bit(), "two",
                                    "lines"};
        for (int i = 0; i < 4; ++i) {
            const QRegularExpressionMatch match = linePattern.match(QString::fromLatin1(lines[i]));
            ASSERT_TRUE(match.hasMatch()) << lines[i].constData();
            EXPECT_EQ(match.captured(1), tags[i]);
            EXPECT_EQ(lines[i].mid(match.capturedLength()), texts[i]);
        }
        EXPECT_EQ(lines[4], texts[4]); // multi-line messages are written as they are
    }
}

TEST_F(LogFileTest, LinesOfThreadsNeverInterleave)
{
    makeMarker(false);
    const int threads = 4, perThread = 400;
    const QByteArray payload(300, 'x');
    EXPECT_EQ(runLoggingChild(m_Tmp,
                              [&] {
                                  std::vector<std::thread> workers;
                                  for (int t = 0; t < threads; ++t)
                                      workers.emplace_back([&, t] {
                                          for (int i = 0; i < perThread; ++i)
                                              qDebug("thread %d line %d %s", t, i,
                                                     payload.constData());
                                      });
                                  for (std::thread& worker : workers)
                                      worker.join();
                              }),
              0);

    const QList<QByteArray> lines = logLines(m_Tmp);
    ASSERT_EQ(lines.size(), threads * perThread);
    const QRegularExpression whole(linePattern.pattern() + "thread (\\d) line (\\d+) x{300}$");
    QSet<QString> seen;
    for (const QByteArray& line : lines) {
        const QRegularExpressionMatch match = whole.match(QString::fromLatin1(line));
        ASSERT_TRUE(match.hasMatch()) << line.constData();
        seen.insert(match.captured(2) + "/" + match.captured(3));
    }
    EXPECT_EQ(seen.size(), threads * perThread);
}

TEST_F(LogFileTest, PlantedLogDirectoryIsNotUsed)
{
    const QString elsewhere = m_Root.path() + "/elsewhere";
    ASSERT_TRUE(QDir().mkdir(elsewhere));
    const QString logDir = m_Tmp + "/orvane_update_log";
    const struct {
        const char* name;
        std::function<bool()> plant;
        QString mustNotExist;
    } rows[] = {
        {"linkToOurDirectory", [&] { return QFile::link(elsewhere, logDir); }, QString()},
        {"danglingLink", [&] { return QFile::link(elsewhere + "/made", logDir); },
         elsewhere + "/made"},
        {"regularFile", [&] { return QFile(logDir).open(QIODevice::WriteOnly); }, QString()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(m_Tmp).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(m_Tmp));
        makeMarker(false);
        ASSERT_TRUE(row.plant());
        EXPECT_EQ(runLoggingChild(m_Tmp,
                                  [] {
                                      qDebug() << "secret";
                                      if (!LogFile::instance().fileName().isEmpty())
                                          ::_exit(3);
                                  }),
                  0);
        EXPECT_TRUE(QDir(elsewhere).isEmpty());
        if (!row.mustNotExist.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(row.mustNotExist));
        }
    }
}

} // namespace
