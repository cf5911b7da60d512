// The public key that signatures of update files are checked against, embedded at build time.
#pragma once

// DER-encoded PKCS#1 RSAPublicKey, chosen with the CMake cache variable OV3_PUBLIC_KEY.
extern const unsigned char g_PublicKeyDer[];
extern const unsigned long g_PublicKeyDerLength;
