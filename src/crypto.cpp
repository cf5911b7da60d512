// RSA-PSS signature verification over SHA-1 on top of LibTomCrypt and LibTomMath.
#include "crypto.h"

#include <mutex>

namespace {

std::mutex g_InitMutex;
bool g_Initialized = false;
int g_Sha1Index = -1;
int g_SprngIndex = -1;

const unsigned int PSS_SALT_LENGTH = 8;
const unsigned long SHA1_LENGTH = 20;

// LibTomCrypt aborts the process on null pointers, even with a zero length.
const unsigned char *nonNull(const unsigned char *p)
{
    static const unsigned char empty = 0;
    return p ? p : &empty;
}

} // namespace

void initCrypto()
{
    std::lock_guard<std::mutex> lock(g_InitMutex);
    if (g_Initialized)
        return;
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    g_Sha1Index = find_hash("sha1");
    g_SprngIndex = find_prng("sprng");
    g_Initialized = true;
}

void checkCryptResult(const char *function, int err)
{
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(function) + ": " + error_to_string(err));
}

void importRsaKey(rsa_key *key, const unsigned char *der, unsigned long length)
{
    // Without a math provider LibTomCrypt would abort instead of returning an error.
    if (ltc_mp.name == nullptr)
        throw crypt_exception("rsa_import: cryptography not initialised");
    // An empty input trips an argument check that aborts rather than returning an error.
    if (length == 0)
        checkCryptResult("rsa_import", CRYPT_INVALID_PACKET);
    checkCryptResult("rsa_import", rsa_import(nonNull(der), length, key));
}

bool verifyRsaSha1(rsa_key *key, const unsigned char *data, unsigned long dataLength,
                   const unsigned char *signature, unsigned long signatureLength)
{
    unsigned char digest[SHA1_LENGTH];
    unsigned long digestLength = sizeof(digest);
    checkCryptResult("hash_memory",
                     hash_memory(g_Sha1Index, nonNull(data), dataLength, digest, &digestLength));
    int stat = 0;
    checkCryptResult("rsa_verify_hash",
                     rsa_verify_hash_ex(nonNull(signature), signatureLength, digest, digestLength,
                                        LTC_PKCS_1_PSS, g_Sha1Index, PSS_SALT_LENGTH, &stat, key));
    return stat == 1;
}
