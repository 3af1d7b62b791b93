#include "sync/apply_bundle.hpp"

#include "log/log.hpp"

namespace qs {

using log::Scope;

Result<platform::DirectoryMade> ensureTargetDir(const Bundle& bundle) {
    auto made = platform::makeDirectory(bundle.target_dir);
    if (!made) {
        log::error(Scope::quillstead, "[", bundle.name, "] failed to create target_dir ",
                   bundle.target_dir, ": ", made.error());
    }
    return made;
}

Result<void> applyBundle(const Bundle& bundle, std::string_view version, std::string_view body,
                         std::string_view etag) {
    if (bundle.format == BundleFormat::raw) return applyRaw(bundle, version, body, etag);
    if (bundle.mode == DeployMode::direct) return applyDirect(bundle, version, body, etag);
    return applyVersioned(bundle, version, body, etag);
}

}  // namespace qs
