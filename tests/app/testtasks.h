// Small tasks for driving the task framework in tests: leaves that end on demand, and a plain composed task.
#pragma once

#include "composedtaskspecification.h"

#include <QStringList>

// A leaf that starts, logs its start and ends when told to (or right after starting, one event
// loop turn later). It can stop at once on cancel() or on a sibling's failure, like a download.
class TestLeafTask : public TaskSpecification
{
    Q_OBJECT
public:
    enum Outcome { EndOnDemand, FinishSoon, FailSoon };

    TestLeafTask(const QString &name, QStringList *log, QObject *parent, qreal weight);

    void execute() override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;
    void getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                             bool &downloading) override;

    void finish() { setFinished(); }
    void fail() { setFailed(); }
    void report(qreal fraction) { setProgress(fraction); }
    void forceState(int state) { setTaskState(state); }
    using TaskSpecification::onOtherTaskCancelled;

    Outcome m_Outcome = EndOnDemand;
    bool m_StopOnCancel = false;
    bool m_StopOnSiblingFailure = false;
    int m_SiblingNotices = 0;
    quint64 m_Done = 0, m_Total = 0, m_Speed = 0;
    bool m_Downloading = false;

private:
    QString m_Name;
    QStringList *m_Log;
};

// A composed task whose execute() starts the subtasks added from outside.
class TestComposedTask : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    TestComposedTask(int maxParallel, QObject *parent, qreal weight);

    void execute() override { startSubTasks(); }

    TestLeafTask *addLeaf(const QString &name, QStringList *log, qreal weight);
    void add(TaskSpecification *task) { addSubTask(task); }
    int state() const { return subTasksState(); }
    void markSubTaskCanceled() { m_SubTaskCanceled = true; }
    void dropSubTasks() { deleteSubTasks(); }
    // The reset of composed tasks that build their subtasks in execute().
    void rebuildReset()
    {
        deleteSubTasks();
        TaskSpecification::reset();
    }
    int runningCount() const { return m_RunningTasks.size(); }
};

// Lets every queued signal and deferred deletion posted so far (and those they post) run.
void runPendingEvents();
// Waits until the global thread pool is idle (not for a clock), then runs the pending events.
void waitForWorkersAndEvents();
