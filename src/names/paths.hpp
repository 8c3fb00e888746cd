// File paths as records show them: relative to the working directory.
#pragma once

#include <array>
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
// The directory is read every time, since any code may change it; the
// relative path is worked out once per file name and directory, in a small
// direct-mapped table. `key` only picks the entry (the caller's file name
// object, say): each entry is checked against the texts themselves. The
// text is made in the cache's own buffers, valid until its next call.
class LocationCache {
public:
    std::string_view location(const void* key, std::string_view filename, std::uint64_t line);

private:
    std::string text_;
    struct Entry {
        std::string filename;
        std::string directory;
        // `filename` as recorded under `directory`, ":" and the line of the
        // entry's last use: the text returned, kept from call to call.
        std::string located;
        std::size_t path_and_colon = 0;
    };
    std::array<Entry, 64> entries_;
};

}  // namespace zelm
