#include "deploy/post_sync.hpp"

namespace qs {

Result<void> runPostSync(std::string_view command) {
    (void)command;
    return std::unexpected(Error::HookFailed);
}

}  // namespace qs
