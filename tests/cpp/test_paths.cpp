#include "names/paths.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
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
    EXPECT_EQ(LocationCache().location(nullptr, "relative/../views.py", 42), "relative/../views.py:42");
}

TEST(Location, FollowsTheWorkingDirectoryAndTheFileNameUnderOneKey) {
    char temporary[] = "/tmp/zelm-paths-XXXXXX";
    ASSERT_NE(mkdtemp(temporary), nullptr);
    std::string inner = std::string(temporary) + "/app";
    ASSERT_EQ(mkdir(inner.c_str(), 0700), 0);
    char original[PATH_MAX];
    ASSERT_NE(getcwd(original, sizeof original), nullptr);
    std::string views = inner + "/views.py";

    LocationCache cache;
    int key = 0;  // one key for every name: the texts tell the entries apart
    ASSERT_EQ(chdir(inner.c_str()), 0);
    EXPECT_EQ(cache.location(&key, views, 1), "views.py:1");
    // The same entry again, its line longer and then shorter.
    EXPECT_EQ(cache.location(&key, views, 123456), "views.py:123456");
    EXPECT_EQ(cache.location(&key, views, 7), "views.py:7");
    EXPECT_EQ(cache.location(&key, inner + "/models.py", 2), "models.py:2");
    ASSERT_EQ(chdir(temporary), 0);
    EXPECT_EQ(cache.location(&key, views, 3), "app/views.py:3");
    ASSERT_EQ(chdir(original), 0);
    EXPECT_EQ(cache.location(&key, views, 4), views + ":4");

    rmdir(inner.c_str());
    rmdir(temporary);
}

TEST(Location, AWorkingDirectoryRemovedLeavesTheFileNameAsItIs) {
    char temporary[] = "/tmp/zelm-paths-XXXXXX";
    ASSERT_NE(mkdtemp(temporary), nullptr);
    char original[PATH_MAX];
    ASSERT_NE(getcwd(original, sizeof original), nullptr);
    const std::string views = std::string(temporary) + "/views.py";

    LocationCache cache;
    ASSERT_EQ(chdir(temporary), 0);
    EXPECT_EQ(cache.location(nullptr, views, 10), "views.py:10");
    ASSERT_EQ(rmdir(temporary), 0);
    EXPECT_EQ(cache.location(nullptr, views, 11), views + ":11");
    ASSERT_EQ(chdir(original), 0);
}

}  // namespace
}  // namespace zelm
