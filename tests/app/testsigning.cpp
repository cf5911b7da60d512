// Signs test files the way releases are signed, with the openssl command line.
#include "testsigning.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

namespace testsigning {

namespace {

bool runOpenssl(const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("openssl"), args);
    if (!process.waitForFinished(-1))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

QString demoPrivateKey()
{
    return QStringLiteral(OV3_SOURCE_DIR "/keys/demo/private.pem");
}

QByteArray demoPublicKeyDer()
{
    return readFile(QStringLiteral(OV3_SOURCE_DIR "/keys/demo/public.der"));
}

bool makePrivateKey(const QString &pemPath)
{
    return runOpenssl({"genrsa", "-out", pemPath, "1024"});
}

bool signFile(const QString &pemPath, const QString &file, const QString &sigPath)
{
    return runOpenssl({"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                       "rsa_pss_saltlen:8", "-sign", pemPath, "-out", sigPath, file});
}

bool signWithDemoKey(const QString &file)
{
    return signFile(demoPrivateKey(), file, file + ".sig");
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace testsigning
