#include "util/path.hpp"

#include <cstring>

namespace qs {

Result<void> checkSystemPath(std::string_view path) {
    if (path.size() >= kMaxSystemPath) return std::unexpected(Error::NameTooLong);
    return {};
}

Result<void> PathBuffer::append(std::string_view piece) {
    if (piece.size() >= kPathBufferSize - length_) return std::unexpected(Error::NameTooLong);
    std::memcpy(bytes_.data() + length_, piece.data(), piece.size());
    length_ += piece.size();
    bytes_[length_] = '\0';
    return {};
}

Result<void> PathBuffer::append(std::initializer_list<std::string_view> pieces) {
    const std::size_t start = length_;
    for (std::string_view piece : pieces) {
        if (auto r = append(piece); !r) {
            truncate(start);
            return r;
        }
    }
    return {};
}

void PathBuffer::truncate(std::size_t length) {
    if (length < length_) {
        length_ = length;
        bytes_[length_] = '\0';
    }
}

Result<void> composeSystemPath(PathBuffer& out, std::initializer_list<std::string_view> pieces) {
    out.clear();
    QS_TRY(out.append(pieces));
    return checkSystemPath(out.view());
}

}  // namespace qs
