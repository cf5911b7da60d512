// Deletes a file or a directory; journals nothing.
#pragma once

#include "fastfileoptaskspecification.h"

class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    // With failureIsError false a failed deletion still finishes the task (debug log only).
    FileDeleteTaskSpecification(bool failureIsError, const QString &path, bool recursive,
                                QObject *parent, qreal weight);

    // A directory goes with its whole tree when recursive, else only when empty, together with
    // each parent left empty; anything else (also a link to a directory) is removed as a file.
    bool doOp() override;

private:
    bool deletePath();

    bool m_FailureIsError;
    bool m_Recursive;
};
