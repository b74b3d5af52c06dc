#include "platform/Sha256.h"

#include <openssl/evp.h>

#include "platform/Text.h"

std::string Sha256Hex(const uint8_t* data, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    static const uint8_t kNothing = 0;
    if (!EVP_Digest(size ? data : &kNothing, size, digest, &length, EVP_sha256(), nullptr)) return "";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += Format("%2.2x", digest[i]);
    return hex;
}
