// Background file operation function object.
#include "slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, QString(), destination)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &second,
                               const QString &destination)
    : m_Source(source)
    , m_Second(second)
    , m_Destination(destination)
{
}
