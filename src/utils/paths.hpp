// File paths as records show them: relative to the working directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelm {

// `filename` relative to `directory` when it lies inside it, compared by
// whole path components (empty and "." components are skipped, as a path
// library would); otherwise nullopt.
std::optional<std::string_view> relative_to(std::string_view filename, std::string_view directory);

// "<path relative to the working directory>:<line>"; a working directory
// that cannot be read (removed under us) leaves the file name unchanged.
std::string location(std::string_view filename, std::uint64_t line);

}  // namespace zelm
