#include "deploy/ownership.hpp"

namespace qs {

void applyOwnership(int fd, std::string_view display_path,
                    const std::optional<std::string>& extract_owner,
                    std::optional<std::uint32_t> extract_mode, std::uint32_t entry_mode) {
    (void)fd;
    (void)display_path;
    (void)extract_owner;
    (void)extract_mode;
    (void)entry_mode;
}

}  // namespace qs
