// Creates a directory and its missing parents, journalling each directory it made.
#pragma once

#include "fastfileoptaskspecification.h"

class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent,
                               qreal weight);

    // Creates the directory, outermost missing parent first; one DIR_CREATE entry per directory
    // actually created. An existing directory succeeds with nothing journalled.
    bool doOp() override;

private:
    bool createDir(const QString &path);
};
