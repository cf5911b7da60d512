// Base of every update task: state, weighted progress, cancel request and the signals a task reports through.
#pragma once

#include <QObject>
#include <QString>

class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    enum State {
        TASK_IDLE = 0,
        TASK_RUNNING = 1,
        TASK_FINISHED = 2,
        TASK_FAILED = 3,
        TASK_CANCELED = 4
    };

    // A task in TASK_IDLE with progress 0 and no cancel request; weight is its share of the parent.
    TaskSpecification(QObject *parent, qreal weight);

    // Starts the task; it ends later (or at once) with finished() or canceled().
    virtual void execute() = 0;
    // Back to TASK_IDLE with progress 0 and no cancel request; emits updateProgress(0).
    virtual void reset();
    // Transfer statistics; a task that transfers nothing stores 0, 0, 0 and false. Composed tasks
    // add to the numbers passed in, so callers zero them first.
    virtual void getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                     bool &downloading);
    // Records that cancellation was requested; subclasses stop running work where they can.
    virtual void cancel();
    // Called while this task runs when a sibling (or a sibling of a running ancestor) ended
    // unsuccessfully; does nothing unless overridden.
    virtual void handleOtherTaskCancelled(TaskSpecification *other);

    int taskState() const { return m_TaskState; }
    // Weighted amount done: done fraction times weight.
    qreal progress() const { return m_Progress; }
    qreal weight() const { return m_Weight; }
    bool isCancelRequested() const { return m_CancelRequested; }

signals:
    void finished(TaskSpecification *task);
    // Emitted for both unsuccessful ends, TASK_FAILED and TASK_CANCELED.
    void canceled(TaskSpecification *task);
    void error(QString errorMessage);
    // Carries the weighted progress (done fraction times weight), not the fraction itself.
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification *task);

protected slots:
    // Runs handleOtherTaskCancelled() when the notice is about another task and this one runs.
    void onOtherTaskCancelled(TaskSpecification *other);

protected:
    void setTaskState(int state) { m_TaskState = state; }
    // Stores doneFrac times the weight and emits it through updateProgress().
    void setProgress(qreal doneFrac);
    // TASK_FINISHED with full progress; emits updateProgress(weight), then finished(this).
    void setFinished();
    // TASK_FAILED; emits canceled(this). Progress stays as it is.
    void setFailed();
    // TASK_CANCELED; emits canceled(this). Progress stays as it is.
    void setCanceled();

    bool m_CancelRequested = false;
    qreal m_Weight;
    qreal m_Progress = 0;
    int m_TaskState = TASK_IDLE;
};
