#include "support/signing.hpp"

#include <gtest/gtest.h>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {

namespace {

std::string pathOf(const std::string& directory, std::string_view name, std::string_view suffix) {
    return directory + "/" + std::string(name) + std::string(suffix);
}

}  // namespace

std::string runTool(const std::vector<std::string>& argv) {
    RunOptions options;
    options.args.assign(argv.begin() + 1, argv.end());
    // The tools are found where Debian installs them.
    std::string program = argv.front();
    if (program.find('/') == std::string::npos) program = "/usr/bin/" + program;
    const ProcessResult result = runProcess(program, options);
    EXPECT_EQ(result.exit_status, 0) << argv.front() << " failed: " << result.err;
    return result.out;
}

SigningKey makeSigningKey(const std::string& directory, std::string_view name, SigningKind kind) {
    SigningKey key;
    key.kind = kind;
    key.public_path = pathOf(directory, name, ".pub");
    key.secret_path = pathOf(directory, name, ".sec");
    if (kind == SigningKind::signify) {
        runTool({"signify-openbsd", "-G", "-n", "-p", key.public_path, "-s", key.secret_path});
        return key;
    }
    std::vector<std::string> generate = {"openssl", "genpkey", "-out", key.secret_path};
    switch (kind) {
    case SigningKind::ed25519: generate.insert(generate.end(), {"-algorithm", "ed25519"}); break;
    case SigningKind::p256:
        generate.insert(generate.end(), {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"});
        break;
    case SigningKind::p384:
        generate.insert(generate.end(), {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"});
        break;
    case SigningKind::rsa2048:
        generate.insert(generate.end(), {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"});
        break;
    case SigningKind::rsa1024:
        generate.insert(generate.end(), {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"});
        break;
    case SigningKind::signify: break;
    }
    runTool(generate);
    runTool({"openssl", "pkey", "-in", key.secret_path, "-pubout", "-out", key.public_path});
    return key;
}

std::string signFile(const SigningKey& key, const std::string& payload_path) {
    const std::string signature_path = payload_path + ".sig";
    switch (key.kind) {
    case SigningKind::signify:
        runTool({"signify-openbsd", "-S", "-s", key.secret_path, "-m", payload_path, "-x",
                 signature_path});
        break;
    case SigningKind::ed25519:
        runTool({"openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key.secret_path, "-in",
                 payload_path, "-out", signature_path});
        break;
    default:
        runTool({"openssl", "dgst", "-sha256", "-sign", key.secret_path, "-out", signature_path,
                 payload_path});
        break;
    }
    return readFile(signature_path);
}

}  // namespace qs::test
