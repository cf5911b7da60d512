// Worker side of a background file operation: copies of the source, second input and destination.
#pragma once

#include "asyncfunc.h"

class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // A two-path operation; the second input stays empty.
    SlowFileOpFunc(const QString &source, const QString &destination);
    SlowFileOpFunc(const QString &source, const QString &second, const QString &destination);

protected:
    QString m_Source;
    QString m_Second;
    QString m_Destination;
};
