// SHA-256 through the system's CNG provider, so the Windows programs need
// no crypto library of their own.
#include "platform/Sha256.h"

#include <algorithm>

#include "platform/Text.h"
#include "platform/Win32Types.h"
#include <bcrypt.h>

std::string Sha256Hex(const uint8_t* data, size_t size) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return "";
    BCRYPT_HASH_HANDLE hash = nullptr;
    uint8_t digest[32];
    bool ok = ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    // BCryptHashData takes at most 4 GiB - 1 at a time.
    for (size_t done = 0; ok && done < size;) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(size - done, 0x40000000));
        ok = ::BCryptHashData(hash, const_cast<PUCHAR>(data + done), chunk, 0) == 0;
        done += chunk;
    }
    ok = ok && ::BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash) ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) return "";
    std::string hex;
    for (uint8_t b : digest) hex += Format("%2.2x", b);
    return hex;
}
