// Runnable that executes a background function object on a pool thread.
#include "asyncrun.h"

#include "asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc *func)
    : m_Func(func)
{
}

ASyncRun::~ASyncRun()
{
    delete m_Func;
}

void ASyncRun::run()
{
    const bool result = m_Func->run();
    emit m_Func->runResult(result);
}
