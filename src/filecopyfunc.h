// Worker side of a file copy.
#pragma once

#include "slowfileopfunc.h"

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString &source, const QString &destination);

    // Copies source to destination; fails when the destination already exists.
    bool run() override;
};
