#include "deploy/remove_tree.hpp"

namespace qs {

Result<void> removeTree(std::string_view path) {
    (void)path;
    return std::unexpected(Error::Unexpected);
}

}  // namespace qs
