#include <gtest/gtest.h>

#include <fstream>

#include "app/ResourceBundle.h"
#include "support/TempDir.h"

namespace quillo {
namespace {

class ResourceBundleTest : public ::testing::Test {
protected:
    std::filesystem::path folder(const std::string& name, bool create) {
        auto path = dir.path() / name / ResourceBundle::name;
        if (create) std::filesystem::create_directories(path);
        return path;
    }
    testing::TempDir dir;
};

// Beside the executable wins; the build tree is used when nothing, or only a file of the bundle's
// name, lies there.
TEST_F(ResourceBundleTest, TheFolderBesideTheExecutableWinsOverTheBuildTreesAndAFileIsNoBundle) {
    const auto build = folder("build", true);
    EXPECT_EQ(ResourceBundle::locate(folder("beside", true), build), folder("beside", false));
    EXPECT_EQ(ResourceBundle::locate(folder("nothing", false), build), build);
    const auto file = folder("file", false);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "not a folder";
    EXPECT_EQ(ResourceBundle::locate(file, build), build);
}

TEST_F(ResourceBundleTest, NeitherPlaceStopsWithAMessageNamingBoth) {
    const auto main = folder("bin", false);
    const auto build = folder("build", false);
    EXPECT_DEATH(
        ResourceBundle::locate(main, build),
        "^could not load resource bundle: from " + main.string() + " or " + build.string() + "\n");
}

TEST_F(ResourceBundleTest, TheMainPathLiesBesideTheRunningExecutable) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(ResourceBundle::mainPath(), self.parent_path() / ResourceBundle::name);
}

}  // namespace
}  // namespace quillo
