// The in-memory rollback journal: one entry per undoable change, undone newest first.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

class RollbackData
{
public:
    enum Op {
        FILE_RENAME = 0,
        FILE_CREATE = 1,
        DIR_CREATE = 2
    };

    // A rename from `from` to `to`; op must be FILE_RENAME.
    RollbackData(int op, const QString &from, const QString &to);
    // A created file or directory; op must not be FILE_RENAME.
    RollbackData(int op, const QString &path);

    // Undoes this one change; false (after a warning to reporter) when that was not possible.
    bool rollback(QObject *reporter) const;
    // Emits text through reporter's message(QString) signal; a null reporter gets nothing.
    static void message(QObject *reporter, QString text);

    QString path() const { return m_Path; }
    QString oldPath() const { return m_OldPath; }
    int op() const { return m_Op; }

private:
    QString m_Path;
    QString m_OldPath;
    int m_Op;
};

class RollbackDataList : public QList<RollbackData>
{
public:
    // Undoes and removes every entry, newest first; a failed entry does not stop the others.
    // True when every entry was undone. The list is empty afterwards.
    bool rollback(QObject *reporter);
};
