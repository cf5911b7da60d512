// Background file operation task: failure text and journal entry for the created destination.
#include "slowfileopspecification.h"

#include "rollbackdata.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString &failMessage,
                                                 RollbackDataList *rollback, const QString &source,
                                                 const QString &destination, QObject *parent,
                                                 qreal weight)
    : SlowFileOpSpecification(failMessage, rollback, source, QString(), destination, parent, weight)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString &failMessage,
                                                 RollbackDataList *rollback, const QString &source,
                                                 const QString &second, const QString &destination,
                                                 QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_Rollback(rollback)
    , m_Source(source)
    , m_Second(second)
    , m_Destination(destination)
    , m_FailMessage(failMessage)
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (ok && m_Rollback)
        m_Rollback->append(RollbackData(RollbackData::FILE_CREATE, m_Destination));
    if (!ok)
        emit message(m_FailMessage);
    ASyncTaskSpecification::runDone(ok);
}
