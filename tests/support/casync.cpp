#include "support/casync.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/process.hpp"

namespace qs::test {

bool haveCasync() { return access(kCasyncPath, X_OK) == 0; }

bool casyncMake(const std::string& blob, const std::string& index, const std::string& store,
                const CasyncOptions& options) {
    RunOptions run;
    run.args = {"make", "--store=" + store,
                options.digest == CasyncDigest::sha256 ? "--digest=sha256" : "--digest=sha512-256"};
    if (!options.chunk_size.empty()) run.args.push_back("--chunk-size=" + options.chunk_size);
    if (!options.compression.empty()) run.args.push_back("--compression=" + options.compression);
    run.args.push_back(index);
    run.args.push_back(blob);
    run.timeout = std::chrono::milliseconds(120000);
    const ProcessResult r = runProcess(kCasyncPath, run);
    if (r.exit_status != 0) {
        ADD_FAILURE() << "casync make " << blob << " failed: " << r.err;
        return false;
    }
    return true;
}

}  // namespace qs::test
