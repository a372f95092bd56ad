#include "core/Sha256.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <stdexcept>

namespace sarnovelle {

std::string sha256Hex(ByteView data)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1
        || EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1
        || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != 32) {
        // Only an allocation failure inside libcrypto can get here.
        throw std::bad_alloc();
    }

    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(hexDigits[digest[i] >> 4]);
        hex.push_back(hexDigits[digest[i] & 0x0F]);
    }
    return hex;
}

} // namespace sarnovelle
