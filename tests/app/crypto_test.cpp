// RSA-PSS verification against signatures made by the openssl command line.
#include "crypto.h"
#include "testsigning.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace testsigning;

namespace {

class CryptoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        initCrypto();
        ASSERT_TRUE(m_Dir.isValid());
        const QByteArray der = demoPublicKeyDer();
        ASSERT_EQ(der.size(), 140);
        importRsaKey(&m_Key, reinterpret_cast<const unsigned char *>(der.constData()),
                     der.size());
    }
    void TearDown() override { rsa_free(&m_Key); }

    QString path(const char *name) const { return m_Dir.filePath(QString::fromLatin1(name)); }

    // Signs data with the key in pemPath and returns the signature.
    QByteArray sign(const QByteArray &data, const QString &pemPath)
    {
        const QString file = path("data");
        EXPECT_TRUE(writeFile(file, data));
        EXPECT_TRUE(signFile(pemPath, file, file + ".sig"));
        return readFile(file + ".sig");
    }

    // The verdict, with a thrown crypt_exception counted as a rejection.
    bool accepted(const QByteArray &data, const QByteArray &signature)
    {
        try {
            return verifyRsaSha1(&m_Key, reinterpret_cast<const unsigned char *>(data.constData()),
                                 data.size(),
                                 reinterpret_cast<const unsigned char *>(signature.constData()),
                                 signature.size());
        } catch (const crypt_exception &) {
            return false;
        }
    }

    QTemporaryDir m_Dir;
    rsa_key m_Key{};
};

QByteArray flipBit(QByteArray bytes, int index)
{
    bytes[index] = char(bytes[index] ^ 0x10);
    return bytes;
}

} // namespace

TEST_F(CryptoTest, AcceptsGenuineSignatures)
{
    const QByteArray rows[] = {QByteArray("[files]\nbin/x=abc\n"), QByteArray(),
                               QByteArray(100000, 'z')};
    for (const QByteArray &data : rows) {
        const QByteArray signature = sign(data, demoPrivateKey());
        ASSERT_EQ(signature.size(), 128);
        EXPECT_TRUE(accepted(data, signature)) << data.size() << " bytes";
    }
}

TEST_F(CryptoTest, RejectsTamperedOrForeignSignatures)
{
    const QByteArray data("version=1234\n");
    const QByteArray signature = sign(data, demoPrivateKey());
    ASSERT_TRUE(accepted(data, signature));

    ASSERT_TRUE(makePrivateKey(path("other.pem")));
    const QByteArray foreign = sign(data, path("other.pem"));

    const struct {
        const char *what;
        QByteArray data;
        QByteArray signature;
    } rows[] = {
        {"flipped data bit", flipBit(data, 3), signature},
        {"flipped first signature bit", data, flipBit(signature, 0)},
        {"flipped middle signature bit", data, flipBit(signature, 64)},
        {"flipped last signature bit", data, flipBit(signature, 127)},
        {"truncated signature", data, signature.left(127)},
        {"overlong signature", data, signature + '\0'},
        {"empty signature", data, QByteArray()},
        {"signature by another key", data, foreign},
    };
    for (const auto &row : rows)
        EXPECT_FALSE(accepted(row.data, row.signature)) << row.what;
}

TEST_F(CryptoTest, WrongLengthSignatureThrowsWithFunctionName)
{
    const QByteArray data("x");
    try {
        verifyRsaSha1(&m_Key, reinterpret_cast<const unsigned char *>(data.constData()), 1,
                      reinterpret_cast<const unsigned char *>(data.constData()), 1);
        FAIL() << "no exception";
    } catch (const crypt_exception &e) {
        EXPECT_EQ(std::string(e.what()).rfind("rsa_verify_hash: ", 0), 0u) << e.what();
    }
}

TEST(Crypto, ImportRejectsNonKeys)
{
    initCrypto();
    const QByteArray rows[] = {QByteArray(), QByteArray("not a key"),
                               demoPublicKeyDer().left(70)};
    for (const QByteArray &der : rows) {
        rsa_key key{};
        EXPECT_THROW(importRsaKey(&key, reinterpret_cast<const unsigned char *>(der.constData()),
                                  der.size()),
                     crypt_exception)
            << der.size() << " bytes";
    }
    EXPECT_NO_THROW(checkCryptResult("x", CRYPT_OK));
    EXPECT_THROW(checkCryptResult("x", CRYPT_ERROR), crypt_exception);
}
