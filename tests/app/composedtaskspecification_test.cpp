// Composed tasks: start order, parallelism, weighted progress, failure and cancel propagation, statistics.
#include "testtasks.h"

#include <QPointer>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

namespace {

using T = TaskSpecification;

qreal lastProgress(const QSignalSpy &spy)
{
    return spy.isEmpty() ? -1 : spy.last().at(0).toReal();
}

TEST(ComposedTask, WithoutSubtasksFinishesInsideExecute)
{
    TestComposedTask task(1, nullptr, 0.7);
    QSignalSpy progress(&task, &T::updateProgress);
    QSignalSpy finished(&task, &T::finished);
    task.execute();
    EXPECT_EQ(task.taskState(), T::TASK_FINISHED);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_DOUBLE_EQ(lastProgress(progress), 0.7);
}

TEST(ComposedTask, SequentialRunsOneAfterAnotherWithWeightedProgress)
{
    QStringList log;
    TestComposedTask root(1, nullptr, 1.0);
    TestLeafTask *a = root.addLeaf("A", &log, 0.5);
    TestLeafTask *b = root.addLeaf("B", &log, 0.5);
    QSignalSpy progress(&root, &T::updateProgress);
    QSignalSpy finished(&root, &T::finished);

    root.execute();
    EXPECT_TRUE(log.isEmpty()) << "the first start is queued";
    runPendingEvents();
    EXPECT_EQ(log, QStringList{"A"});

    QObject::connect(a, &T::finished, [&] { EXPECT_EQ(log.size(), 1) << "B started inside A's end"; });
    a->finish();
    EXPECT_DOUBLE_EQ(lastProgress(progress), 0.5);
    runPendingEvents();
    EXPECT_EQ(log, (QStringList{"A", "B"}));
    EXPECT_EQ(finished.size(), 0);

    b->finish();
    EXPECT_EQ(finished.size(), 0) << "the end is decided by the queued start";
    runPendingEvents();
    EXPECT_EQ(finished.size(), 1);
    EXPECT_DOUBLE_EQ(lastProgress(progress), 1.0);
    EXPECT_EQ(root.taskState(), T::TASK_FINISHED);
}

TEST(ComposedTask, ProgressIsOwnWeightTimesSumOfSubtaskProgress)
{
    TestComposedTask root(2, nullptr, 1.0);
    auto *inner = new TestComposedTask(2, &root, 0.5);
    root.add(inner);
    auto *leaf = inner->addLeaf("L", nullptr, 0.8);
    QSignalSpy progress(&root, &T::updateProgress);
    root.execute();
    runPendingEvents();
    leaf->report(0.5);
    // leaf 0.5 * 0.8 = 0.4; inner 0.5 * 0.4 = 0.2; root 1.0 * 0.2.
    EXPECT_DOUBLE_EQ(inner->progress(), 0.2);
    EXPECT_DOUBLE_EQ(lastProgress(progress), 0.2);
}

TEST(ComposedTask, ParallelStartsAtMostMaxAndTheNextAfterAnEnd)
{
    QStringList log;
    TestComposedTask root(3, nullptr, 1.0);
    QList<TestLeafTask *> leaves;
    for (const char *name : {"1", "2", "3", "4", "5"})
        leaves << root.addLeaf(name, &log, 0.2);
    root.execute();
    runPendingEvents();
    EXPECT_EQ(log, (QStringList{"1", "2", "3"}));

    leaves[1]->finish();
    EXPECT_EQ(log.size(), 3);
    runPendingEvents();
    EXPECT_EQ(log, (QStringList{"1", "2", "3", "4"}));
    EXPECT_EQ(root.runningCount(), 3);
}

TEST(ComposedTask, FailureStopsPendingNotifiesSiblingsOnceAndWaitsForRunning)
{
    QStringList log;
    TestComposedTask root(2, nullptr, 1.0);
    TestLeafTask *a = root.addLeaf("A", &log, 0.3);
    TestLeafTask *b = root.addLeaf("B", &log, 0.3);
    root.addLeaf("C", &log, 0.4);
    QSignalSpy notices(&root, &T::otherTaskCancelled);
    QSignalSpy canceled(&root, &T::canceled);
    root.execute();
    runPendingEvents();

    a->fail();
    ASSERT_EQ(notices.size(), 1);
    EXPECT_EQ(notices.at(0).at(0).value<T *>(), a);
    EXPECT_EQ(b->m_SiblingNotices, 1);
    EXPECT_EQ(canceled.size(), 0) << "B still runs";

    b->fail();
    runPendingEvents();
    EXPECT_EQ(notices.size(), 1) << "only the first failure is announced";
    EXPECT_EQ(canceled.size(), 1);
    EXPECT_EQ(root.taskState(), T::TASK_FAILED);
    EXPECT_EQ(log, (QStringList{"A", "B"})) << "C never starts";
}

TEST(ComposedTask, NoticeTravelsDownToTheSubtasksOfARunningSibling)
{
    TestComposedTask root(2, nullptr, 1.0);
    TestLeafTask *x = root.addLeaf("X", nullptr, 0.5);
    auto *y = new TestComposedTask(1, &root, 0.5);
    root.add(y);
    TestLeafTask *g = y->addLeaf("G", nullptr, 1.0);
    g->m_StopOnSiblingFailure = true;
    QSignalSpy canceled(&root, &T::canceled);
    root.execute();
    runPendingEvents();

    x->fail();
    EXPECT_EQ(g->taskState(), T::TASK_FAILED);
    EXPECT_EQ(y->taskState(), T::TASK_FAILED);
    EXPECT_EQ(canceled.size(), 1);
    EXPECT_EQ(root.taskState(), T::TASK_FAILED);
}

TEST(ComposedTask, MessagesAndErrorsOfDescendantsReachTheRootUnchanged)
{
    TestComposedTask root(1, nullptr, 1.0);
    auto *inner = new TestComposedTask(1, &root, 1.0);
    root.add(inner);
    TestLeafTask *leaf = inner->addLeaf("L", nullptr, 1.0);
    QSignalSpy messages(&root, &T::message);
    QSignalSpy errors(&root, &T::error);
    emit leaf->message("log line");
    emit leaf->error("box text");
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages.at(0).at(0).toString(), "log line");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(), "box text");
}

TEST(ComposedTask, SubTasksStateDecidesTheEnd)
{
    struct Row {
        const char *what;
        QList<int> states;
        bool cancelRequested;
        bool subTaskCanceled;
        int expected;
    };
    const QList<Row> rows = {
        {"no subtasks", {}, false, false, T::TASK_FINISHED},
        {"all finished", {T::TASK_FINISHED, T::TASK_FINISHED}, true, true, T::TASK_FINISHED},
        {"failed after canceled", {T::TASK_CANCELED, T::TASK_FAILED}, false, true, T::TASK_FAILED},
        {"canceled after failed", {T::TASK_FAILED, T::TASK_CANCELED}, false, true, T::TASK_FAILED},
        {"a canceled one", {T::TASK_FINISHED, T::TASK_CANCELED}, false, true, T::TASK_CANCELED},
        {"unfinished, cancel requested", {T::TASK_FINISHED, T::TASK_RUNNING}, true, false, T::TASK_CANCELED},
        {"unfinished, sibling failed", {T::TASK_FINISHED, T::TASK_IDLE}, false, true, T::TASK_FAILED},
        {"unfinished", {T::TASK_FINISHED, T::TASK_RUNNING}, false, false, T::TASK_RUNNING},
    };
    for (const Row &row : rows) {
        TestComposedTask task(1, nullptr, 1.0);
        for (int state : row.states)
            task.addLeaf("", nullptr, 0.5)->forceState(state);
        if (row.cancelRequested)
            task.cancel();
        if (row.subTaskCanceled)
            task.markSubTaskCanceled();
        EXPECT_EQ(task.state(), row.expected) << row.what;
    }
}

TEST(ComposedTask, CancelBeforeExecuteStartsNothingAndEndsCanceled)
{
    QStringList log;
    TestComposedTask root(2, nullptr, 1.0);
    root.addLeaf("A", &log, 0.5);
    root.addLeaf("B", &log, 0.5);
    QSignalSpy canceled(&root, &T::canceled);
    root.cancel();
    root.execute();
    runPendingEvents();
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(canceled.size(), 1);
    EXPECT_EQ(root.taskState(), T::TASK_CANCELED);
}

TEST(ComposedTask, CancelDuringRunLetsRunningWorkEndAndStartsNothingMore)
{
    // A running leaf that cannot be stopped decides whether the cancelled parent ends
    // canceled (its work succeeded) or failed (its work failed meanwhile).
    for (bool leafFails : {false, true}) {
        QStringList log;
        TestComposedTask root(1, nullptr, 1.0);
        TestLeafTask *a = root.addLeaf("A", &log, 0.5);
        root.addLeaf("B", &log, 0.5);
        root.execute();
        runPendingEvents();
        root.cancel();
        EXPECT_EQ(a->taskState(), T::TASK_RUNNING);
        leafFails ? a->fail() : a->finish();
        runPendingEvents();
        EXPECT_EQ(log, QStringList{"A"});
        EXPECT_EQ(root.taskState(), leafFails ? T::TASK_FAILED : T::TASK_CANCELED);
    }
}

TEST(ComposedTask, CancelWithTwoRunningDownloadsEndsFailedInsideCancel)
{
    TestComposedTask root(2, nullptr, 1.0);
    TestLeafTask *d1 = root.addLeaf("D1", nullptr, 0.5);
    TestLeafTask *d2 = root.addLeaf("D2", nullptr, 0.5);
    for (TestLeafTask *d : {d1, d2})
        d->m_StopOnCancel = d->m_StopOnSiblingFailure = true;
    QSignalSpy notices(&root, &T::otherTaskCancelled);
    QSignalSpy canceled(&root, &T::canceled);
    root.execute();
    runPendingEvents();

    root.cancel();
    EXPECT_EQ(d1->taskState(), T::TASK_CANCELED);
    EXPECT_EQ(d2->taskState(), T::TASK_FAILED) << "the notice reaches D2 before its own cancel()";
    EXPECT_EQ(d1->m_SiblingNotices, 0) << "a task ignores notices about itself";
    EXPECT_EQ(notices.size(), 1);
    EXPECT_EQ(canceled.size(), 1);
    EXPECT_EQ(root.taskState(), T::TASK_FAILED);
    runPendingEvents();
    EXPECT_EQ(canceled.size(), 1);
}

TEST(ComposedTask, NoticeAboutItselfOrWhileNotRunningIsIgnored)
{
    TestLeafTask other("O", nullptr, nullptr, 1.0);
    TestLeafTask task("T", nullptr, nullptr, 1.0);
    task.m_StopOnSiblingFailure = true;
    task.onOtherTaskCancelled(&other);
    EXPECT_EQ(task.m_SiblingNotices, 0) << "idle";
    task.execute();
    task.onOtherTaskCancelled(&task);
    EXPECT_EQ(task.m_SiblingNotices, 0) << "itself";
    EXPECT_EQ(task.taskState(), T::TASK_RUNNING);
}

TEST(ComposedTask, DownloadStatisticsAreAddedUp)
{
    struct Stats {
        quint64 done, total, speed;
        bool downloading;
    };
    TestComposedTask root(3, nullptr, 1.0);
    auto *inner = new TestComposedTask(1, &root, 0.5);
    root.add(inner);
    const QList<QPair<TestComposedTask *, Stats>> leaves = {
        {&root, {10, 100, 5, true}},
        {&root, {7, 0, 3, true}}, // unknown total: only its speed counts
        {inner, {20, 50, 2, false}},
    };
    for (const auto &entry : leaves) {
        auto *leaf = new TestLeafTask("", nullptr, entry.first, 0.1);
        leaf->m_Done = entry.second.done;
        leaf->m_Total = entry.second.total;
        leaf->m_Speed = entry.second.speed;
        leaf->m_Downloading = entry.second.downloading;
        entry.first->add(leaf);
    }
    quint64 done = 1, total = 2, speed = 3;
    bool downloading = true;
    inner->getDownloadProgress(done, total, speed, downloading);
    EXPECT_FALSE(downloading);
    EXPECT_EQ(done, 21u) << "added to what the caller passed in";
    EXPECT_EQ(total, 52u);
    EXPECT_EQ(speed, 5u);
    done = total = speed = 0;
    root.getDownloadProgress(done, total, speed, downloading);
    EXPECT_EQ(done, 30u);
    EXPECT_EQ(total, 150u);
    EXPECT_EQ(speed, 10u);
    EXPECT_TRUE(downloading);
}

TEST(ComposedTask, ResetMakesEverySubtaskPendingAgain)
{
    QStringList log;
    TestComposedTask root(1, nullptr, 1.0);
    TestLeafTask *a = root.addLeaf("A", &log, 0.5);
    TestLeafTask *b = root.addLeaf("B", &log, 0.5);
    a->m_Outcome = TestLeafTask::FailSoon;
    root.execute();
    runPendingEvents();
    ASSERT_EQ(root.taskState(), T::TASK_FAILED);

    root.reset();
    EXPECT_EQ(root.taskState(), T::TASK_IDLE);
    EXPECT_DOUBLE_EQ(root.progress(), 0);
    EXPECT_EQ(a->taskState(), T::TASK_IDLE);
    a->m_Outcome = b->m_Outcome = TestLeafTask::FinishSoon;
    QSignalSpy finished(&root, &T::finished);
    root.execute();
    runPendingEvents();
    EXPECT_EQ(log, (QStringList{"A", "A", "B"}));
    EXPECT_EQ(finished.size(), 1);
}

TEST(ComposedTask, StartQueuedBeforeAResetNeitherStartsNorEndsTheIdleTask)
{
    QStringList log;
    TestComposedTask root(1, nullptr, 1.0);
    root.addLeaf("A", &log, 1.0);
    QSignalSpy finished(&root, &T::finished);
    QSignalSpy canceled(&root, &T::canceled);
    root.execute();
    root.reset();
    runPendingEvents();
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(finished.size() + canceled.size(), 0);
    EXPECT_EQ(root.taskState(), T::TASK_IDLE);
}

TEST(ComposedTask, RebuiltSubtasksRunAndEndAgainAfterAReset)
{
    // Tasks that make their subtasks in execute() reset by dropping them; the outcome of the
    // first run must not keep the second one from ending.
    for (TestLeafTask::Outcome first : {TestLeafTask::FinishSoon, TestLeafTask::FailSoon}) {
        TestComposedTask root(1, nullptr, 1.0);
        root.addLeaf("A", nullptr, 1.0)->m_Outcome = first;
        root.execute();
        runPendingEvents();
        root.rebuildReset();
        root.addLeaf("B", nullptr, 1.0)->m_Outcome = TestLeafTask::FinishSoon;
        QSignalSpy finished(&root, &T::finished);
        root.execute();
        runPendingEvents();
        EXPECT_EQ(finished.size(), 1);
        EXPECT_EQ(root.taskState(), T::TASK_FINISHED);
    }
}

TEST(ComposedTask, DeleteSubTasksDisconnectsAndReleasesThem)
{
    TestComposedTask root(1, nullptr, 1.0);
    QPointer<TestLeafTask> leaf = root.addLeaf("A", nullptr, 1.0);
    QSignalSpy messages(&root, &T::message);
    root.dropSubTasks();
    emit leaf->message("late");
    EXPECT_TRUE(messages.isEmpty());
    runPendingEvents();
    EXPECT_TRUE(leaf.isNull());
}

TEST(ComposedTask, DeletingTheRootFreesTheTree)
{
    auto tree = std::make_unique<TestComposedTask>(1, nullptr, 1.0);
    auto *inner = new TestComposedTask(1, tree.get(), 1.0);
    tree->add(inner);
    QPointer<TestLeafTask> leaf = inner->addLeaf("A", nullptr, 1.0);
    tree.reset();
    runPendingEvents();
    EXPECT_TRUE(leaf.isNull());
}

} // namespace
