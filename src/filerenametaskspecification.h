// Gives a file a new name and journals the rename.
#pragma once

#include "fastfileoptaskspecification.h"

class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString &from, const QString &to, RollbackDataList *rollback,
                                QObject *parent, qreal weight);

    // Renames m_From to m_Path, first creating the new name's directory (one level, not
    // journalled) if it is missing. An existing file at the new name makes it fail.
    bool doOp() override;

private:
    QString m_From;
};
