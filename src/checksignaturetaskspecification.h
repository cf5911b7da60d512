// Background task that checks one file's SHA-512 hash or RSA signature and reports the verdict.
#pragma once

#include "asynctaskspecification.h"

#include <QString>

class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // An empty expectedHash selects the RSA check. With failureIsFatal a failed check fails the
    // task; without it the task always finishes and only checkDone() carries the verdict.
    CheckSignatureTaskSpecification(const QString &fileName, const QString &expectedHash,
                                    bool failureIsFatal, QObject *parent, qreal weight);

    ASyncFunc *createFunc() override;
    // Emits checkDone() exactly once, before the task's own end signal.
    void runDone(bool pass) override;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    QString m_FileName;
    QString m_ExpectedHash;
    bool m_FailureIsFatal;
};
