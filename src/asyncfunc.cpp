// Background work function object.
#include "asyncfunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}
