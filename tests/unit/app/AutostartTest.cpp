#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/Autostart.h"
#include "support/TempDir.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    return names;
}

// Sets or clears an environment variable for one test and puts the old value back afterwards.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

const fs::path installed = "/usr/lib/quillo-companion/quillo-companion";

// Where the entry lives.

struct EntryPathCase {
    const char* description;
    std::optional<std::string> xdgConfigHome;
    const char* expected;
};

TEST(AutostartEntryPath, FollowsXdgConfigHomeOnlyWhenItIsAnAbsolutePath) {
    const EntryPathCase cases[] = {
        {"absolute", "/tmp/config", "/tmp/config/autostart/app.quillo.Companion.desktop"},
        {"unset", std::nullopt, "/home/ada/.config/autostart/app.quillo.Companion.desktop"},
        {"empty", "", "/home/ada/.config/autostart/app.quillo.Companion.desktop"},
        {"relative", "config", "/home/ada/.config/autostart/app.quillo.Companion.desktop"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Autostart::entryPath(c.xdgConfigHome, "/home/ada"), fs::path(c.expected))
            << c.description;
}

TEST(AutostartEntryPath, TheCurrentUserIsFoundThroughTheEnvironment) {
    ScopedVariable config("XDG_CONFIG_HOME", "/tmp/elsewhere");
    const auto autostart = Autostart::forCurrentUser();
    ASSERT_TRUE(autostart);
    EXPECT_EQ(autostart->entry(),
              fs::path("/tmp/elsewhere/autostart/app.quillo.Companion.desktop"));
}

TEST(AutostartEntryPath, WithoutHomeInTheEnvironmentThePasswordDatabaseNamesTheHome) {
    ScopedVariable config("XDG_CONFIG_HOME", nullptr);
    ScopedVariable home("HOME", nullptr);
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_TRUE(user && user->pw_dir);
    const auto autostart = Autostart::forCurrentUser();
    ASSERT_TRUE(autostart);
    EXPECT_EQ(autostart->entry(),
              fs::path(user->pw_dir) / ".config/autostart/app.quillo.Companion.desktop");
}

// What the entry starts.

struct ExecCase {
    const char* description;
    std::string executable;
    std::string exec;
};

TEST(AutostartExec, NamesTheExecutableQuotedAndEscapedAsDesktopEntriesRequire) {
    const ExecCase cases[] = {
        {"plain path", installed.string(), installed.string()},
        {"Chinese folder", "/home/张三/应用/quillo-companion", "/home/张三/应用/quillo-companion"},
        {"space", "/opt/My Apps/quillo-companion", R"("/opt/My Apps/quillo-companion")"},
        {"apostrophe", "/opt/it's/quillo-companion", R"("/opt/it's/quillo-companion")"},
        {"double quote", R"(/opt/a"b/quillo-companion)", R"("/opt/a\\"b/quillo-companion")"},
        {"dollar", "/opt/a$b/quillo-companion", R"("/opt/a\\$b/quillo-companion")"},
        {"backtick", "/opt/a`b/quillo-companion", R"("/opt/a\\`b/quillo-companion")"},
        {"backslash", R"(/opt/a\b/quillo-companion)", R"("/opt/a\\\\b/quillo-companion")"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Autostart::execValue(c.executable), c.exec) << c.description;
}

TEST(AutostartExec, FallsBackToTheCommandNameWhereNoDesktopEntryCanCarryThePath) {
    const ExecCase cases[] = {
        {"equals sign", "/opt/a=b/quillo-companion", "quillo-companion"},
        {"percent", "/opt/100%/quillo-companion", "quillo-companion"},
        {"line feed", "/opt/a\nb/quillo-companion", "quillo-companion"},
        {"tab", "/opt/a\tb/quillo-companion", "quillo-companion"},
        {"delete",
         "/opt/a\x7f"
         "b/quillo-companion",
         "quillo-companion"},
        {"not UTF-8", "/opt/\xff\xfe/quillo-companion", "quillo-companion"},
        {"truncated UTF-8", "/opt/\xe5\xbc/quillo-companion", "quillo-companion"},
        {"relative", "build/quillo-companion", "quillo-companion"},
        {"unknown", "", "quillo-companion"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Autostart::execValue(c.executable), c.exec) << c.description;
}

TEST(AutostartEntryText, IsADesktopEntryThatStartsTheExecutableAndIsSkippedOnceItIsGone) {
    const std::string text = Autostart::entryText("/opt/My Apps/quillo-companion");
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n"));
    for (const char* line :
         {"Type=Application\n", "Name[zh_CN]=Quillo 桌面伙伴\n",
          "Exec=\"/opt/My Apps/quillo-companion\"\n", "TryExec=/opt/My Apps/quillo-companion\n",
          "StartupNotify=false\n", "X-GNOME-Autostart-enabled=true\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(AutostartEntryText, TryExecIsUnquotedButEscapesBackslashes) {
    EXPECT_NE(Autostart::entryText(R"(/opt/a\b/q)").find("\nTryExec=/opt/a\\\\b/q\n"),
              std::string::npos);
    EXPECT_NE(Autostart::entryText("/opt/a=b/q").find("\nTryExec=quillo-companion\n"),
              std::string::npos);
}

// Switching it on and off.

class AutostartSwitch : public ::testing::Test {
protected:
    fs::path folder() const { return dir.path() / "config/autostart"; }
    fs::path entry() const { return folder() / Autostart::fileName; }
    Autostart autostart() const { return Autostart(entry()); }
    testing::TempDir dir;
};

TEST_F(AutostartSwitch, OnWritesTheEntryIntoAFolderItCreatesAndOffRemovesIt) {
    EXPECT_FALSE(autostart().isOn());
    EXPECT_EQ(autostart().turnOn(installed), std::nullopt);
    EXPECT_TRUE(autostart().isOn());
    EXPECT_EQ(contents(entry()), Autostart::entryText(installed));
    EXPECT_EQ(fs::status(entry()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);

    EXPECT_EQ(autostart().turnOff(), std::nullopt);
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_FALSE(autostart().isOn());
}

TEST_F(AutostartSwitch, OffWithoutAnEntryIsNoFailure) {
    EXPECT_EQ(autostart().turnOff(), std::nullopt);
    EXPECT_FALSE(fs::exists(folder()));
}

TEST_F(AutostartSwitch, OnReplacesAnEntryTheUserHadDisabledAndLeavesNoTemporaryFile) {
    write(entry(), "[Desktop Entry]\nType=Application\nExec=old\nHidden=true\n");
    ASSERT_FALSE(autostart().isOn());
    EXPECT_EQ(autostart().turnOn(installed), std::nullopt);
    EXPECT_TRUE(autostart().isOn());
    EXPECT_EQ(contents(entry()), Autostart::entryText(installed));
    EXPECT_EQ(namesIn(folder()), std::vector<std::string>{Autostart::fileName});
}

struct StateCase {
    const char* description;
    const char* text;
    bool on;
};

TEST_F(AutostartSwitch, AnEntryCountsAsOnUnlessTheSessionIsToldToSkipIt) {
    const StateCase cases[] = {
        {"plain", "[Desktop Entry]\nType=Application\nExec=q\n", true},
        {"hidden", "[Desktop Entry]\nExec=q\nHidden=true\n", false},
        {"hidden with spaces", "[Desktop Entry]\nExec=q\nHidden = true\n", false},
        {"hidden false", "[Desktop Entry]\nExec=q\nHidden=false\n", true},
        {"GNOME disabled", "[Desktop Entry]\nExec=q\nX-GNOME-Autostart-enabled=false\n", false},
        {"GNOME enabled", "[Desktop Entry]\nExec=q\nX-GNOME-Autostart-enabled=true\n", true},
        {"hidden in another group", "[Desktop Entry]\nExec=q\n[Desktop Action x]\nHidden=true\n",
         true},
        {"Windows line ends", "[Desktop Entry]\r\nExec=q\r\nHidden=true\r\n", false},
        {"no desktop entry group", "Exec=q\n", false},
        {"empty", "", false},
    };
    for (const auto& c : cases) {
        write(entry(), c.text);
        EXPECT_EQ(autostart().isOn(), c.on) << c.description;
    }
}

TEST_F(AutostartSwitch, AFolderInThePlaceOfTheEntryIsReportedAndKept) {
    fs::create_directories(entry());
    const auto on = autostart().turnOn(installed);
    ASSERT_TRUE(on);
    EXPECT_NE(on->find(entry().string()), std::string::npos) << *on;
    const auto off = autostart().turnOff();
    ASSERT_TRUE(off);
    EXPECT_NE(off->find("无法关闭登录时自动启动"), std::string::npos) << *off;
    EXPECT_TRUE(fs::is_directory(entry()));
    EXPECT_EQ(namesIn(folder()), std::vector<std::string>{Autostart::fileName});
    EXPECT_FALSE(autostart().isOn());
}

TEST_F(AutostartSwitch, AFileInThePlaceOfTheConfigFolderIsReported) {
    write(dir.path() / "config", "not a folder");
    const auto on = autostart().turnOn(installed);
    ASSERT_TRUE(on);
    EXPECT_NE(on->find("无法开启登录时自动启动"), std::string::npos) << *on;
    EXPECT_EQ(contents(dir.path() / "config"), "not a folder");
}

// The command line.

struct CommandCase {
    const char* description;
    bool onBefore;
    std::string state;
    const char* out;
    bool onAfter;
};

TEST_F(AutostartSwitch, TheCommandSwitchesAndThenSaysTheState) {
    const CommandCase cases[] = {
        {"status off", false, "", "登录时自动启动：已关闭\n", false},
        {"status on", true, "", "登录时自动启动：已开启\n", true},
        {"on from off", false, "on", "登录时自动启动：已开启\n", true},
        {"on again", true, "on", "登录时自动启动：已开启\n", true},
        {"off from on", true, "off", "登录时自动启动：已关闭\n", false},
        {"off again", false, "off", "登录时自动启动：已关闭\n", false},
    };
    for (const auto& c : cases) {
        c.onBefore ? (void)autostart().turnOn(installed) : (void)autostart().turnOff();
        std::ostringstream out, err;
        EXPECT_EQ(autostart().command(c.state, installed, out, err), 0) << c.description;
        EXPECT_EQ(out.str(), c.out) << c.description;
        EXPECT_EQ(err.str(), "") << c.description;
        EXPECT_EQ(autostart().isOn(), c.onAfter) << c.description;
    }
}

TEST_F(AutostartSwitch, TheCommandReportsAFailureOnStandardErrorWithExitStatusOne) {
    fs::create_directories(entry());
    std::ostringstream out, err;
    EXPECT_EQ(autostart().command("on", installed, out, err), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(err.str().starts_with("quillo-companion: 无法开启登录时自动启动（")) << err.str();
}

TEST_F(AutostartSwitch, TheCommandRefusesAnUnknownStateAndChangesNothing) {
    std::ostringstream out, err;
    EXPECT_EQ(autostart().command("yes", installed, out, err), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("“yes”"), std::string::npos) << err.str();
    EXPECT_FALSE(fs::exists(folder()));
}

}  // namespace
}  // namespace quillo
