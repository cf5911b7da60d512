// The session record in update.ini next to the updater: read, write, and copy for the second step.
#pragma once

#include <QString>

class UpdateIniData
{
public:
    // update.ini in the updater directory.
    static QString iniPath();
    // Reads the session record. True only for a valid record (numeric version, non-empty type,
    // and a dir that exists); then every non-null pointer receives its value. On false the
    // outputs stay unchanged.
    static bool get(int* version, QString* type, QString* dir, QString* ov3dir);
    // Writes the session record, leaving other groups and keys alone. True when written.
    static bool modify(int version, const QString& dir, const QString& ov3dir, const QString& type);
    // Copies the valid session record into dirPath/update.ini with the client product name,
    // for the updater of the second step. False when there is no valid record or on write failure.
    static bool modifyTempIni(const QString& dirPath);
};
