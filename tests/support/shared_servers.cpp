#include "support/shared_servers.hpp"

#include <filesystem>

#include "support/agent_run.hpp"
#include "support/web_servers.hpp"

namespace qs::test {

PkiSite::PkiSite() {
    makeWorldReadable(dir.str());
    std::filesystem::create_directories(dir / "pki");
    pki = makeTestPki(dir / "pki");
    shell("cp '" + pki.ca_certificate + "' '" + ca_dir.str() + "/test-ca.pem'");
}

}  // namespace qs::test
