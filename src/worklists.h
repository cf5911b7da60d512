// The work lists that connect the steps of an update session, and their element types.
#pragma once

#include <QString>

// An installed path to remove.
struct DeleteData
{
    QString path;           // relative to the installation directory
    bool recursive = false; // a directory goes with its contents
};
