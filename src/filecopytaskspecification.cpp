// File copy task.
#include "filecopytaskspecification.h"

#include "filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollback,
                                                     const QString &source,
                                                     const QString &destination, QObject *parent,
                                                     qreal weight)
    : SlowFileOpSpecification(QString("Could not copy '%1' to '%2'").arg(source, destination),
                              rollback, source, destination, parent, weight)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(m_Source, m_Destination);
}
