#pragma once

#include "core/Bytes.h"

#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace sarnovelle {

// SHA-256 of the bytes as exactly 64 upper-case hexadecimal digits.
// Digest texts are compared as exact, case-sensitive text.
std::string sha256Hex(ByteView data);

// The same digest over bytes that arrive in pieces, so that a large file
// can be hashed while it is read instead of being collected first.
class Sha256 {
public:
    Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    ~Sha256();

    void update(ByteView piece);

    // The digest of everything passed to update since construction or the
    // last call, as sha256Hex writes it; then starts a new digest.
    std::string hexDigest();

private:
    struct ContextFree {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextFree> context_;
};

} // namespace sarnovelle
