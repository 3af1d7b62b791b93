#pragma once
// "metadata --bundle NAME --serial N --expires DURATION PAYLOAD": the
// publisher's side of signed metadata. Prints the metadata file of a
// payload (its size and SHA-256, read from the file), to be signed with
// signify or openssl like a payload and published beside it.

#include "core/commands.hpp"

namespace qs {

// The value options of the command, for its syntax entry.
inline constexpr std::string_view kMetadataValueOptions[] = {"--bundle", "--serial", "--expires"};

// DURATION is a whole number followed by s, m, h, d or w (seconds without
// one), counted from now. 0 after printing; 1 when the payload cannot be
// read; 2 with "error: ..." and the usage line when an option is missing
// or its value would not make a file the agent accepts.
[[nodiscard]] int runMetadata(const Invocation& invocation);

// The seconds a DURATION names, or nothing when it is not one.
[[nodiscard]] std::optional<std::int64_t> durationSeconds(std::string_view text);

}  // namespace qs
