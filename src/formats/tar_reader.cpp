#include "formats/tar_reader.hpp"

namespace qs {

Result<std::optional<TarEntry>> TarReader::next() { return std::unexpected(Error::TarParseFailed); }

Result<void> TarReader::streamData(TarDataSink&) { return std::unexpected(Error::ReadFailed); }

Result<std::size_t> TarReader::readData(std::span<char>) { return std::unexpected(Error::ReadFailed); }

}  // namespace qs
