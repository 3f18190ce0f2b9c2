#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tarnwick_dat/utils.hpp"

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::find_portal_dat;

// A scratch tree: ROOT/crates/tarnwick-dat is the library's source directory,
// ROOT/dats/portal.dat the default place, ROOT/other.dat another archive.
class PortalPathTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string name = (fs::temp_directory_path() / "portal_path_XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root_ = name;
        source_dir_ = root_ / "crates" / "tarnwick-dat";
        fs::create_directories(source_dir_);
        fs::create_directories(root_ / "dats");
        std::ofstream(root_ / "other.dat") << "x";
    }
    void TearDown() override { fs::remove_all(root_); }

    void make_default() { std::ofstream(root_ / "dats" / "portal.dat") << "x"; }
    std::string default_path() const { return source_dir_.string() + "/../../dats/portal.dat"; }
    std::string other() const { return (root_ / "other.dat").string(); }

    fs::path root_;
    fs::path source_dir_;
};

TEST_F(PortalPathTest, TheVariableWinsWhenItsPathExists) {
    make_default();
    EXPECT_EQ(find_portal_dat(other().c_str(), source_dir_), fs::path(other()));
}

TEST_F(PortalPathTest, TheDefaultIsTriedWhenTheVariableIsUnusable) {
    make_default();
    const std::string missing = (root_ / "missing.dat").string();
    const std::string not_utf8 = other() + "\xFF";
    for (const char* value :
         {static_cast<const char*>(nullptr), "", missing.c_str(), not_utf8.c_str()}) {
        SCOPED_TRACE(value == nullptr ? "unset" : value);
        const auto found = find_portal_dat(value, source_dir_);
        ASSERT_TRUE(found.has_value());
        // Reported as built: the ".." components are not resolved away.
        EXPECT_EQ(found->string(), default_path());
    }
}

TEST_F(PortalPathTest, InvalidUtf8CountsAsUnsetEvenWhenThePathExists) {
    const fs::path odd = root_ / "odd\xC3\x28.dat";  // a lead byte without its continuation
    std::ofstream(odd) << "x";
    EXPECT_EQ(find_portal_dat(odd.c_str(), source_dir_), std::nullopt);
    const fs::path fine = root_ / "caf\xC3\xA9.dat";  // well-formed UTF-8
    std::ofstream(fine) << "x";
    EXPECT_EQ(find_portal_dat(fine.c_str(), source_dir_), fine);
}

TEST_F(PortalPathTest, NothingWhenNeitherExists) {
    EXPECT_EQ(find_portal_dat(nullptr, source_dir_), std::nullopt);
    EXPECT_EQ(find_portal_dat("/nonexistent/portal.dat", source_dir_), std::nullopt);
}

TEST_F(PortalPathTest, AnyKindOfFileCountsButADanglingLinkDoesNot) {
    const fs::path dir = root_ / "a_directory";
    fs::create_directories(dir);
    EXPECT_EQ(find_portal_dat(dir.c_str(), source_dir_), dir);

    const fs::path link = root_ / "link.dat";
    fs::create_symlink(root_ / "other.dat", link);
    EXPECT_EQ(find_portal_dat(link.c_str(), source_dir_), link);

    const fs::path dangling = root_ / "dangling.dat";
    fs::create_symlink(root_ / "gone.dat", dangling);
    EXPECT_EQ(find_portal_dat(dangling.c_str(), source_dir_), std::nullopt);
}

TEST_F(PortalPathTest, ARelativeValueStaysRelative) {
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    const auto found = find_portal_dat("other.dat", source_dir_);
    const auto with_blank = find_portal_dat(" other.dat", source_dir_);
    fs::current_path(before);
    EXPECT_EQ(found, fs::path("other.dat"));
    EXPECT_EQ(with_blank, std::nullopt);  // taken exactly as given, not trimmed
}

TEST_F(PortalPathTest, TheLibraryReadsTheEnvironmentVariable) {
    ASSERT_EQ(setenv("TARNWICK_PORTAL_DAT", other().c_str(), 1), 0);
    EXPECT_EQ(tarnwick_dat::get_portal_dat_path(), fs::path(other()));
    ASSERT_EQ(unsetenv("TARNWICK_PORTAL_DAT"), 0);
}

}  // namespace
