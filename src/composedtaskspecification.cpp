// Composed task: starting, counting and ending subtasks, and spreading cancels and failure notices.
#include "composedtaskspecification.h"

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_MaxParallel(maxParallel)
{
    Q_ASSERT(maxParallel >= 1);
    // Queued so that starting the next subtask never nests inside the previous one's finished().
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    deleteSubTasks();
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification *> tasks = m_SubTasks;
    for (TaskSpecification *task : tasks)
        task->reset();
    m_PendingTasks = m_SubTasks;
    m_RunningTasks.clear();
    m_DoneTasks.clear();
    m_SubTaskCanceled = false;
    m_DoneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal,
                                                    quint64 &speed, bool &downloading)
{
    downloading = false;
    const QList<TaskSpecification *> tasks = m_SubTasks;
    for (TaskSpecification *task : tasks) {
        quint64 d = 0, t = 0, s = 0;
        bool b = false;
        task->getDownloadProgress(d, t, s, b);
        downloading = downloading || b;
        speed += s;
        // A transfer of unknown size cannot say how far it is.
        if (t != 0) {
            downloadDone += d;
            downloadTotal += t;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState != TASK_RUNNING)
        return;
    const QList<TaskSpecification *> tasks = m_SubTasks;
    for (TaskSpecification *task : tasks)
        task->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::subtasksDone()
{
    const int state = subTasksState();
    if (state == TASK_CANCELED)
        setCanceled();
    else if (state == TASK_FINISHED)
        setFinished();
    else
        setFailed();
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification *task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(task, &TaskSpecification::updateProgress, this,
            &ComposedTaskSpecification::onUpdateProgress);
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, task,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::addSubTask(TaskSpecification *task)
{
    m_SubTasks.append(task);
    m_PendingTasks.append(task);
    connectSubTask(task);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::startSubTasks()
{
    m_TaskState = TASK_RUNNING;
    // A new run: subclasses that rebuild their subtasks reset only through deleteSubTasks() and
    // TaskSpecification::reset(), which leave the outcome of the previous run behind.
    m_SubTaskCanceled = false;
    m_DoneReported = false;
    const int n = qMin(m_PendingTasks.size(), m_MaxParallel);
    if (n == 0) {
        reportDoneOnce();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::deleteSubTasks()
{
    for (TaskSpecification *task : qAsConst(m_SubTasks)) {
        QObject::disconnect(task, nullptr, this, nullptr);
        task->deleteLater();
    }
    m_SubTasks.clear();
    m_PendingTasks.clear();
    m_RunningTasks.clear();
    m_DoneTasks.clear();
}

int ComposedTaskSpecification::subTasksState() const
{
    bool canceled = false;
    bool unfinished = false;
    for (const TaskSpecification *task : m_SubTasks) {
        const int state = task->taskState();
        if (state == TASK_FAILED)
            return TASK_FAILED;
        if (state == TASK_CANCELED)
            canceled = true;
        if (state != TASK_FINISHED)
            unfinished = true;
    }
    if (canceled)
        return TASK_CANCELED;
    if (!unfinished)
        return TASK_FINISHED;
    if (m_CancelRequested)
        return TASK_CANCELED;
    return m_SubTaskCanceled ? TASK_FAILED : TASK_RUNNING;
}

void ComposedTaskSpecification::onStartNextTask()
{
    // A start queued before a reset must neither start a subtask nor end the idle task.
    if (m_TaskState != TASK_RUNNING)
        return;
    if (!m_PendingTasks.isEmpty() && !m_SubTaskCanceled && !m_CancelRequested) {
        TaskSpecification *task = m_PendingTasks.takeFirst();
        m_RunningTasks.append(task);
        task->execute();
        return;
    }
    if (m_RunningTasks.isEmpty())
        reportDoneOnce();
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    qreal sum = 0;
    const QList<TaskSpecification *> tasks = m_SubTasks;
    for (const TaskSpecification *task : tasks)
        sum += task->progress();
    setProgress(sum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *task)
{
    m_RunningTasks.removeOne(task);
    m_DoneTasks.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *task)
{
    m_RunningTasks.removeOne(task);
    m_DoneTasks.append(task);
    if (!m_SubTaskCanceled) {
        m_SubTaskCanceled = true;
        // Direct connections: a sibling that stops at once re-enters this slot from here.
        emit otherTaskCancelled(task);
    }
    if (m_RunningTasks.isEmpty())
        reportDoneOnce();
}

void ComposedTaskSpecification::reportDoneOnce()
{
    if (m_DoneReported)
        return;
    m_DoneReported = true;
    subtasksDone();
}
