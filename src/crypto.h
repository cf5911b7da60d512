// RSA-PSS signature verification over SHA-1 on top of LibTomCrypt and LibTomMath.
#pragma once

// LTM_DESC comes from the build (a public compile definition of updatercore), so that every
// includer sees the same LibTomCrypt declarations.
#include <tomcrypt.h>

#include <exception>
#include <string>

// The one exception type of the updater: thrown by the functions below, caught by their callers.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(const char *message) : m_Message(message) {}
    explicit crypt_exception(const std::string &message) : m_Message(message) {}
    const char *what() const noexcept override { return m_Message.c_str(); }

private:
    std::string m_Message;
};

// Registers the "sprng" random source and SHA-1 and selects LibTomMath as the math provider.
// Must run on the main thread before any check; later calls do nothing. Throws crypt_exception.
void initCrypto();

// Does nothing for CRYPT_OK; otherwise throws crypt_exception("<function>: <library error text>").
void checkCryptResult(const char *function, int err);

// Imports a DER-encoded RSA key into *key (which the caller frees with rsa_free).
// Throws crypt_exception when the bytes are not a key or initCrypto() has not run.
void importRsaKey(rsa_key *key, const unsigned char *der, unsigned long length);

// True when signature is a valid RSASSA-PSS signature (SHA-1, MGF1 with SHA-1, 8-byte salt)
// of data under key; false for a well-formed signature that does not match. Throws
// crypt_exception for malformed signatures (for example of the wrong length).
bool verifyRsaSha1(rsa_key *key, const unsigned char *data, unsigned long dataLength,
                   const unsigned char *signature, unsigned long signatureLength);
