#include "names/paths.hpp"

#include <unistd.h>

#include <charconv>
#include <climits>
#include <iterator>

namespace zelm {

std::optional<std::string_view> relative_to(std::string_view filename, std::string_view directory) {
    auto next_component = [](std::string_view& path) {
        while (true) {
            while (!path.empty() && path.front() == '/') path.remove_prefix(1);
            std::size_t end = path.find('/');
            std::string_view component = path.substr(0, end);
            path.remove_prefix(component.size());
            if (component != ".") return component;
        }
    };
    // An absolute directory only ever contains absolute paths.
    if (directory.empty() || filename.empty() || (directory.front() == '/') != (filename.front() == '/')) {
        return std::nullopt;
    }
    std::string_view rest = filename;
    std::string_view base = directory;
    while (true) {
        std::string_view wanted = next_component(base);
        if (wanted.empty()) break;
        if (next_component(rest) != wanted) return std::nullopt;
    }
    // What is left starts at the next real component.
    while (true) {
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
        if (rest != "." && !rest.starts_with("./")) return rest;
        rest.remove_prefix(1);
    }
}

std::string_view LocationCache::location(const void* key, std::string_view filename, std::uint64_t line) {
    char directory_text[PATH_MAX];
    char digits[20];
    const auto written = std::to_chars(std::begin(digits), std::end(digits), line);
    if (getcwd(directory_text, sizeof directory_text) == nullptr) {
        text_.assign(filename);
        text_.push_back(':');
        text_.append(digits, written.ptr);
        return text_;
    }
    const std::string_view directory(directory_text);
    Entry& entry = entries_[(reinterpret_cast<std::uintptr_t>(key) >> 4) % entries_.size()];
    if (entry.filename != filename || entry.directory != directory) {
        entry.located = relative_to(filename, directory).value_or(filename);
        entry.located.push_back(':');
        entry.path_and_colon = entry.located.size();
        entry.filename = filename;
        entry.directory = directory;
    }
    // The entry's text ends with the line number of its last use.
    entry.located.resize(entry.path_and_colon);
    entry.located.append(digits, written.ptr);
    return entry.located;
}

}  // namespace zelm
