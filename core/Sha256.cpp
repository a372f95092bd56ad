#include "core/Sha256.h"

#include <openssl/evp.h>

#include <array>
#include <new>

namespace sarnovelle {

namespace {

// Only an allocation failure inside libcrypto makes a digest call fail.
void require(bool succeeded)
{
    if (!succeeded) {
        throw std::bad_alloc();
    }
}

} // namespace

void Sha256::ContextFree::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new())
{
    require(context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1);
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(ByteView piece)
{
    require(EVP_DigestUpdate(context_.get(), piece.data(), piece.size()) == 1);
}

std::string Sha256::hexDigest()
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    require(EVP_DigestFinal_ex(context_.get(), digest.data(), &length) == 1 && length == 32);
    require(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1);

    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(hexDigits[digest[i] >> 4]);
        hex.push_back(hexDigits[digest[i] & 0x0F]);
    }
    return hex;
}

std::string sha256Hex(ByteView data)
{
    Sha256 digest;
    digest.update(data);
    return digest.hexDigest();
}

} // namespace sarnovelle
