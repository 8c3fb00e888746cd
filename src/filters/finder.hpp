// Substring search with an owned needle, compared byte for byte.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zelm {

class Finder {
public:
    explicit Finder(std::string needle) : needle_(std::move(needle)) {}

    // True when the needle occurs anywhere in `haystack`; an empty needle
    // occurs everywhere. glibc's memmem is a two-way search with no allocation.
    bool matches(std::string_view haystack) const {
        if (needle_.empty()) return true;
        if (needle_.size() > haystack.size()) return false;
        return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
    }

    const std::string& needle() const { return needle_; }

private:
    std::string needle_;
};

// One finder per pattern, in order.
inline std::vector<Finder> build_finders(std::vector<std::string> patterns) {
    std::vector<Finder> finders;
    finders.reserve(patterns.size());
    for (auto& pattern : patterns) finders.emplace_back(std::move(pattern));
    return finders;
}

inline bool any_matches(const std::vector<Finder>& finders, std::string_view haystack) {
    for (const auto& finder : finders) {
        if (finder.matches(haystack)) return true;
    }
    return false;
}

}  // namespace zelm
