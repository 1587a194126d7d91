#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/Autostart.h"
#include "app/ResourceBundle.h"
#include "support/TempDir.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

const fs::path installed = "/usr/lib/quillo-companion/quillo-companion";

std::string contents(const fs::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(AutostartEntryPath, FollowsXdgConfigHomeOnlyWhenItIsAnAbsolutePath) {
    const fs::path fallback = "/home/ada/.config/autostart/app.quillo.Companion.desktop";
    EXPECT_EQ(Autostart::entryPath("/tmp/config", "/home/ada"),
              "/tmp/config/autostart/app.quillo.Companion.desktop");
    for (const auto& unusable : {std::optional<std::string>(), std::optional<std::string>(""),
                                 std::optional<std::string>("config")})
        EXPECT_EQ(Autostart::entryPath(unusable, "/home/ada"), fallback) << unusable.value_or("-");
}

// Quoting in general is tried on the installed program, whose prefix needs all of it.
TEST(AutostartEntryText, StartsTheExecutableOrItsCommandNameWhereNoEntryCanCarryThePath) {
    EXPECT_EQ(Autostart::execValue(installed), installed.string());
    EXPECT_EQ(Autostart::execValue(R"(/opt/a\b/q)"), R"("/opt/a\\\\b/q")");
    for (const char* unusable :
         {"/opt/a=b/q", "/opt/100%/q", "/opt/a\nb/q", "/opt/a\tb/q", "/opt/a\x7f/q",
          "/opt/\xff\xfe/q", "/opt/\xe5\xbc/q", "build/q", ""})
        EXPECT_EQ(Autostart::execValue(unusable), "quillo-companion") << unusable;

    // TryExec is never quoted, but its backslashes are escaped. The installed entry as a whole is
    // validated where the installed program writes it (InstallTest).
    for (const auto& [path, line] : {std::pair("/opt/My Apps/q", "\nTryExec=/opt/My Apps/q\n"),
                                     std::pair(R"(/opt/a\b/q)", "\nTryExec=/opt/a\\\\b/q\n"),
                                     std::pair("/opt/a=b/q", "\nTryExec=quillo-companion\n")})
        EXPECT_NE(Autostart::entryText(path).find(line), std::string::npos) << line;
}

using Result = std::tuple<int, std::string, std::string>;  // exit status, stdout, stderr

class AutostartSwitch : public ::testing::Test {
protected:
    fs::path folder() const { return dir.path() / "config/autostart"; }
    fs::path entry() const { return folder() / Autostart::fileName; }
    Autostart autostart() const { return Autostart(entry()); }
    Result command(std::string_view state) const {
        std::ostringstream out, err;
        const int status = autostart().command(state, installed, out, err);
        return {status, out.str(), err.str()};
    }
    testing::TempDir dir;
};

TEST_F(AutostartSwitch, TheCommandReplacesAnEntryTheUserHadDisabledAndRemovesItAgain) {
    testing::writeFile(entry(), "[Desktop Entry]\nType=Application\nExec=old\nHidden=true\n");
    const Result on{0, "登录时自动启动：已开启\n", ""}, off{0, "登录时自动启动：已关闭\n", ""};
    EXPECT_EQ(command(""), off);
    EXPECT_EQ(command("on"), on);
    EXPECT_EQ(command("on"), on);
    EXPECT_EQ(contents(entry()), Autostart::entryText(installed));
    EXPECT_EQ(fs::status(entry()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder()), {}), 1) << "no temporary file left";
    EXPECT_EQ(command("off"), off);
    EXPECT_EQ(command("off"), off);
    EXPECT_FALSE(fs::exists(entry()));
}

TEST_F(AutostartSwitch, AnEntryCountsAsOnUnlessTheSessionIsToldToSkipIt) {
    const std::vector<std::pair<const char*, bool>> rows{
        {"[Desktop Entry]\nType=Application\nExec=q\n", true},
        {"[Desktop Entry]\nExec=q\nHidden=true\n", false},
        {"[Desktop Entry]\nExec=q\nHidden = true\n", false},
        {"[Desktop Entry]\nExec=q\nX-GNOME-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nExec=q\n[Desktop Action x]\nHidden=true\n", true},
        {"[Desktop Entry]\r\nExec=q\r\nHidden=true\r\n", false},
        {"Exec=q\n", false}};
    for (const auto& [text, on] : rows) {
        testing::writeFile(entry(), text);
        EXPECT_EQ(autostart().isOn(), on) << text;
    }
}

TEST_F(AutostartSwitch, FailuresAndUnknownStatesAreReportedOnStandardErrorAndChangeNothing) {
    EXPECT_EQ(command("yes"), Result(2, "", "quillo-companion: 无法识别的参数 “yes”\n"));
    EXPECT_FALSE(fs::exists(folder()));

    fs::create_directories(entry());  // a folder in the place of the entry
    const std::string place = "（" + entry().string() + "）：Is a directory\n";
    EXPECT_EQ(command("on"), Result(1, "", "quillo-companion: 无法开启登录时自动启动" + place));
    EXPECT_EQ(command("off"), Result(1, "", "quillo-companion: 无法关闭登录时自动启动" + place));
    EXPECT_TRUE(fs::is_directory(entry()));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder()), {}), 1) << "no temporary file left";

    // A file in the place of the config folder.
    testing::writeFile(dir.path() / "file", "not a folder");
    const Autostart blocked(dir.path() / "file/autostart" / Autostart::fileName);
    EXPECT_NE(blocked.turnOn(installed).value_or("").find("无法开启登录时自动启动"),
              std::string::npos);
    EXPECT_EQ(contents(dir.path() / "file"), "not a folder");
}

// Beside the executable wins; the build tree is used when nothing, or only a file of the bundle's
// name, lies there; neither place is a stop with a message naming both.
TEST(ResourceBundle, TheFolderBesideTheExecutableWinsOverTheBuildTreeAndAFileIsNoBundle) {
    testing::TempDir dir;
    const auto place = [&](const char* name) { return dir.path() / name / ResourceBundle::name; };
    fs::create_directories(place("beside"));
    fs::create_directories(place("build"));
    testing::writeFile(place("file"), "not a folder");
    EXPECT_EQ(ResourceBundle::locate(place("beside"), place("build")), place("beside"));
    EXPECT_EQ(ResourceBundle::locate(place("nothing"), place("build")), place("build"));
    EXPECT_EQ(ResourceBundle::locate(place("file"), place("build")), place("build"));
    EXPECT_DEATH(ResourceBundle::locate(place("nothing"), place("file")),
                 "^could not load resource bundle: from " + place("nothing").string() + " or " +
                     place("file").string() + "\n");
    EXPECT_EQ(ResourceBundle::mainPath(),
              fs::read_symlink("/proc/self/exe").parent_path() / ResourceBundle::name);
}

}  // namespace
}  // namespace quillo
