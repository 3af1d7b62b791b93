#include "tls/digest.hpp"

#include <new>

#include <openssl/evp.h>

namespace qs {

struct Sha256::Context {
    struct Free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> evp;
};

Sha256::Sha256() : context_(new (std::nothrow) Context) {
    if (!context_) {
        failed_ = true;
        return;
    }
    context_->evp.reset(EVP_MD_CTX_new());
    if (!context_->evp || EVP_DigestInit_ex(context_->evp.get(), EVP_sha256(), nullptr) != 1)
        failed_ = true;
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
    if (failed_ || bytes.empty()) return;
    if (EVP_DigestUpdate(context_->evp.get(), bytes.data(), bytes.size()) != 1) failed_ = true;
}

Result<Sha256Digest> Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (failed_ || EVP_DigestFinal_ex(context_->evp.get(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        failed_ = true;
        return std::unexpected(Error::OutOfMemory);
    }
    failed_ = true;  // spent
    return digest;
}

Result<Sha256Digest> digestOf(DigestAlgorithm algorithm, std::string_view bytes) {
    const EVP_MD* md = algorithm == DigestAlgorithm::sha256 ? EVP_sha256() : EVP_sha512_256();
    Sha256Digest digest{};
    unsigned int length = 0;
    if (md == nullptr ||
        EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, md, nullptr) != 1 ||
        length != digest.size())
        return std::unexpected(Error::OutOfMemory);
    return digest;
}

std::string hexDigest(const Sha256Digest& digest) {
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (const unsigned char byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    return text;
}

}  // namespace qs
