// Background task: hands its function object to the thread pool and applies the result.
#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc *func = createFunc();
    connectFunc(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func));
    // Safe after the hand-over: the result can only arrive through a queued event.
    setTaskState(TASK_RUNNING);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone(-1);
    // The finished worker's signals are queued for this task by now. Deliver them while the task
    // is idle, so that an execute() right after this reset cannot be ended by the old result.
    setTaskState(TASK_IDLE);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc *func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (taskState() != TASK_RUNNING)
        return;
    if (ok)
        setFinished();
    else
        setFailed();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}
