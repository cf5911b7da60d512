// A leaf task whose work is one ASyncFunc run on a worker thread; results come back queued.
#pragma once

#include "taskspecification.h"

class ASyncFunc;

class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject *parent, qreal weight);

    // Hands a new function object to the global thread pool and sets TASK_RUNNING; the task
    // ends when the worker's result arrives on the main thread.
    void execute() override;
    // Waits until every job of the global pool has ended, then resets the task. The result of a
    // run that was still under way is applied as one that arrives after the reset (runDone()
    // sees a task that is not running), so it can never end a later run.
    void reset() override;

    // A new function object carrying copies of everything its run() needs.
    virtual ASyncFunc *createFunc() = 0;
    // Connects the function object's signals to this task, all queued.
    virtual void connectFunc(ASyncFunc *func);
    // Acts on the worker's result on the main thread; ends the task only if it is running.
    virtual void runDone(bool ok);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};
