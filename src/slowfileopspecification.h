// A background task that creates a file from one or two inputs and journals the created destination.
#pragma once

#include "asynctaskspecification.h"

#include <QString>

class RollbackDataList;

class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // failMessage is the complete text emitted when the operation fails; rollback may be null.
    SlowFileOpSpecification(const QString &failMessage, RollbackDataList *rollback,
                            const QString &source, const QString &destination, QObject *parent,
                            qreal weight);
    SlowFileOpSpecification(const QString &failMessage, RollbackDataList *rollback,
                            const QString &source, const QString &second,
                            const QString &destination, QObject *parent, qreal weight);

    // Journals the destination as created on success, emits the failure text otherwise (in any
    // state), then ends the task as a background task does.
    void runDone(bool ok) override;

protected:
    RollbackDataList *m_Rollback;
    QString m_Source;
    QString m_Second;
    QString m_Destination;
    QString m_FailMessage;
};
