#include "app/ResourceBundle.h"

#include <gtest/gtest.h>

#include <fstream>

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

TEST_F(ResourceBundleTest, TheBundleBesideTheExecutableWinsOverTheBuildTree) {
    const auto main = folder("bin", true);
    const auto build = folder("build", true);
    EXPECT_EQ(ResourceBundle::locate(main, build), main);
}

TEST_F(ResourceBundleTest, TheBuildTreeIsUsedWhenNothingLiesBesideTheExecutable) {
    const auto main = folder("bin", false);
    const auto build = folder("build", true);
    EXPECT_EQ(ResourceBundle::locate(main, build), build);
}

TEST_F(ResourceBundleTest, AFileOfTheBundlesNameIsNoBundle) {
    const auto main = folder("bin", false);
    std::filesystem::create_directories(main.parent_path());
    std::ofstream(main) << "not a folder";
    const auto build = folder("build", true);
    EXPECT_EQ(ResourceBundle::locate(main, build), build);
}

TEST_F(ResourceBundleTest, NeitherPlaceStopsWithAMessageNamingBoth) {
    const auto main = folder("bin", false);
    const auto build = folder("build", false);
    EXPECT_DEATH(ResourceBundle::locate(main, build),
                 "^could not load resource bundle: from " + main.string() + " or " +
                     build.string() + "\n");
}

TEST_F(ResourceBundleTest, TheMainPathLiesBesideTheRunningExecutable) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(ResourceBundle::mainPath(), self.parent_path() / ResourceBundle::name);
}

}  // namespace
}  // namespace quillo
