#include "formats/buffered_reader.hpp"

#include <algorithm>
#include <cstring>

namespace qs {

void BufferedReader::compact() {
    if (start_ == 0) return;
    const std::size_t length = end_ - start_;
    if (length > 0) std::memmove(storage_.data(), storage_.data() + start_, length);
    start_ = 0;
    end_ = length;
}

Result<std::size_t> BufferedReader::read(std::span<char> out) {
    if (out.empty()) return 0;
    if (start_ == end_) {
        start_ = end_ = 0;
        if (out.size() >= storage_.size()) return source_.read(out);
        QS_TRY_ASSIGN(const std::size_t added, fillMore());
        if (added == 0) return 0;
    }
    const std::size_t n = std::min(out.size(), end_ - start_);
    std::memcpy(out.data(), storage_.data() + start_, n);
    consume(n);
    return n;
}

Result<std::size_t> BufferedReader::fillMore() {
    compact();
    if (end_ == storage_.size()) return 0;
    QS_TRY_ASSIGN(const std::size_t n, source_.read(storage_.subspan(end_)));
    end_ += n;
    return n;
}

Result<std::size_t> BufferedReader::fill(std::size_t count) {
    count = std::min(count, storage_.size());
    if (storage_.size() - start_ < count) compact();
    while (end_ - start_ < count) {
        QS_TRY_ASSIGN(const std::size_t n, source_.read(storage_.subspan(end_)));
        if (n == 0) break;
        end_ += n;
    }
    return end_ - start_;
}

void BufferedReader::consume(std::size_t count) {
    start_ += std::min(count, end_ - start_);
    if (start_ == end_) start_ = end_ = 0;
}

std::optional<std::size_t> BufferedReader::findByte(char byte) const {
    const std::string_view look = buffered();
    const std::size_t at = look.find(byte);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

Result<void> BufferedReader::readExact(std::span<char> out) {
    while (!out.empty()) {
        QS_TRY_ASSIGN(const std::size_t n, read(out));
        if (n == 0) return std::unexpected(Error::UnexpectedEndOfStream);
        out = out.subspan(n);
    }
    return {};
}

Result<void> BufferedReader::skip(std::uint64_t count) {
    while (count > 0) {
        if (start_ == end_) {
            QS_TRY_ASSIGN(const std::size_t n, fillMore());
            if (n == 0) return std::unexpected(Error::UnexpectedEndOfStream);
        }
        const std::size_t step =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - start_));
        consume(step);
        count -= step;
    }
    return {};
}

}  // namespace qs
