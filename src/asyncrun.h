// Carries one ASyncFunc into the global thread pool and reports its result.
#pragma once

#include <QRunnable>

class ASyncFunc;

class ASyncRun : public QRunnable
{
public:
    // Takes ownership of func; the pool deletes this runnable (and so func) after run().
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;

    // Runs the function object and emits its runResult() from the worker thread.
    void run() override;

private:
    ASyncFunc *m_Func;
};
