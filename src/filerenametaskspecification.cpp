// File rename task.
#include "filerenametaskspecification.h"

#include "rollbackdata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &from, const QString &to,
                                                         RollbackDataList *rollback,
                                                         QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(to, rollback, parent, weight)
    , m_From(from)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QString dir = QFileInfo(m_Path).path();
    if (!QDir().exists(dir))
        QDir().mkdir(dir);
    const bool ok = QFile::rename(m_From, m_Path);
    if (ok)
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_From, m_Path));
    else
        emit message(QString("Could not rename '%1' to '%2'").arg(m_From, m_Path));
    return ok;
}
