// File operation tasks: directory creation, copy, rename and deletion, with their journal entries and messages.
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "rollbackdata.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>

#include <gtest/gtest.h>

namespace {

using T = TaskSpecification;

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

QStringList journalPaths(const RollbackDataList &journal)
{
    QStringList out;
    for (const RollbackData &entry : journal)
        out << QString::number(entry.op()) + " " + entry.oldPath() + ">" + entry.path();
    return out;
}

// Runs a fast task; it must have ended by the time execute() returns.
int runFast(TaskSpecification &task)
{
    QSignalSpy ended(&task, &T::canceled);
    QSignalSpy finished(&task, &T::finished);
    task.execute();
    EXPECT_EQ(ended.size() + finished.size(), 1);
    return task.taskState();
}

TEST(DirCreateTask, CreatesMissingParentsAndJournalsOnlyWhatItMade)
{
    struct Row {
        const char *what;
        QString path; // below the temporary directory; "@" stands for it
        bool ok;
        QStringList journal;
        QString message;
    };
    const QString d = "2 >@/";
    const QList<Row> rows = {
        {"missing parents, outermost first", "@/a/b/c", true, {d + "a/b", d + "a/b/c"}, ""},
        {"existing directory", "@/a", true, {}, ""},
        {"trailing separator", "@/a/n/", true, {d + "a/n"}, ""},
        {"path names a file", "@/f", false, {},
         "Could not create dir '@/f' because it already exists and is not a dir"},
        {"parent is a file", "@/f/sub", false, {},
         "Could not create dir '@/f' because it already exists and is not a dir"},
        {"relative single component", "newdir", false, {}, "Could not create dir newdir"},
    };
    for (const Row &row : rows) {
        QTemporaryDir tmp;
        ASSERT_TRUE(QDir().mkdir(tmp.path() + "/a"));
        writeFile(tmp.path() + "/f", "x");
        const auto fill = [&](QString s) { return s.replace("@", tmp.path()); };
        RollbackDataList journal;
        DirCreateTaskSpecification task(fill(row.path), &journal, nullptr, 1.0);
        QSignalSpy messages(&task, &T::message);
        EXPECT_EQ(runFast(task), row.ok ? T::TASK_FINISHED : T::TASK_FAILED) << row.what;
        QStringList expected;
        for (const QString &entry : row.journal)
            expected << fill(entry);
        EXPECT_EQ(journalPaths(journal), expected) << row.what;
        EXPECT_EQ(texts(messages), row.message.isEmpty() ? QStringList() : QStringList{fill(row.message)})
            << row.what;
        if (row.ok) {
            EXPECT_TRUE(QFileInfo(fill(row.path)).isDir()) << row.what;
        }
        EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/a/n/n")) << row.what;
    }
    EXPECT_FALSE(QFileInfo::exists("newdir"));
}

TEST(FileCopyTask, CopiesOnAWorkerAndJournalsTheCopy)
{
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source", destination = tmp.path() + "/copy";
    writeFile(source, "content");
    for (bool withJournal : {true, false}) {
        QFile::remove(destination);
        RollbackDataList journal;
        FileCopyTaskSpecification task(withJournal ? &journal : nullptr, source, destination,
                                       nullptr, 1.0);
        QSignalSpy finished(&task, &T::finished);
        task.execute();
        waitForWorkersAndEvents();
        EXPECT_EQ(finished.size(), 1);
        EXPECT_EQ(readFile(destination), "content");
        EXPECT_EQ(journalPaths(journal),
                  withJournal ? QStringList{"1 >" + destination} : QStringList());
    }
}

TEST(FileCopyTask, ExistingDestinationOrMissingSourceFailsAndJournalsNothing)
{
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source", existing = tmp.path() + "/existing";
    writeFile(source, "new");
    writeFile(existing, "old");
    for (const QString &from : {source, tmp.path() + "/missing"}) {
        RollbackDataList journal;
        FileCopyTaskSpecification task(&journal, from, existing, nullptr, 1.0);
        QSignalSpy messages(&task, &T::message);
        QSignalSpy canceled(&task, &T::canceled);
        task.execute();
        waitForWorkersAndEvents();
        EXPECT_EQ(texts(messages), QStringList{QString("Could not copy '%1' to '%2'").arg(from, existing)});
        EXPECT_EQ(canceled.size(), 1);
        EXPECT_EQ(task.taskState(), T::TASK_FAILED);
        EXPECT_TRUE(journal.isEmpty());
        EXPECT_EQ(readFile(existing), "old");
    }
}

TEST(FileRenameTask, RenamesIntoANewDirectoryAndUndoesBackToTheOldName)
{
    QTemporaryDir tmp;
    const QString from = tmp.path() + "/x", to = tmp.path() + "/sub/x.old";
    writeFile(from, "data");
    RollbackDataList journal;
    FileRenameTaskSpecification task(from, to, &journal, nullptr, 1.0);
    EXPECT_EQ(runFast(task), T::TASK_FINISHED);
    EXPECT_EQ(readFile(to), "data");
    EXPECT_EQ(journalPaths(journal), QStringList{"0 " + from + ">" + to});

    EXPECT_TRUE(journal.rollback(nullptr));
    EXPECT_EQ(readFile(from), "data");
    EXPECT_FALSE(QFileInfo::exists(to));
}

TEST(FileRenameTask, ExistingTargetOrMissingSourceFails)
{
    QTemporaryDir tmp;
    const QString from = tmp.path() + "/x", to = tmp.path() + "/y";
    writeFile(to, "keep");
    for (bool sourceExists : {true, false}) {
        if (sourceExists)
            writeFile(from, "data");
        else
            QFile::remove(from);
        RollbackDataList journal;
        FileRenameTaskSpecification task(from, to, &journal, nullptr, 1.0);
        QSignalSpy messages(&task, &T::message);
        EXPECT_EQ(runFast(task), T::TASK_FAILED);
        EXPECT_EQ(texts(messages), QStringList{QString("Could not rename '%1' to '%2'").arg(from, to)});
        EXPECT_TRUE(journal.isEmpty());
        EXPECT_EQ(readFile(to), "keep");
    }
}

TEST(FileDeleteTask, DeletesFilesAndDirectoriesAsAskedAndReportsFailuresWhenTheyAreErrors)
{
    struct Row {
        const char *what;
        QString path; // below the tree made in each row
        bool recursive;
        bool failureIsError;
        int state;
        QString message; // "%1" is the path
        QStringList gone, kept;
    };
    const QList<Row> rows = {
        {"file", "top/file", false, true, T::TASK_FINISHED, "Deleted file '%1'", {"top/file"}, {"top/full/f"}},
        {"missing, error", "nothing", false, true, T::TASK_FAILED, "Could not delete '%1'", {}, {}},
        {"missing, tolerated", "nothing", false, false, T::TASK_FINISHED, "", {}, {}},
        {"non-empty directory, not recursive", "top/full", false, true, T::TASK_FAILED,
         "Could not delete '%1'", {}, {"top/full/f"}},
        {"non-empty directory, recursive", "top/full", true, true, T::TASK_FINISHED,
         "Recursively deleted directory '%1'", {"top/full"}, {"top/file"}},
        {"empty directory takes empty parents", "top/e1/e2", false, true, T::TASK_FINISHED,
         "Deleted directory '%1'", {"top/e1"}, {"top/file"}},
        {"link to a directory goes as a link", "top/link", true, true, T::TASK_FINISHED,
         "Deleted file '%1'", {"top/link"}, {"top/full/f"}},
    };
    for (const Row &row : rows) {
        QTemporaryDir tmp;
        const QString base = tmp.path() + "/";
        writeFile(base + "top/file", "1");
        writeFile(base + "top/full/f", "2");
        QDir().mkpath(base + "top/e1/e2");
        QFile::link(base + "top/full", base + "top/link");
        FileDeleteTaskSpecification task(row.failureIsError, base + row.path, row.recursive, nullptr, 1.0);
        QSignalSpy messages(&task, &T::message);
        EXPECT_EQ(runFast(task), row.state) << row.what;
        EXPECT_EQ(texts(messages),
                  row.message.isEmpty() ? QStringList() : QStringList{row.message.arg(base + row.path)})
            << row.what;
        for (const QString &p : row.gone)
            EXPECT_FALSE(QFileInfo(base + p).exists() || QFileInfo(base + p).isSymLink()) << row.what << " " << p.toStdString();
        for (const QString &p : row.kept)
            EXPECT_TRUE(QFileInfo::exists(base + p)) << row.what << " " << p.toStdString();
        EXPECT_TRUE(QFileInfo::exists(tmp.path())) << "an empty parent climb stops at a non-empty one";
    }
}

} // namespace
