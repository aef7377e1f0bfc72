// What every command of the tool shares: its arguments, numbers as firmware makers write them,
// and the one-line form of an error.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string_view>

namespace kestro::tools {

// A command's arguments, behind the command's name.
using Arguments = std::span<const std::string_view>;

// Exit statuses shared by the commands; list and select add their own "no" (see kUsage).
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;

// Decimal, or hexadecimal with a 0x prefix, as addresses and model ids are written.
std::optional<std::uint64_t> ParseNumber(std::string_view text);

// Writes "kestro-package: MESSAGE" as one line and gives the error status.
int Fail(std::ostream& err, std::string_view message);

}  // namespace kestro::tools
