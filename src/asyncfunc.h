// The work of a background task: a function object whose run() executes on a worker thread.
#pragma once

#include <QObject>
#include <QString>

class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    // Created without a parent: the runnable that runs it owns and deletes it on the worker thread.
    ASyncFunc();

    // Does the work on a worker thread with the object's own copies of its inputs; true on
    // success. May emit message(), error() and progress() while it runs.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // Done fraction in [0, 1].
    void progress(qreal progress);
};
