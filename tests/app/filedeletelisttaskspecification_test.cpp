// The deletion list: one tolerant deletion per entry below the installation directory, in list order.
#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "filedeletetaskspecification.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using T = TaskSpecification;

QStringList *debugLines = nullptr;

void collectDebug(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (debugLines)
        debugLines->append(text);
}

class FileDeleteList : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Tmp.isValid());
        m_Install = m_Tmp.path() + "/Contents/";
        for (const char *file : {"gone.txt", "full/f", "tree/a/b", "keep.txt"})
            write(m_Install + file);
        write(m_Tmp.path() + "/outside");
        m_Config.m_InstallDir = m_Install;
    }

    static void write(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    QStringList run(FileDeleteListTaskSpecification &task)
    {
        QSignalSpy messages(&task, &T::message);
        QSignalSpy finished(&task, &T::finished);
        task.execute();
        runPendingEvents();
        EXPECT_EQ(finished.size(), 1);
        QStringList out;
        for (const QList<QVariant> &args : messages)
            out << args.at(0).toString();
        return out;
    }

    QTemporaryDir m_Tmp;
    QString m_Install;
    Configuration m_Config;
};

TEST_F(FileDeleteList, DeletesInOrderToleratesFailuresAndAlwaysFinishes)
{
    QList<DeleteData> entries;
    FileDeleteListTaskSpecification task(&entries, &m_Config, nullptr, 1.0);
    // Read at execute(), not at construction.
    entries = {{"gone.txt", false}, {"missing", false}, {"full", false}, {"tree", true}};

    QStringList debug;
    debugLines = &debug;
    const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
    const QStringList messages = run(task);
    qInstallMessageHandler(previous);
    debugLines = nullptr;

    const QString base = m_Tmp.path() + "/Contents/";
    EXPECT_EQ(messages, (QStringList{"Starting deleting files", "Deleted file '" + base + "gone.txt'",
                                     "Recursively deleted directory '" + base + "tree'"}));
    EXPECT_TRUE(debug.contains("Deleted file \"" + base + "missing\" false"));
    EXPECT_FALSE(QFileInfo::exists(base + "gone.txt"));
    EXPECT_FALSE(QFileInfo::exists(base + "tree"));
    EXPECT_TRUE(QFileInfo::exists(base + "full/f"));
    const QList<FileDeleteTaskSpecification *> subtasks = task.findChildren<FileDeleteTaskSpecification *>();
    ASSERT_EQ(subtasks.size(), 4);
    for (const FileDeleteTaskSpecification *subtask : subtasks)
        EXPECT_DOUBLE_EQ(subtask->weight(), 0.25);
}

TEST_F(FileDeleteList, RunsAgainFromTheCurrentListAfterAReset)
{
    QList<DeleteData> entries = {{"gone.txt", false}};
    FileDeleteListTaskSpecification task(&entries, &m_Config, nullptr, 1.0);
    run(task);
    task.reset();
    EXPECT_EQ(task.taskState(), T::TASK_IDLE);
    entries = {{"keep.txt", false}};
    run(task);
    EXPECT_FALSE(QFileInfo::exists(m_Install + "keep.txt"));

    entries.clear();
    task.reset();
    run(task);
}

TEST_F(FileDeleteList, EntriesOutsideTheInstallationDirectoryAreSkipped)
{
    const QList<DeleteData> entries = {
        {"../outside", false}, {"full/../../outside", false}, {".", true}, {"", true},
        {m_Tmp.path() + "/outside", false}, {"keep.txt", false}};
    FileDeleteListTaskSpecification task(&entries, &m_Config, nullptr, 1.0);
    const QStringList messages = run(task);
    for (const DeleteData &entry : entries.mid(0, 5))
        EXPECT_TRUE(messages.contains("Not deleting '" + entry.path +
                                      "' because it lies outside the installation directory"))
            << entry.path.toStdString();
    EXPECT_TRUE(QFileInfo::exists(m_Tmp.path() + "/outside"));
    EXPECT_TRUE(QFileInfo::exists(m_Install + "full/f"));
    EXPECT_FALSE(QFileInfo::exists(m_Install + "keep.txt"));
}

} // namespace
