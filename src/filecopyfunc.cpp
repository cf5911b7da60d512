// File copy on a worker thread.
#include "filecopyfunc.h"

#include <QDebug>
#include <QFile>

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_Source << m_Destination;
    return QFile::copy(m_Source, m_Destination);
}
