// Background tasks: work on a pool thread, progress, messages and result back on the main thread.
#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "testtasks.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <atomic>

namespace {

using T = TaskSpecification;

std::atomic<QThread *> workerThread{nullptr};

class HalfwayFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit HalfwayFunc(bool result) : m_Result(result) {}
    bool run() override
    {
        workerThread = QThread::currentThread();
        emit progress(0.5);
        emit message("halfway");
        return m_Result;
    }

private:
    bool m_Result;
};

class HalfwayTask : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    using ASyncTaskSpecification::ASyncTaskSpecification;
    ASyncFunc *createFunc() override { return new HalfwayFunc(m_Result); }
    bool m_Result = true;
};

TEST(ASyncTask, ResultProgressAndMessagesArriveOnTheMainThread)
{
    for (bool result : {true, false}) {
        HalfwayTask task(nullptr, 0.2);
        task.m_Result = result;
        QThread *const mainThread = QThread::currentThread();
        QList<QThread *> deliveredOn;
        QList<qreal> progress;
        QObject::connect(&task, &T::updateProgress, [&](qreal p) {
            progress << p;
            deliveredOn << QThread::currentThread();
        });
        QSignalSpy messages(&task, &T::message);
        QSignalSpy finished(&task, &T::finished);
        QSignalSpy canceled(&task, &T::canceled);

        task.execute();
        EXPECT_EQ(task.taskState(), T::TASK_RUNNING);
        QThreadPool::globalInstance()->waitForDone(-1);
        EXPECT_TRUE(progress.isEmpty()) << "nothing arrives outside the main event loop";
        EXPECT_NE(workerThread.load(), mainThread);

        QCoreApplication::sendPostedEvents();
        ASSERT_FALSE(progress.isEmpty());
        EXPECT_DOUBLE_EQ(progress.first(), 0.1);
        for (QThread *thread : deliveredOn)
            EXPECT_EQ(thread, mainThread);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_EQ(messages.at(0).at(0).toString(), "halfway");
        EXPECT_EQ(finished.size(), result ? 1 : 0);
        EXPECT_EQ(canceled.size(), result ? 0 : 1);
        EXPECT_EQ(task.taskState(), result ? T::TASK_FINISHED : T::TASK_FAILED);
    }
}

TEST(ASyncTask, ResultOfARunAbandonedByResetIsIgnored)
{
    HalfwayTask task(nullptr, 1.0);
    QSignalSpy finished(&task, &T::finished);
    task.execute();
    task.reset();
    EXPECT_EQ(task.taskState(), T::TASK_IDLE);
    EXPECT_DOUBLE_EQ(task.progress(), 0);

    // A new run right away must be decided by its own result, not the old one.
    task.m_Result = false;
    QSignalSpy canceled(&task, &T::canceled);
    task.execute();
    waitForWorkersAndEvents();
    EXPECT_EQ(finished.size(), 0);
    EXPECT_EQ(canceled.size(), 1);
    EXPECT_EQ(task.taskState(), T::TASK_FAILED);
}

} // namespace

#include "asynctaskspecification_test.moc"
