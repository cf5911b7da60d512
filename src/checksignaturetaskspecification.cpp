// Background task that checks one file's SHA-512 hash or RSA signature and reports the verdict.
#include "checksignaturetaskspecification.h"

#include "checksigfunc.h"

#include <QDebug>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString &fileName,
                                                                 const QString &expectedHash,
                                                                 bool failureIsFatal,
                                                                 QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_FileName(fileName), m_ExpectedHash(expectedHash),
      m_FailureIsFatal(failureIsFatal)
{
}

ASyncFunc *CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_FileName, m_ExpectedHash);
}

void CheckSignatureTaskSpecification::runDone(bool pass)
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (pass) {
        emit checkDone(true, this);
        setFinished();
        return;
    }
    qDebug() << "Signature check failed for" << m_FileName;
    emit message(QStringLiteral("Signature check failed for %1").arg(m_FileName));
    emit checkDone(false, this);
    if (m_FailureIsFatal)
        setFailed();
    else
        setFinished();
}
