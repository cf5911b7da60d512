// A leaf task whose file-system operation runs synchronously on the main thread inside execute().
#pragma once

#include "taskspecification.h"

#include <QString>

class RollbackData;
class RollbackDataList;

class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // rollback may be null: then nothing is journalled.
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent,
                                qreal weight);

    // Runs doOp() and ends the task before returning: finished() on success, canceled() otherwise.
    void execute() override;

    // The operation itself; true on success. Reports failure reasons through message().
    virtual bool doOp() = 0;

protected:
    // Appends entry to the journal when there is one.
    void addRollback(const RollbackData &entry);

    RollbackDataList *m_Rollback;
    QString m_Path;
};
