#include "sync/streaming_install.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "deploy/remove_tree.hpp"
#include "formats/inflater.hpp"
#include "log/log.hpp"
#include "platform/file_map.hpp"
#include "platform/page_buffer.hpp"
#include "sync/apply_bundle.hpp"
#include "sync/block_pipe.hpp"
#include "sync/direct_install.hpp"
#include "sync/etag_store.hpp"
#include "sync/fetch_bundle.hpp"
#include "sync/install_hooks.hpp"
#include "sync/payload_source.hpp"
#include "sync/payload_record.hpp"
#include "sync/signature_check.hpp"
#include "sync/spool.hpp"
#include "sync/version.hpp"
#include "sync/version_pin.hpp"
#include "sync/version_store.hpp"
#include "tls/digest.hpp"
#include "tls/signature.hpp"

namespace qs {

namespace {

using log::Scope;

// A spool is filled in blocks of this size: one or a few receives each, and
// a buffer that costs nothing against the memory a payload could take.
constexpr std::size_t kSpoolBlock = 256 * 1024;
// Blocks written to the spool and waiting for the hash: enough that the
// receiving side rarely waits for the hashing one, 1 MiB in all.
constexpr std::size_t kSpoolHashBlocks = 4;
// Decoded bytes of a spooled archive waiting to be written out: enough to
// carry the writer over a large file's or many small files' slow spells,
// 1 MiB in all.
constexpr std::size_t kDecodedBlocks = 8;
constexpr std::size_t kDecodedBlock = 128 * 1024;
// The decoder is asked for this much at a time: large pieces keep its
// per-call cost small, and a damaged archive (a signed one, by then) still
// fails, give or take one such piece from where it fails when decoded as
// it arrives.
constexpr std::size_t kDecodedPiece = 65536;

// The directory a raw payload's spool goes to: the one its file lands in,
// so that the spool can be renamed over it.
std::string_view directoryOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view(".") : path.substr(0, slash);
}

// What the records of an installed (or identical) payload keep besides its
// ETag: its digest while skip_identical is on (and no stale one while it is
// off, so that turning it on again never matches a payload no longer
// live), and its Last-Modified when the server sent no ETag.
void recordPayload(const Bundle& bundle, BundleState& state, const PayloadAnswer& fetched) {
    const PayloadValidators& validators = fetched.validators;
    saveEtag(bundle.target_dir, state, validators.etag,
             bundle.options.durable.value_or(false) ? Durability::flushed : Durability::plain);
    const bool skip_identical = bundle.options.skip_identical.value_or(false);
    savePayloadRecord(bundle, state, PayloadRecord::digest,
                      skip_identical && fetched.digest ? hexDigest(*fetched.digest) : std::string());
    if (bundle.options.use_last_modified.value_or(false)) {
        savePayloadRecord(bundle, state, PayloadRecord::last_modified,
                          validators.etag.empty() ? std::string_view(validators.last_modified)
                                               : std::string_view{});
    }
}

}  // namespace

StreamingInstall::StreamingInstall(const Bundle& bundle, const BundleState& state)
    : bundle_(bundle),
      state_(state),
      // A chunked bundle's signature covers its index, checked by the
      // source before any chunk was fetched; every chunk is checked against
      // its digest in the index, so the payload needs no check of its own.
      signed_(bundle.public_key.has_value() && !bundle.chunked),
      held_(bundle.target_dir) {
    if (!signed_) return;
    // A key that will not parse fails the check later, with its own line.
    for (const std::string& text : state.public_keys) {
        const auto key = parsePublicKey(text);
        if (!key) continue;
        if (verifiesIncrementally(*key)) {
            hash_spool_ = true;
        } else {
            ed25519_key_ = true;
        }
    }
}

void StreamingInstall::fetchSignatureFirst(bool tls_verify, const FetchOptions& options) {
    if (!signed_ || !ed25519_key_) return;
    early_tls_verify_ = tls_verify;
    early_options_ = &options;
}

void StreamingInstall::fetchSignatureEarly() {
    auto early = std::make_unique<EarlySignature>(bundle_.target_dir);
    early->lines.resume();
    early->fetched = fetchSignature(bundle_, state_, early_tls_verify_, *early_options_);
    early->lines.pause();
    if (early->fetched) {
        const auto& keys = early->fetched->keys;
        early->streams.resize(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (verifiesIncrementally(keys[i])) continue;
            // One that cannot begin (a signature of another key, say) is
            // checked the one-shot way, which says what is wrong.
            if (auto stream = SignatureStream::begin(keys[i], early->fetched->file.view()); stream)
                early->streams[i].emplace(std::move(*stream));
        }
    }
    early_ = std::move(early);
}

bool StreamingInstall::streamedVerifies(std::size_t key) {
    if (!early_ || !early_->complete || key >= early_->streams.size() || !early_->streams[key]) return false;
    const bool verified = early_->streams[key]->finish().has_value();
    early_->streams[key].reset();
    return verified;
}

bool StreamingInstall::directArchive() const {
    return bundle_.format != BundleFormat::raw && bundle_.mode == DeployMode::direct;
}

void StreamingInstall::discardTargetDir() { (void)removeTree(bundle_.target_dir); }

void StreamingInstall::take(std::string_view version_key, Reader& body) {
    version_ = deriveVersion(version_key);
    if (!version_) return;
    const auto made = ensureTargetDir(bundle_);
    if (!made) return;
    target_dir_ready_ = true;
    made_target_dir_ = *made == platform::DirectoryMade::created;

    if (bundle_.format == BundleFormat::raw) {
        // Without a filename there is nowhere to put it; apply() says so.
        if (!bundle_.filename) return;
        auto path = rawPath(bundle_);
        if (!path) return;
        spoolInto(directoryOf(*path), body);
        return;
    }
    if (bundle_.mode == DeployMode::direct || signed_) {
        spoolInto(bundle_.target_dir, body);
        return;
    }
    route_ = Route::versioned;
    versioned_.emplace(bundle_, *version_);
    staged_ = versioned_->prepare();
    if (staged_) staged_ = versioned_->extract(body);
}

void StreamingInstall::spoolInto(std::string_view directory, Reader& body) {
    auto made = Spool::create(directory);
    if (!made) {
        // A spool that cannot be made falls back to memory, so that the
        // install fails (or not) with the lines of an install from memory.
        keepInMemory(body);
        return;
    }
    spool_.emplace(std::move(*made));
    spool(body);
}

void StreamingInstall::consume(const NewPayload& payload) {
    if (early_options_ && !expected_sha256_) fetchSignatureEarly();
    held_.resume();
    sha256_wanted_ = hash_spool_ || payload.digest_wanted;
    BackgroundHash::Also checks;
    if (early_ && std::ranges::any_of(early_->streams, [](const auto& stream) { return stream.has_value(); })) {
        checks = [early = early_.get()](std::string_view block) {
            for (auto& stream : early->streams) {
                if (stream && !stream->update(block)) stream.reset();
            }
        };
    }
    if (sha256_wanted_ || checks) hash_.emplace(kSpoolHashBlocks, kSpoolBlock, std::move(checks), sha256_wanted_);
    take(payload.version_key, payload.bytes);
    if (hash_) finishHash(payload.bytes, payload.digest_wanted);
    held_.pause();
}

void StreamingInstall::spool(Reader& body) {
    route_ = Route::spooled;
    if (hash_) {
        spoolHashed(body);
        return;
    }
    std::unique_ptr<char[]> block(new (std::nothrow) char[kSpoolBlock]);
    if (!block) {
        spool_written_ = std::unexpected(Error::OutOfMemory);
        return;
    }
    for (;;) {
        const auto n = body.read(std::span<char>(block.get(), kSpoolBlock));
        if (!n) return;
        if (*n == 0) break;
        if (auto written = spool_->write({block.get(), *n}); !written) {
            spool_written_ = written;
            return;
        }
    }
}

void StreamingInstall::spoolHashed(Reader& body) {
    // This thread only receives and writes; the digest is taken on the
    // other core from the blocks just written, so a key that signs a digest
    // (or skip_identical) costs the install next to nothing while the body
    // arrives.
    for (;;) {
        const std::span<char> block = hash_->block();
        if (block.empty()) {
            spool_written_ = std::unexpected(Error::OutOfMemory);
            return;
        }
        const auto n = body.read(block);
        if (!n) {
            body_read_ = BodyRead::failed;
            return;
        }
        if (*n == 0) {
            body_read_ = BodyRead::to_its_end;
            return;
        }
        auto written = spool_->write({block.data(), *n});
        hash_->add(*n);
        if (!written) {
            spool_written_ = written;
            return;
        }
    }
}

void StreamingInstall::finishHash(Reader& body, bool digest_wanted) {
    if (digest_wanted) {
        // The source hashes nothing: what the routes did not hash as they
        // went is hashed here, to the end of the payload.
        if (route_ == Route::memory) hash_->addBytes(memory_.view());
        while (body_read_ == BodyRead::partly) {
            const std::span<char> block = hash_->block();
            if (block.empty()) break;
            const auto n = body.read(block);
            if (!n) {
                body_read_ = BodyRead::failed;
            } else if (*n == 0) {
                body_read_ = BodyRead::to_its_end;
            } else {
                hash_->add(*n);
            }
        }
    }
    if (body_read_ == BodyRead::to_its_end) {
        bool hashed = false;
        if (!sha256_wanted_) {
            hashed = hash_->end();
        } else if (const auto digest = hash_->finish(); digest) {
            hashed = true;
            if (route_ == Route::spooled && spool_written_) spool_digest_ = *digest;
            if (digest_wanted) payload_digest_ = *digest;
        }
        if (early_) early_->complete = hashed && route_ == Route::spooled && spool_written_;
    }
    hash_.reset();
}

void StreamingInstall::keepInMemory(Reader& body) {
    route_ = Route::memory;
    for (;;) {
        const auto spare = memory_.spare(kSpoolBlock);
        if (!spare) return;
        const auto n = body.read(*spare);
        if (!n) {
            body_read_ = BodyRead::failed;
            return;
        }
        if (*n == 0) {
            body_read_ = BodyRead::to_its_end;
            return;
        }
        memory_.grow(*n);
    }
}

Result<void> StreamingInstall::apply(std::string_view etag) {
    switch (route_) {
    case Route::nothing:
        // Only a raw bundle without a filename gets here with a payload, and
        // applyRaw says what is missing; an unverified payload goes no further.
        if (signed_ && bundle_.filename) return std::unexpected(Error::OutOfMemory);
        return applyBundle(bundle_, *version_, {}, etag);
    case Route::memory: return applyBundle(bundle_, *version_, memory_.view(), etag);
    case Route::versioned:
        if (!staged_) return staged_;
        return versioned_->finish(etag);
    case Route::spooled:
        if (!spool_written_) {
            log::error(Scope::bundle, "failed to write ", spool_->path(), ": ",
                       spool_written_.error());
            if (directArchive()) reportDirectUnchanged(bundle_);
            const Error cause = spool_written_.error();
            return std::unexpected(isStorageFull(cause) ? cause : Error::WriteFailed);
        }
        if (bundle_.format == BundleFormat::raw) return applyRawFrom(bundle_, *version_, *spool_, etag);
        spool_->removeName();
        SpoolReader reader(*spool_);
        // The spool is all there (and checked, when signed): it is decoded
        // on the other core while this one writes the files, so a spooled
        // payload installs faster than one extracted as it arrives, which
        // makes up for the wait the spool cost.
        std::array<char, kInflateWorkspaceSize> workspace;
        Inflater inflater(reader, Container::gzip, workspace);
        std::optional<ReadAhead> decoded;
        if (extractLimits(bundle_).coding == ArchiveCoding::gzip)
            decoded.emplace(inflater, kDecodedBlocks, kDecodedBlock, kDecodedPiece);
        Reader& archive = decoded ? static_cast<Reader&>(*decoded) : reader;
        const ArchiveStream stream = decoded ? ArchiveStream::decoded : ArchiveStream::as_published;
        // Once read, the spool goes before the files are flushed: closed
        // without a name, its pages are dropped, where an open spool would
        // be written to the disk with the files it was only the source of.
        // The decoding worker stops first, so the hooks start with no
        // thread beside them.
        const auto read_done = [&] {
            decoded.reset();
            spool_.reset();
        };
        if (bundle_.mode == DeployMode::direct)
            return applyDirectFrom(bundle_, *version_, archive, etag, stream, read_done);
        VersionedInstall install(bundle_, *version_);
        QS_TRY(install.prepare());
        const auto extracted = install.extract(archive, stream);
        read_done();
        QS_TRY(extracted);
        return install.finish(etag);
    }
    return std::unexpected(Error::Unexpected);
}

bool StreamingInstall::signatureVerifies(const BundleState& state, bool tls_verify,
                                         const FetchOptions& options) {
    std::optional<FetchedSignature> signature;
    if (early_) {
        early_->lines.release();
        signature = std::move(early_->fetched);
    } else {
        signature = fetchSignature(bundle_, state, tls_verify, options);
    }
    if (!signature) return false;
    if (route_ == Route::memory) return reportSignature(bundle_, verifyWithAnyKey(*signature, memory_.view()));
    // Mapped, not read into memory, and only for a key that needs the
    // bytes: the kernel pages the spool in as the check reads it and can
    // drop those pages again.
    std::optional<platform::FileMap> mapped;
    const auto spooled = [&]() -> Result<std::string_view> {
        auto map = platform::FileMap::map(spool_->fd(), spool_->size());
        if (!map) return std::unexpected(map.error());
        mapped = std::move(*map);
        return mapped->view();
    };
    return reportSignature(bundle_, verifyWithAnyKey(*signature, spool_digest_, spooled,
                                                     [this](std::size_t key) { return streamedVerifies(key); }));
}

SyncOutcome StreamingInstall::finish(BundleState& state, const PayloadAnswer& fetched,
                                     bool tls_verify, const FetchOptions& options) {
    finished_ = true;
    // A body that found no place (no target_dir, no filename) or could not
    // be spooled whole installs nothing anyway; its own line says why.
    const bool kept = route_ == Route::memory || (route_ == Route::spooled && spool_written_);
    if (expected_sha256_) {
        // Spooled like a signed payload; the digest taken while it arrived
        // is checked before anything is extracted or written.
        const std::string got = fetched.digest ? hexDigest(*fetched.digest) : std::string("none");
        if (kept && got != *expected_sha256_) {
            held_.discard();
            log::error(Scope::quillstead, "[", bundle_.name, "] payload refused: sha256 ", got,
                       " is not the ", *expected_sha256_, " of its metadata");
            return SyncOutcome::signature_failed;
        }
    } else if (signed_ && kept && !signatureVerifies(state, tls_verify, options)) {
        // The spool goes with this install; a target_dir this cycle made
        // stays, as it would after any failed install.
        held_.discard();
        if (directArchive()) reportDirectUnchanged(bundle_);
        return SyncOutcome::signature_failed;
    }
    if (bundle_.options.skip_identical.value_or(false) && fetched.digest &&
        !state.payload_digest.empty() && hexDigest(*fetched.digest) == state.payload_digest) {
        // Servers of one farm may give the same file different ETags: the
        // payload is what is live already, so nothing is installed (what was
        // staged or spooled goes) and the hook does not run; the new ETag
        // makes the next poll a 304 again.
        held_.discard();
        log::info(Scope::quillstead, "[", bundle_.name, "] unchanged (same payload, new etag)");
        recordPayload(bundle_, state, fetched);
        return SyncOutcome::unchanged;
    }
    if (const auto pin = loadPin(bundle_.target_dir)) {
        // Pinned by an operator: polled and reported, never installed;
        // what was staged or spooled goes, and the payload's ETag is sent
        // along from now on, so the same payload is not downloaded again.
        held_.discard();
        log::info(Scope::quillstead, "[", bundle_.name, "] pinned to ", shownVersion(*pin),
                  ": not installing ", version_ ? std::string_view(*version_) : std::string_view("a new version"));
        state.refused_etag = fetched.validators.etag;
        state.refused_by_pin = true;
        return SyncOutcome::pinned;
    }
    if (!version_) {
        held_.release();
        log::error(Scope::quillstead, "[", bundle_.name, "] bundle apply failed: ", version_.error());
        return SyncOutcome::apply_failed;
    }
    if (fetched.chunks) {
        log::info(Scope::quillstead, "[", bundle_.name, "] new version: ", *version_, " (",
                  fetched.size, " bytes, ", fetched.chunks->fetched, " of ",
                  fetched.chunks->total, " chunks fetched, ", fetched.chunks->downloaded,
                  " bytes downloaded)");
        state.status.bytes = fetched.chunks->downloaded;
    } else {
        log::info(Scope::quillstead, "[", bundle_.name, "] new version: ", *version_, " (",
                  fetched.size, " bytes)");
        state.status.bytes = fetched.size;
    }
    held_.release();
    if (!target_dir_ready_) return SyncOutcome::apply_failed;
    if (auto applied = apply(fetched.validators.etag); !applied) {
        if (applied.error() == Error::PreSwitchRefused) {
            // Logged with its reason already. Remembered so that the next
            // polls ask for something else than this payload.
            state.refused_etag = fetched.validators.etag;
            state.refused_by_pin = false;
            return SyncOutcome::refused;
        }
        log::error(Scope::quillstead, "[", bundle_.name, "] bundle apply failed: ", applied.error());
        return SyncOutcome::apply_failed;
    }
    state.refused_etag.clear();
    recordPayload(bundle_, state, fetched);
    state.status.version = *version_;
    // The line that says what went live: "new version:" only announced
    // the download.
    log::info(Scope::quillstead, "[", bundle_.name, "] installed version ", *version_);
    return cycleHooks().post_sync_failed != 0 ? SyncOutcome::hook_failed : SyncOutcome::installed;
}

}  // namespace qs
