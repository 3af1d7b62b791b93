// libFuzzer target for the Hello reader: every message, as a ClientHello
// and as a ServerHello, and the readers of the pieces inside them. The
// sanitizers catch any read outside the input; the target itself checks
// that every view a parse returns lies inside the input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tls/hello_message.hpp"

namespace {

using namespace qs;

void requireWithin(HelloBytes part, HelloBytes whole) {
    if (part.empty()) return;
    if (part.data() < whole.data() || part.data() + part.size() > whole.data() + whole.size())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const HelloBytes input(data, size);
    for (const HelloSender sender : {HelloSender::client, HelloSender::server}) {
        const auto hello = parseHello(input, sender);
        if (!hello) continue;
        requireWithin(hello->session_id, input);
        (void)isHelloRetryRequest(*hello);
        (void)carriesDowngradeSentinel(*hello);
        (void)selectedVersion(*hello);
        for (const HelloExtension& extension : hello->extensions) {
            requireWithin(extension.body, input);
            (void)keyShareGroups(extension.body);
            (void)codeList(extension.body);
        }
    }
    (void)handshakeSignatureScheme(input);
    return 0;
}
