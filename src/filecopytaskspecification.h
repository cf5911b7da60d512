// Copies a file on a worker thread and journals the copy as a created file.
#pragma once

#include "slowfileopspecification.h"

class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    // Fails with "Could not copy '<source>' to '<destination>'"; an existing destination is not
    // overwritten. rollback may be null.
    FileCopyTaskSpecification(RollbackDataList *rollback, const QString &source,
                              const QString &destination, QObject *parent, qreal weight);

    ASyncFunc *createFunc() override;
};
