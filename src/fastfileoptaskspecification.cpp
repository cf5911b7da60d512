// Synchronous file operation task.
#include "fastfileoptaskspecification.h"

#include "rollbackdata.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path,
                                                         RollbackDataList *rollback,
                                                         QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_Rollback(rollback)
    , m_Path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    setTaskState(TASK_RUNNING);
    if (doOp())
        setFinished();
    else
        setFailed();
}

void FastFileOpTaskSpecification::addRollback(const RollbackData &entry)
{
    if (m_Rollback)
        m_Rollback->append(entry);
}
