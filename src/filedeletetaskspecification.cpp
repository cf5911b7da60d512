// File and directory deletion task.
#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failureIsError, const QString &path,
                                                         bool recursive, QObject *parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , m_FailureIsError(failureIsError)
    , m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    if (deletePath())
        return true;
    if (!m_FailureIsError)
        return true;
    emit message(QString("Could not delete '%1'").arg(m_Path));
    return false;
}

bool FileDeleteTaskSpecification::deletePath()
{
    bool ok = false;
    const QFileInfo fi(m_Path);
    // A link to a directory is removed as a link; following it would empty its target.
    if (fi.isDir() && !fi.isSymLink()) {
        if (m_Recursive) {
            ok = QDir(m_Path).removeRecursively();
            qDebug() << "Recursively deleted directory" << m_Path << ok;
            if (ok)
                emit message(QString("Recursively deleted directory '%1'").arg(m_Path));
        } else {
            ok = QDir().rmpath(m_Path);
            qDebug() << "Deleted directory" << m_Path << ok;
            if (ok)
                emit message(QString("Deleted directory '%1'").arg(m_Path));
        }
        return ok;
    }
    ok = QFile::remove(m_Path);
    qDebug() << "Deleted file" << m_Path << ok;
    if (ok)
        emit message(QString("Deleted file '%1'").arg(m_Path));
    return ok;
}
