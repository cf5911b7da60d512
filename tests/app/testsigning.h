// Signs test files the way releases are signed, with the openssl command line.
#pragma once

#include <QByteArray>
#include <QString>

namespace testsigning {

// The repository's demo private key (PEM), whose public half is the default built-in key.
QString demoPrivateKey();
// The DER public half of the demo key.
QByteArray demoPublicKeyDer();
// Writes a fresh 1024-bit private key to pemPath; true on success.
bool makePrivateKey(const QString &pemPath);
// Writes the raw RSA-PSS/SHA-1 signature (salt 8) of file, made with the key in pemPath, to
// sigPath; true on success.
bool signFile(const QString &pemPath, const QString &file, const QString &sigPath);
// Shorthand: signs file with the demo key into file + ".sig".
bool signWithDemoKey(const QString &file);

// Whole-file helpers for fixtures.
bool writeFile(const QString &path, const QByteArray &data);
QByteArray readFile(const QString &path);

} // namespace testsigning
