#include "sync/signature_check.hpp"

#include <new>
#include <string>

#include "http/uri.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "sync/fetch_bundle.hpp"
#include "tls/signature.hpp"

namespace qs {

namespace {

using log::Scope;

constexpr std::string_view kSignatureSuffix = ".sig";

void logFailure(const Bundle& bundle, std::string_view reason, std::string_view detail = {}) {
    log::error(Scope::quillstead, "[", bundle.name, "] signature check failed: ", reason, detail);
}

void logFailure(const Bundle& bundle, std::string_view reason, Error error) {
    log::error(Scope::quillstead, "[", bundle.name, "] signature check failed: ", reason, error);
}

}  // namespace

Result<std::string> signatureUrlFor(std::string_view payload_url,
                                    const std::optional<std::string>& signature_url) {
    try {
        QS_TRY_ASSIGN(const Uri base, parseUri(payload_url));
        if (!signature_url) {
            // The path ends where the query or fragment begins, or at the
            // end of the text; the path is a view into payload_url.
            const std::size_t path_end =
                static_cast<std::size_t>(base.path.data() - payload_url.data()) + base.path.size();
            std::string url(payload_url.substr(0, path_end));
            if (base.path.empty()) url.append("/");
            url.append(kSignatureSuffix).append(payload_url.substr(path_end));
            return url;
        }
        if (parseUri(*signature_url)) return *signature_url;
        std::string reference = *signature_url;
        std::string scratch(payload_url.size() + reference.size() + 2, '\0');
        std::span<char> scratch_span(scratch);
        QS_TRY_ASSIGN(const Uri resolved,
                      resolveReference(base, std::span<char>(reference), scratch_span));
        return composeUrl(resolved);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

Result<std::string> readPublicKeyFile(const std::string& path) {
    QS_TRY_ASSIGN(std::string text, platform::readWholeFile(path, kMaxKeyFileBytes));
    QS_TRY(parsePublicKey(text));
    return text;
}

std::vector<std::string> publicKeyPaths(std::string_view value) {
    std::vector<std::string> paths;
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        std::string_view name = value.substr(0, comma);
        value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (!name.empty()) paths.emplace_back(name);
    }
    return paths;
}

std::optional<std::vector<std::string>> loadBundleKeys(const Bundle& bundle) {
    std::vector<std::string> keys;
    if (!bundle.public_key) {
        // Metadata that nobody checks would only look like protection.
        if (bundle.options.metadata_url) {
            log::error(Scope::quillstead, "[", bundle.name, "] metadata_url needs public_key; bundle skipped");
            return std::nullopt;
        }
        return keys;
    }
    const std::vector<std::string> paths = publicKeyPaths(*bundle.public_key);
    if (paths.empty()) {
        log::error(Scope::quillstead, "[", bundle.name, "] public_key ", *bundle.public_key,
                   " unusable: ", Error::FileNotFound, "; bundle skipped");
        return std::nullopt;
    }
    for (const std::string& path : paths) {
        auto text = readPublicKeyFile(path);
        if (!text) {
            log::error(Scope::quillstead, "[", bundle.name, "] public_key ", path, " unusable: ",
                       text.error(), "; bundle skipped");
            return std::nullopt;
        }
        keys.push_back(std::move(*text));
    }
    return keys;
}

std::optional<FetchedSignature> fetchSignature(const Bundle& bundle, const BundleState& state,
                                               bool tls_verify,
                                               const FetchOptions& payload_options) {
    const auto url = signatureUrlFor(bundle.url, bundle.signature_url);
    if (!url) {
        logFailure(bundle, "invalid signature URL: ", url.error());
        return std::nullopt;
    }
    return fetchSignatureAt(bundle, state, *url, tls_verify, payload_options);
}

std::optional<FetchedSignature> fetchSignatureAt(const Bundle& bundle, const BundleState& state,
                                                 std::string_view url, bool tls_verify,
                                                 const FetchOptions& payload_options) {
    // The signature comes from the same kind of request as the payload
    // (headers, redirects, certificate checks, proxies, time limits) but
    // never conditionally: a stored ETag belongs to the payload. Without the
    // limits a signature server that stalls would hold the whole pass, and
    // with it every other bundle, reload and poll-now.
    FetchOptions options;
    options.proxy = payload_options.proxy;
    options.limits = payload_options.limits;
    options.tls = payload_options.tls;
    options.max_body_bytes = kMaxSignatureFileBytes;
    FetchResult fetched = fetchBundle(url, {}, bundle.authorization, tls_verify, options);
    switch (fetched.kind) {
    case FetchResult::Kind::fetched: break;
    case FetchResult::Kind::not_modified:
        logFailure(bundle, "signature fetch failed: unexpected status");
        return std::nullopt;
    case FetchResult::Kind::failed:
        if (fetched.over_limit != 0) {
            log::error(Scope::quillstead, "[", bundle.name,
                       "] signature check failed: signature over ", fetched.over_limit, " bytes");
        } else {
            logFailure(bundle, "signature fetch failed: ", fetched.reason);
        }
        return std::nullopt;
    }

    FetchedSignature signature{{}, std::move(fetched.body)};
    for (const std::string& text : state.public_keys) {
        auto key = parsePublicKey(text);
        if (!key) {
            logFailure(bundle, "public key unusable: ", key.error());
            return std::nullopt;
        }
        signature.keys.push_back(std::move(*key));
    }
    if (signature.keys.empty()) {
        logFailure(bundle, "public key unusable: ", Error::FileNotFound);
        return std::nullopt;
    }
    return signature;
}

namespace {

// The first of the signature's keys that verifies it, by `verify`; else the
// failure that says most: a mismatch over a key that numbers another.
template <class Verify>
Result<KeyAlgorithm> firstKeyThatVerifies(const FetchedSignature& signature, const Verify& verify) {
    Error closest = Error::SignatureKeyNumberMismatch;
    for (const PublicKey& key : signature.keys) {
        const Result<void> verified = verify(key);
        if (verified) return key.algorithm();
        if (verified.error() != Error::SignatureKeyNumberMismatch &&
            (closest == Error::SignatureKeyNumberMismatch || verified.error() == Error::SignatureMismatch))
            closest = verified.error();
    }
    return std::unexpected(closest);
}

}  // namespace

Result<KeyAlgorithm> verifyWithAnyKey(const FetchedSignature& signature, std::string_view message) {
    return firstKeyThatVerifies(signature, [&](const PublicKey& key) {
        return verifySignature(key, signature.file.view(), message);
    });
}

Result<KeyAlgorithm> verifyWithAnyKey(const FetchedSignature& signature,
                                      const std::optional<Sha256Digest>& digest,
                                      const std::function<Result<std::string_view>()>& message,
                                      const std::function<bool(std::size_t)>& streamed) {
    std::optional<Result<std::string_view>> read;
    return firstKeyThatVerifies(signature, [&](const PublicKey& key) -> Result<void> {
        if (streamed && streamed(static_cast<std::size_t>(&key - signature.keys.data()))) return {};
        if (digest && verifiesIncrementally(key))
            return verifySignedDigest(key, signature.file.view(), *digest);
        if (!read) read = message();
        if (!*read) return std::unexpected(read->error());
        return verifySignature(key, signature.file.view(), **read);
    });
}

bool reportSignature(const Bundle& bundle, const Result<KeyAlgorithm>& verified) {
    if (!verified) {
        logFailure(bundle, "", verified.error());
        return false;
    }
    log::info(Scope::quillstead, "[", bundle.name, "] signature verified (", keyAlgorithmName(*verified), ")");
    return true;
}

bool checkSignature(const Bundle& bundle, const BundleState& state, std::string_view payload,
                    bool tls_verify, const FetchOptions& payload_options) {
    const auto signature = fetchSignature(bundle, state, tls_verify, payload_options);
    if (!signature) return false;
    return reportSignature(bundle, verifyWithAnyKey(*signature, payload));
}

}  // namespace qs
