// Directory creation task.
#include "dircreatetaskspecification.h"

#include "rollbackdata.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path,
                                                        RollbackDataList *rollback, QObject *parent,
                                                        qreal weight)
    : FastFileOpTaskSpecification(path, rollback, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDir(m_Path);
}

bool DirCreateTaskSpecification::createDir(const QString &path)
{
    // "a/b/" would otherwise name "a/b" as its own parent and create "a/b/b".
    QString p = path;
    while (p.size() > 1 && p.endsWith('/'))
        p.chop(1);
    const QFileInfo fi(p);
    if (fi.exists()) {
        if (fi.isDir())
            return true;
        emit message(QString("Could not create dir '%1' because it already exists and is not a dir").arg(p));
        return false;
    }
    const QDir parent = fi.dir();
    if (parent.path() == QLatin1String(".") || fi.isRoot()) {
        emit message(QString("Could not create dir %1").arg(m_Path));
        return false;
    }
    if (!parent.exists() && !createDir(parent.path()))
        return false;
    if (!parent.mkdir(QDir(p).dirName())) {
        emit message(QString("unable to create dir %1").arg(p));
        return false;
    }
    addRollback(RollbackData(RollbackData::DIR_CREATE, p));
    return true;
}
