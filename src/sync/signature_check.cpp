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

// A URL put together from a resolved reference; the parts are written as
// they were, only the port in plain decimal.
std::string composeUrl(const Uri& uri) {
    std::string url;
    url.append(uri.scheme).append("://");
    if (uri.user || uri.password) {
        url.append(uri.user.value_or(""));
        if (uri.password) url.append(":").append(*uri.password);
        url.append("@");
    }
    url.append(uri.host.value_or(""));
    if (uri.port) url.append(":").append(std::to_string(*uri.port));
    url.append(uri.path.empty() ? "/" : uri.path);
    if (uri.query) url.append("?").append(*uri.query);
    return url;
}

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

std::optional<std::string> loadBundleKey(const Bundle& bundle) {
    if (!bundle.public_key) return std::string();
    auto text = readPublicKeyFile(*bundle.public_key);
    if (!text) {
        log::error(Scope::quillstead, "[", bundle.name, "] public_key ", *bundle.public_key,
                   " unusable: ", text.error(), "; bundle skipped");
        return std::nullopt;
    }
    return std::move(*text);
}

std::optional<FetchedSignature> fetchSignature(const Bundle& bundle, const BundleState& state,
                                               bool tls_verify,
                                               const FetchOptions& payload_options) {
    const auto url = signatureUrlFor(bundle.url, bundle.signature_url);
    if (!url) {
        logFailure(bundle, "invalid signature URL: ", url.error());
        return std::nullopt;
    }

    // The signature comes from the same kind of request as the payload
    // (headers, redirects, certificate checks, proxies, time limits) but
    // never conditionally: a stored ETag belongs to the payload. Without the
    // limits a signature server that stalls would hold the whole pass, and
    // with it every other bundle, reload and poll-now.
    FetchOptions options;
    options.proxy = payload_options.proxy;
    options.limits = payload_options.limits;
    options.max_body_bytes = kMaxSignatureFileBytes;
    FetchResult fetched = fetchBundle(*url, {}, bundle.authorization, tls_verify, options);
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

    auto key = parsePublicKey(state.public_key);
    if (!key) {
        logFailure(bundle, "public key unusable: ", key.error());
        return std::nullopt;
    }
    return FetchedSignature{std::move(*key), std::move(fetched.body)};
}

bool reportSignature(const Bundle& bundle, const FetchedSignature& signature,
                     const Result<void>& verified) {
    if (!verified) {
        logFailure(bundle, "", verified.error());
        return false;
    }
    log::info(Scope::quillstead, "[", bundle.name, "] signature verified (",
              keyAlgorithmName(signature.key.algorithm()), ")");
    return true;
}

bool checkSignature(const Bundle& bundle, const BundleState& state, std::string_view payload,
                    bool tls_verify, const FetchOptions& payload_options) {
    const auto signature = fetchSignature(bundle, state, tls_verify, payload_options);
    if (!signature) return false;
    return reportSignature(bundle, *signature,
                           verifySignature(signature->key, signature->file.view(), payload));
}

}  // namespace qs
