#include "filters/finder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelm {
namespace {

struct FinderCase {
    std::string name;
    std::string needle;
    std::string haystack;
    bool matches;
};

class FinderMatches : public testing::TestWithParam<FinderCase> {};

TEST_P(FinderMatches, FindsNeedleAnywhere) {
    const FinderCase& c = GetParam();
    EXPECT_EQ(Finder(c.needle).matches(c.haystack), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FinderMatches,
    testing::Values(
        FinderCase{"empty_needle_in_text", "", "/app/views.py", true},
        FinderCase{"empty_needle_in_empty", "", "", true},
        FinderCase{"needle_in_empty", "a", "", false},
        FinderCase{"needle_longer_than_haystack", "site-packages/x", "site-packages", false},
        FinderCase{"equal", "abc", "abc", true},
        FinderCase{"at_start", "/usr/lib", "/usr/lib/python3.10/os.py", true},
        FinderCase{"at_end", "os.py", "/usr/lib/python3.10/os.py", true},
        FinderCase{"in_middle", "python3", "/usr/lib/python3.10/os.py", true},
        FinderCase{"absent", "django", "/usr/lib/python3.10/os.py", false},
        FinderCase{"case_sensitive", "Lib", "/usr/lib/os.py", false},
        FinderCase{"partial_overlap_at_end", "os.pyc", "/usr/lib/os.py", false},
        FinderCase{"non_ascii_bytes", "caf\xc3\xa9", "/srv/caf\xc3\xa9/app.py", true},
        // A different encoding of the same letter is a different byte sequence.
        FinderCase{"non_ascii_bytes_differ", "cafe\xcc\x81", "/srv/caf\xc3\xa9/app.py", false},
        FinderCase{"embedded_nul", std::string("a\0b", 3), std::string("xa\0by", 5), true},
        FinderCase{"mismatch_after_nul", std::string("a\0c", 3),
                   std::string("xa\0by", 5), false}),
    [](const testing::TestParamInfo<FinderCase>& info) { return info.param.name; });

TEST(BuildFinders, KeepsPatternOrder) {
    const std::vector<Finder> finders = build_finders({"zeta", "alpha", "", "mid"});
    ASSERT_EQ(finders.size(), 4u);
    EXPECT_EQ(finders[0].needle(), "zeta");
    EXPECT_EQ(finders[1].needle(), "alpha");
    EXPECT_EQ(finders[2].needle(), "");
    EXPECT_EQ(finders[3].needle(), "mid");
}

TEST(BuildFinders, AnyMatches) {
    const std::vector<Finder> finders = build_finders({"site-packages", "<frozen"});
    EXPECT_TRUE(any_matches(finders, "/venv/lib/site-packages/django/db.py"));
    EXPECT_TRUE(any_matches(finders, "<frozen importlib._bootstrap>"));
    EXPECT_FALSE(any_matches(finders, "/app/views.py"));
    EXPECT_FALSE(any_matches(build_finders({}), "/app/views.py"));
}

}  // namespace
}  // namespace zelm
