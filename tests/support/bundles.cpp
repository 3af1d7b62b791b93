#include "support/bundles.hpp"

namespace qs::test {

Bundle bundleAt(const std::string& target_dir, DeployMode mode, BundleFormat format,
                const std::string& url) {
    Bundle b;
    b.name = "b";
    b.url = url;
    b.target_dir = target_dir;
    b.mode = mode;
    b.format = format;
    return b;
}

}  // namespace qs::test
