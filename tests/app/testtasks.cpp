// Test tasks for the task framework.
#include "testtasks.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

TestLeafTask::TestLeafTask(const QString &name, QStringList *log, QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_Name(name)
    , m_Log(log)
{
}

void TestLeafTask::execute()
{
    setTaskState(TASK_RUNNING);
    if (m_Log)
        m_Log->append(m_Name);
    // Posted, not timed, so that runPendingEvents() delivers the end.
    if (m_Outcome == FinishSoon)
        QMetaObject::invokeMethod(this, [this] { setFinished(); }, Qt::QueuedConnection);
    else if (m_Outcome == FailSoon)
        QMetaObject::invokeMethod(this, [this] { setFailed(); }, Qt::QueuedConnection);
}

void TestLeafTask::cancel()
{
    TaskSpecification::cancel();
    if (m_StopOnCancel && taskState() == TASK_RUNNING)
        setCanceled();
}

void TestLeafTask::handleOtherTaskCancelled(TaskSpecification *)
{
    ++m_SiblingNotices;
    if (m_StopOnSiblingFailure)
        setFailed();
}

void TestLeafTask::getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal,
                                       quint64 &speed, bool &downloading)
{
    downloadDone = m_Done;
    downloadTotal = m_Total;
    speed = m_Speed;
    downloading = m_Downloading;
}

TestComposedTask::TestComposedTask(int maxParallel, QObject *parent, qreal weight)
    : ComposedTaskSpecification(maxParallel, parent, weight)
{
}

TestLeafTask *TestComposedTask::addLeaf(const QString &name, QStringList *log, qreal weight)
{
    auto *leaf = new TestLeafTask(name, log, this, weight);
    addSubTask(leaf);
    return leaf;
}

void runPendingEvents()
{
    // Each round delivers what the previous one posted; a bounded number of rounds, not a clock.
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void waitForWorkersAndEvents()
{
    QThreadPool::globalInstance()->waitForDone(-1);
    runPendingEvents();
}
