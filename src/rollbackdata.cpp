// Undoing journalled renames, created files and created directories.
#include "rollbackdata.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

RollbackData::RollbackData(int op, const QString &from, const QString &to)
    : m_Path(to)
    , m_OldPath(from)
    , m_Op(op)
{
    Q_ASSERT(op == FILE_RENAME);
}

RollbackData::RollbackData(int op, const QString &path)
    : m_Path(path)
    , m_Op(op)
{
    Q_ASSERT(op != FILE_RENAME);
}

bool RollbackData::rollback(QObject *reporter) const
{
    bool ok = false;
    switch (m_Op) {
    case FILE_RENAME:
        ok = QFile::rename(m_Path, m_OldPath);
        if (!ok)
            message(reporter, QString("warning: rollback rename %1 to %2 failed").arg(m_OldPath, m_Path));
        break;
    case FILE_CREATE:
        ok = QFile::remove(m_Path);
        if (!ok)
            message(reporter, QString("warning: rollback create file %1 failed").arg(m_Path));
        break;
    case DIR_CREATE:
        // rmdir removes only an empty directory, so files put there by others survive.
        ok = QFileInfo(m_Path).dir().rmdir(QDir(m_Path).dirName());
        if (!ok)
            message(reporter, QString("warning: rollback create dir %1 failed").arg(m_Path));
        break;
    default:
        qFatal("Should not reach here");
    }
    return ok;
}

void RollbackData::message(QObject *reporter, QString text)
{
    if (!reporter)
        return;
    // By name, so that any QObject with a message(QString) signal can report for the journal.
    if (!QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection, Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

bool RollbackDataList::rollback(QObject *reporter)
{
    bool ok = true;
    while (!isEmpty()) {
        if (!takeLast().rollback(reporter))
            ok = false;
    }
    return ok;
}
