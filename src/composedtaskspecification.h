// A task made of subtasks that runs them in order, a bounded number at a time, and sums their progress.
#pragma once

#include "taskspecification.h"

#include <QList>

class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // maxParallel is the most subtasks running at one time and must be at least 1.
    ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight);
    ~ComposedTaskSpecification() override;

    // Resets every subtask and makes them all pending again, then resets this task.
    void reset() override;
    // Adds the statistics of every subtask; bytes only of those that know their total.
    void getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                             bool &downloading) override;
    // Stops further starts and, while running, passes the cancel to every subtask.
    void cancel() override;
    // Passes the notice on to the subtasks.
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // Decides this task's own end from subTasksState(); runs once per run.
    virtual void subtasksDone();
    // Wires a new subtask's signals to this task (and this task's notices to it).
    virtual void connectSubTask(TaskSpecification *task);

signals:
    void startNextTask();

protected:
    // Appends task to the subtasks and to the pending ones, wires it and re-emits the progress.
    void addSubTask(TaskSpecification *task);
    // Runs this task (a new run: the outcome flags of an earlier run are cleared): queues up to
    // maxParallel starts, or ends at once when nothing is pending.
    void startSubTasks();
    // Disconnects the subtasks from this task, releases them with deleteLater() and empties the lists.
    void deleteSubTasks();
    // The outcome of the subtasks so far, as one State value.
    int subTasksState() const;

    QList<TaskSpecification *> m_SubTasks;
    QList<TaskSpecification *> m_PendingTasks;
    QList<TaskSpecification *> m_RunningTasks;
    QList<TaskSpecification *> m_DoneTasks;
    int m_MaxParallel;
    bool m_SubTaskCanceled = false;
    bool m_DoneReported = false;

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification *task);
    void onSubTaskCanceled(TaskSpecification *task);

private:
    void reportDoneOnce();
};
