// Worker-side check of one file: its SHA-512 against a given hash, or its RSA signature.
#pragma once

#include "asyncfunc.h"

#include <QByteArray>
#include <QString>

class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // An empty expectedHash selects the RSA check of fileName against fileName + ".sig".
    CheckSigFunc(const QString &fileName, const QString &expectedHash);

    // The verdict. Usable on any thread, also synchronously without a task; never throws.
    bool run() override;

    // Files larger than this are not read into memory (the RSA check reads whole files; the
    // signed manifest is a few kilobytes).
    static constexpr qint64 MAX_READ_SIZE = 64 * 1024 * 1024;
    // The SHA-512 check streams the file in pieces of this size.
    static constexpr qint64 HASH_CHUNK_SIZE = 64 * 1024;

    // True when the file hashes to m_ExpectedHash (hex, any case).
    bool checkSHA512();
    // True when fileName + ".sig" is a valid signature of the file under the built-in key.
    bool checkRSA();
    // Reads the whole file (at most MAX_READ_SIZE bytes) into data; false after a message.
    bool readFile(const QString &path, QByteArray &data);

private:
    // SHA-512 of the file as lower-case hex, read in HASH_CHUNK_SIZE pieces; false after a
    // message when the file cannot be read completely.
    bool hashFile(QByteArray &hexHash);

    QString m_FileName;
    QString m_ExpectedHash;
};
