// Worker-side check of one file: its SHA-512 against a given hash, or its RSA signature.
#include "checksigfunc.h"

#include "crypto.h"
#include "publickey.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>

namespace {

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// Frees an imported key on every way out, exceptions included.
struct RsaKeyHolder {
    rsa_key key{};
    bool imported = false;
    ~RsaKeyHolder()
    {
        if (imported)
            rsa_free(&key);
    }
};

} // namespace

CheckSigFunc::CheckSigFunc(const QString &fileName, const QString &expectedHash)
    : m_FileName(fileName), m_ExpectedHash(expectedHash)
{
}

bool CheckSigFunc::run()
{
    if (!m_ExpectedHash.isEmpty())
        return checkSHA512();
    return checkRSA();
}

bool CheckSigFunc::readFile(const QString &path, QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    if (size > MAX_READ_SIZE) {
        emit message(QStringLiteral("File %1 is too large to check (%2 bytes)").arg(path).arg(size));
        return false;
    }
    data.resize(int(size));
    if (file.read(data.data(), size) != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(path));
        return false;
    }
    file.close();
    return true;
}

bool CheckSigFunc::hashFile(QByteArray &hexHash)
{
    QFile file(m_FileName);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(m_FileName));
        return false;
    }
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Sha512);
    QByteArray chunk(int(HASH_CHUNK_SIZE), Qt::Uninitialized);
    qint64 total = 0;
    qint64 got = 0;
    while ((got = file.read(chunk.data(), HASH_CHUNK_SIZE)) > 0) {
        hash.addData(chunk.constData(), int(got));
        total += got;
    }
    if (got < 0 || total != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(m_FileName));
        return false;
    }
    hexHash = hash.result().toHex();
    return true;
}

bool CheckSigFunc::checkSHA512()
{
    QByteArray h;
    if (!hashFile(h))
        return false;
    const bool pass = m_ExpectedHash.compare(QString::fromLatin1(h), Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << m_ExpectedHash << h << "=>" << pass;
    return pass;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    if (!readFile(m_FileName, data)) {
        qDebug() << "RSA check failed, could not read" << m_FileName;
        return false;
    }
    const QString sigName = m_FileName + ".sig";
    QByteArray signature;
    if (!readFile(sigName, signature)) {
        qDebug() << "RSA check failed, could not read" << sigName;
        return false;
    }
    try {
        RsaKeyHolder holder;
        importRsaKey(&holder.key, g_PublicKeyDer, g_PublicKeyDerLength);
        holder.imported = true;
        const bool pass = verifyRsaSha1(&holder.key, bytes(data), data.size(), bytes(signature),
                                        signature.size());
        qDebug() << "RSA check" << pass;
        return pass;
    } catch (const crypt_exception &e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        return false;
    }
}
