#pragma once
// Every failure the daemon reports is one of these names; the name is what
// the logs show ("error.FileNotFound"), so the list and the name table are
// generated from one list and cannot drift apart.

#include <cstdint>
#include <expected>
#include <string_view>

namespace qs {

#define QS_ERROR_LIST(X)                                                                           \
    /* files and directories */                                                                    \
    X(FileNotFound) X(AccessDenied) X(PermissionDenied) X(NameTooLong) X(FileTooBig) X(IsDir)      \
    X(NotDir) X(SymLinkLoop) X(InputOutput) X(SystemResources) X(ProcessFdQuotaExceeded)           \
    X(SystemFdQuotaExceeded) X(NoSpaceLeft) X(DiskQuota) X(ReadOnlyFileSystem) X(PathAlreadyExists) \
    X(FileBusy) X(DeviceBusy) X(NoDevice) X(LinkQuotaExceeded) X(DirNotEmpty) X(BadPathName)       \
    X(RenameAcrossMountPoints) X(FileLocksNotSupported) X(FileSystem) X(WouldBlock)                \
    X(CannotDeleteRootDirectory) X(BrokenPipe)                                                     \
    /* generic */                                                                                  \
    X(OutOfMemory) X(ReadFailed) X(WriteFailed) X(Unexpected) X(EndOfStream)                       \
    X(UnexpectedEndOfStream) X(StreamTooLong) X(InvalidCharacter) X(InvalidPadding) X(Overflow)    \
    X(UnexpectedCharacter) X(InvalidFormat) X(TimedOut) X(Interrupted)                             \
    /* deployment and extraction */                                                                \
    X(ConfigError) X(MakePath) X(ExtractFailed) X(CreateFileFailed) X(HookFailed)                  \
    X(PreSwitchRefused)                                                                            \
    /* tar */                                                                                      \
    X(TarParseFailed) X(TarHeaderChksum) X(TarHeadersTooBig) X(TarInsufficientBuffer)              \
    X(TarNumericValueNegative) X(TarNumericValueTooBig) X(TarUnsupportedHeader)                    \
    X(PaxInvalidAttributeEnd) X(PaxNullInKeyword) X(PaxNullInValue) X(PaxSizeAttrOverflow)         \
    X(TarHeader)                                                                                   \
    /* URIs */                                                                                     \
    X(UnsupportedUriScheme) X(UriMissingHost) X(UriHostTooLong) X(UriHostInvalid) X(InvalidPort)   \
    /* names and connections */                                                                    \
    X(UnknownHostName) X(TemporaryNameServerFailure) X(NameServerFailure)                          \
    X(HostLacksNetworkAddresses) X(ConnectionRefused) X(NetworkUnreachable) X(ConnectionTimedOut)  \
    X(ConnectionResetByPeer) X(UnexpectedConnectFailure)                                           \
    /* HTTP */                                                                                     \
    X(HttpHeadersOversize) X(HttpHeadersInvalid) X(HttpChunkInvalid) X(HttpChunkTruncated)         \
    X(HttpContentEncodingUnsupported) X(HttpRequestTruncated) X(HttpConnectionClosing)             \
    X(HttpRedirectLocationMissing) X(HttpRedirectLocationOversize) X(HttpRedirectLocationInvalid)  \
    X(TooManyHttpRedirects) X(RedirectRequiresResend) X(ProxyRefused) X(HttpRedirectDowngrade)       \
    /* TLS and certificates */                                                                     \
    X(TlsInitializationFailed) X(TlsAlert) X(TlsIllegalParameter) X(TlsUnexpectedMessage)          \
    X(TlsCertificateNotVerified) X(TlsBadSignatureScheme) X(TlsBadRecordMac) X(TlsRecordOverflow)  \
    X(TlsDecryptFailure) X(TlsDecryptError) X(TlsDecodeError) X(TlsBadRsaSignatureBitCount)        \
    X(TlsBadLength) X(CertificateBundleLoadFailure) X(CertificateAuthorityBundleTooBig)            \
    X(MissingEndCertificateMarker) X(CertificateHostMismatch) X(CertificateExpired)                \
    X(CertificateNotYetValid) X(CertificateIssuerMismatch) X(CertificateSignatureInvalid)          \
    X(CertificateSignatureAlgorithmUnsupported) X(CertificateSignatureAlgorithmMismatch)           \
    X(CertificateSignatureNamedCurveUnsupported) X(CertificatePublicKeyInvalid)                   \
    X(CertificateMalformed) X(CertificateNotCa) X(CertificateKeyUsageInvalid)                      \
    X(CertificatePathLengthExceeded) X(CertificateNameConstraintViolated)                          \
    X(CertificatePurposeInvalid) X(CertificateCriticalExtensionUnknown)                            \
    X(CertificateExtensionInvalid) X(ClientCertificateMalformed) X(ClientKeyMalformed)             \
    X(ClientKeyMismatch) X(KeyFileOpenToOthers)                                                    \
    /* signing keys and signatures */                                                              \
    X(KeyFormatUnknown) X(KeyIsPrivate) X(KeyIsCertificate) X(KeyAlgorithmUnsupported)            \
    X(KeyTooSmall) X(KeyMalformed) X(SignatureMalformed) X(SignatureKeyNumberMismatch)             \
    X(SignatureMismatch)                                                                           \
    /* limits on a payload */                                                                      \
    X(ArchiveTooLarge) X(ArchiveTooManyEntries)                                                    \
    /* chunks */                                                                                   \
    X(NotZstd) X(ChunkDigestMismatch)                                                              \
    /* bundle metadata */                                                                          \
    X(MetadataLineUnknown) X(MetadataLineDuplicate) X(MetadataLineMissing)                         \
    X(MetadataLineMalformed)

enum class Error : std::uint16_t {
#define QS_ERROR_ENUM(name) name,
    QS_ERROR_LIST(QS_ERROR_ENUM)
#undef QS_ERROR_ENUM
};

// The bare CamelCase name, for example "FileNotFound".
std::string_view errorName(Error e);

// A file system that is full, or the user's share of it: the one write
// failure an operator can act on from the name alone, so the steps that
// would otherwise fold it into a generic failure pass it on.
[[nodiscard]] constexpr bool isStorageFull(Error e) {
    return e == Error::NoSpaceLeft || e == Error::DiskQuota;
}

template <class T = void>
using Result = std::expected<T, Error>;

// Early return of a failed Result to the caller: QS_TRY(stepThatMayFail());
#define QS_TRY(expr)                                                                               \
    do {                                                                                           \
        auto qs_try_result_ = (expr);                                                              \
        if (!qs_try_result_) return std::unexpected(qs_try_result_.error());                       \
    } while (0)

// Binds the value of a successful Result: QS_TRY_ASSIGN(auto fd, openFile(path));
#define QS_CONCAT_INNER_(a, b) a##b
#define QS_CONCAT_(a, b) QS_CONCAT_INNER_(a, b)
#define QS_TRY_ASSIGN(lhs, expr) QS_TRY_ASSIGN_IMPL_(QS_CONCAT_(qs_try_, __LINE__), lhs, expr)
#define QS_TRY_ASSIGN_IMPL_(tmp, lhs, expr)                                                        \
    auto tmp = (expr);                                                                             \
    if (!tmp) return std::unexpected(tmp.error());                                                 \
    lhs = std::move(*tmp)

}  // namespace qs
