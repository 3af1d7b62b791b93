#pragma once
// Bundles as the install tests configure them by hand, without a
// configuration file.

#include <string>

#include "config/config.hpp"

namespace qs::test {

// A bundle named "b" that installs into `target_dir`. The URL is only a name
// for the log unless the test serves the payload there.
Bundle bundleAt(const std::string& target_dir, DeployMode mode = DeployMode::versioned,
                BundleFormat format = BundleFormat::archive, const std::string& url = "http://127.0.0.1/");

}  // namespace qs::test
