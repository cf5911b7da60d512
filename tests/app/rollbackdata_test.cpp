// The rollback journal: newest change undone first, failures reported and counted but not stopping the rest.
#include "rollbackdata.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using T = TaskSpecification;

void touch(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

TEST(RollbackJournal, UndoesNewestFirst)
{
    QTemporaryDir tmp;
    const QString a = tmp.path() + "/a", b = a + "/b", f = b + "/f";
    ASSERT_TRUE(QDir().mkpath(b));
    touch(f);
    RollbackDataList journal;
    journal << RollbackData(RollbackData::DIR_CREATE, a) << RollbackData(RollbackData::DIR_CREATE, b)
            << RollbackData(RollbackData::FILE_CREATE, f);
    TestLeafTask reporter("", nullptr, nullptr, 1.0);
    QSignalSpy messages(&reporter, &T::message);
    // Directories are removed only when empty, so any other order would fail.
    EXPECT_TRUE(journal.rollback(&reporter));
    EXPECT_TRUE(journal.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(a));
    EXPECT_TRUE(messages.isEmpty());
}

TEST(RollbackJournal, FailedStepWarnsAndTheRestIsStillUndone)
{
    QTemporaryDir tmp;
    const QString older = tmp.path() + "/older", dir = tmp.path() + "/dir", gone = tmp.path() + "/gone";
    const QString x = tmp.path() + "/x", xOld = tmp.path() + "/x.old";
    touch(older);
    ASSERT_TRUE(QDir().mkdir(dir));
    touch(dir + "/foreign");
    RollbackDataList journal;
    journal << RollbackData(RollbackData::FILE_CREATE, older)
            << RollbackData(RollbackData::FILE_RENAME, xOld, x) // x is not there to go back
            << RollbackData(RollbackData::DIR_CREATE, dir)
            << RollbackData(RollbackData::FILE_CREATE, gone);
    TestLeafTask reporter("", nullptr, nullptr, 1.0);
    QSignalSpy messages(&reporter, &T::message);
    EXPECT_FALSE(journal.rollback(&reporter));
    EXPECT_TRUE(journal.isEmpty());
    EXPECT_EQ(texts(messages), (QStringList{
                                   "warning: rollback create file " + gone + " failed",
                                   "warning: rollback create dir " + dir + " failed",
                                   "warning: rollback rename " + xOld + " to " + x + " failed",
                               }));
    EXPECT_FALSE(QFileInfo::exists(older));
    EXPECT_TRUE(QFileInfo::exists(dir + "/foreign"));
}

TEST(RollbackJournal, EmptyJournalAndReportersWithoutASignalStaySilent)
{
    RollbackDataList empty;
    TestLeafTask reporter("", nullptr, nullptr, 1.0);
    QSignalSpy messages(&reporter, &T::message);
    EXPECT_TRUE(empty.rollback(&reporter));
    EXPECT_TRUE(messages.isEmpty());

    QTemporaryDir tmp;
    QObject plain;
    for (QObject *silent : {static_cast<QObject *>(nullptr), &plain}) {
        RollbackDataList journal;
        journal << RollbackData(RollbackData::FILE_CREATE, tmp.path() + "/missing");
        EXPECT_FALSE(journal.rollback(silent));
        EXPECT_TRUE(journal.isEmpty());
    }
}

} // namespace
