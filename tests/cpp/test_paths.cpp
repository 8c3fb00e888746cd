#include "utils/paths.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zelm {
namespace {

struct RelativeCase {
    std::string name;
    std::string filename;
    std::string directory;
    std::optional<std::string> expected;
};

class RelativeTo : public testing::TestWithParam<RelativeCase> {};

TEST_P(RelativeTo, ComparesWholeComponents) {
    const RelativeCase& c = GetParam();
    std::optional<std::string_view> found = relative_to(c.filename, c.directory);
    EXPECT_EQ(found ? std::optional<std::string>(*found) : std::nullopt, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelativeTo,
    testing::Values(
        RelativeCase{"inside", "/srv/app/views.py", "/srv/app", "views.py"},
        RelativeCase{"trailing_slash", "/srv/app/views.py", "/srv/app/", "views.py"},
        RelativeCase{"doubled_slashes", "/srv//app///views.py", "//srv/app", "views.py"},
        RelativeCase{"dot_components", "/srv/./app/./views.py", "/srv/app/.", "views.py"},
        RelativeCase{"the_directory_itself", "/srv/app", "/srv/app", ""},
        RelativeCase{"name_prefix", "/srv/application.py", "/srv/app", std::nullopt},
        RelativeCase{"outside", "/srv/other/views.py", "/srv/app", std::nullopt},
        RelativeCase{"relative_name_absolute_directory", "srv/app/views.py", "/srv/app", std::nullopt},
        RelativeCase{"empty_directory", "/srv/app/views.py", "", std::nullopt},
        RelativeCase{"root", "/srv/app/views.py", "/", "srv/app/views.py"}),
    [](const testing::TestParamInfo<RelativeCase>& info) { return info.param.name; });

TEST(Location, AppendsTheLineToAPathOutsideTheWorkingDirectory) {
    // A relative name is never inside the (absolute) working directory.
    EXPECT_EQ(location("relative/../views.py", 42), "relative/../views.py:42");
}

}  // namespace
}  // namespace zelm
