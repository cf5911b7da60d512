// Base task: progress arithmetic, end states and the cancel request.
#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, qreal weight)
    : QObject(parent)
    , m_Weight(weight)
{
}

void TaskSpecification::reset()
{
    m_CancelRequested = false;
    m_TaskState = TASK_IDLE;
    m_Progress = 0;
    emit updateProgress(0);
}

void TaskSpecification::getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal,
                                            quint64 &speed, bool &downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::cancel()
{
    m_CancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *other)
{
    if (other != this && m_TaskState == TASK_RUNNING)
        handleOtherTaskCancelled(other);
}

void TaskSpecification::setProgress(qreal doneFrac)
{
    m_Progress = doneFrac * m_Weight;
    emit updateProgress(m_Progress);
}

void TaskSpecification::setFinished()
{
    m_TaskState = TASK_FINISHED;
    m_Progress = m_Weight;
    emit updateProgress(m_Weight);
    emit finished(this);
}

void TaskSpecification::setFailed()
{
    m_TaskState = TASK_FAILED;
    emit canceled(this);
}

void TaskSpecification::setCanceled()
{
    m_TaskState = TASK_CANCELED;
    emit canceled(this);
}
