// `cmake --install` into a prefix whose name needs quoting everywhere, and the Debian package: what
// they hold checked with the tools that read it, the companion run from there under Xvfb.
#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/Command.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using quillo::testing::TempDir;
using ::testing::HasSubstr;
using Strings = std::vector<std::string>;

const std::string app = "app.quillo.Companion";

using Outcome = quillo::testing::CommandOutcome;
using quillo::testing::run;

// A key of a desktop file as a desktop reads it, in the test's (C) locale unless asked otherwise.
std::string desktopKey(const fs::path& file, const char* group, const char* key,
                       const char* locale = nullptr) {
    g_autoptr(GKeyFile) entry = g_key_file_new();
    if (!g_key_file_load_from_file(entry, file.c_str(), G_KEY_FILE_KEEP_TRANSLATIONS, nullptr))
        return "";
    g_autofree gchar* value = g_key_file_get_locale_string(entry, group, key, locale, nullptr);
    return value ? value : "";
}

// What a session runs for an Exec line without field codes: the line split as a shell would.
Strings commandLine(const fs::path& file, const char* group = "Desktop Entry") {
    g_auto(GStrv) argv = nullptr;
    if (!g_shell_parse_argv(desktopKey(file, group, "Exec").c_str(), nullptr, &argv, nullptr))
        return {};
    return Strings(argv, argv + g_strv_length(argv));
}

// Every file and folder under `root`, as sorted paths relative to it.
Strings listing(const fs::path& root) {
    Strings found;
    for (const auto& item : fs::recursive_directory_iterator(root))
        found.push_back(fs::relative(item.path(), root));
    std::sort(found.begin(), found.end());
    return found;
}

// One installation shared by the tests of this file; installing takes a moment.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        prefix_ = root_.path() / "前缀 it's \"quoted\" $HOME `x`";
        installation_ = run({QUILLO_CMAKE, "--install", QUILLO_BINARY_DIR, "--prefix", prefix_});
    }
    void SetUp() override { ASSERT_EQ(installation_.status, 0) << installation_; }

    static fs::path link() { return prefix_ / "bin/quillo-companion"; }
    static fs::path launcher() { return prefix_ / "share/applications" / (app + ".desktop"); }

    static inline TempDir root_;
    static inline fs::path prefix_;
    static inline Outcome installation_;
    TempDir scratch;
};

// A fresh account gets only what it asks for: the autostart entry, which starts the installed
// program by its real path. WebKit would add caches, HSTS and storage folders at every start.
TEST_F(Installed, InAnEmptyHomeItWritesOnlyTheAutostartEntryAskedForAndDrawsItsSnapshot) {
    EXPECT_EQ(fs::read_symlink(link()), fs::path("../lib/quillo-companion/quillo-companion"));
    const fs::path home = scratch.path() / "home", shot = scratch.path() / "shot.png";
    const fs::path entry = home / ".config/autostart" / (app + ".desktop");
    fs::create_directory(home);
    Strings account = {"HOME=" + home.string(),
                       "XDG_CONFIG_HOME=", "XDG_CACHE_HOME=", "XDG_DATA_HOME=", "XDG_STATE_HOME="};
    // The switch must not need a display.
    const auto autostart = [&](const char* state) {
        return run({link(), "--autostart", state}, {account[0], account[1], "DISPLAY="}).out;
    };
    EXPECT_EQ(autostart("on"), "登录时自动启动：已开启\n");
    EXPECT_EQ(run({"desktop-file-validate", entry}), (Outcome{0, "", ""}));
    EXPECT_EQ(commandLine(entry), Strings{fs::canonical(link())});

    account.push_back("QUILLO_CAPTURE_PATH=" + shot.string());
    const Outcome companion = run({link()}, account);
    EXPECT_EQ(companion.status, 0) << companion;
    EXPECT_TRUE(fs::is_regular_file(shot)) << "the installed program found its page";
    EXPECT_EQ(listing(home), (Strings{".config", ".config/autostart", fs::relative(entry, home)}));
    EXPECT_EQ(autostart("off"), "登录时自动启动：已关闭\n");
    EXPECT_FALSE(fs::exists(entry));
}

// The prefix's bin/ need not be on PATH: the launcher names the program by its installed path.
TEST_F(Installed, TheLauncherStartsTheInstalledProgramByPathAndOffersToggleAndQuitAsActions) {
    EXPECT_EQ(commandLine(launcher()), Strings{link()});
    EXPECT_EQ(desktopKey(launcher(), "Desktop Entry", "TryExec"), link().string());
    for (const auto& [action, name] :
         {std::pair("toggle", "打开或收起 Quillo"), std::pair("quit", "退出 Quillo")}) {
        const std::string group = std::string("Desktop Action ") + action;
        EXPECT_EQ(commandLine(launcher(), group.c_str()),
                  (Strings{link(), "--" + std::string(action)}));
        EXPECT_EQ(desktopKey(launcher(), group.c_str(), "Name", "zh_CN"), name);
    }
    EXPECT_EQ(desktopKey(launcher(), "Desktop Entry", "Name", "zh_CN"), "Quillo 桌面伙伴");
    EXPECT_EQ(run({"desktop-file-validate", launcher()}), (Outcome{0, "", ""}));
    // Validates the metadata and checks that the launcher and icon it names are installed.
    const Outcome appstream =
        run({"appstreamcli", "validate-tree", "--strict", "--no-net", prefix_});
    EXPECT_EQ(appstream.status, 0) << appstream;
}

// As a software centre in a Chinese session sees the installed data, with a fresh cache. AppStream
// reads only the system's folders, so a private mount namespace (none in a chroot or unprivileged
// container: skipped) puts the prefix's there; the locale is built as a Chinese system has it.
TEST_F(Installed, ASoftwareCentreInAChineseSessionShowsAndFindsItInChinese) {
    const fs::path locales = scratch.path() / "locales", cache = scratch.path() / "cache";
    for (const auto& folder : {locales, cache}) fs::create_directories(folder);
    const Outcome locale =
        run({"localedef", "-i", "zh_CN", "-f", "UTF-8", locales / "zh_CN.UTF-8"});
    ASSERT_EQ(locale.status, 0) << locale;
    const auto appstream = [&](Strings query) {
        query.insert(query.begin(),
                     {"bwrap", "--dev-bind", "/", "/", "--bind", prefix_ / "share/metainfo",
                      "/usr/share/metainfo", "--bind", prefix_ / "share/applications",
                      "/usr/share/applications", "appstreamcli"});
        query.insert(query.end(), {"--cachepath", cache});
        return run(query,
                   {"LOCPATH=" + locales.string(), "LANG=zh_CN.UTF-8", "LC_ALL=", "LANGUAGE="});
    };
    const Outcome details = appstream({"get", app, "--details"});
    if (details.err.starts_with("bwrap: ")) GTEST_SKIP() << details.err;
    for (const char* text : {" Quillo 桌面伙伴\n", " 在桌面上显示今天的日记，并同步到 Quillo\n",
                             "一个浮在所有窗口之上"})
        EXPECT_THAT(details.out, HasSubstr(text)) << details;
    EXPECT_THAT(appstream({"search", "日记"}).out, HasSubstr(app + " [desktop-application]"));
}

TEST_F(Installed, TheManualNamesEveryCommandAndTheChangelogNamesTheProgramsVersion) {
    const Outcome manual = run({"man", "-l", prefix_ / "share/man/man1/quillo-companion.1.gz"},
                               {"MANWIDTH=200", "LC_ALL=C.UTF-8"});
    for (const char* command : {"--toggle", "--quit", "--autostart on", "--autostart off",
                                "--version", "diary [--json]", "sync", "disconnect"})
        EXPECT_THAT(manual.out, HasSubstr(command));
    // "quillo-companion 0.1.0" heads the changelog as "quillo-companion (0.1.0) unstable; …".
    const Outcome changelog = run({"zcat", prefix_ / "share/doc/quillo-companion/changelog.gz"});
    std::string version = run({link(), "--version"}).out;
    version.replace(version.find(' '), 1, " (").back() = ')';
    EXPECT_TRUE(changelog.out.starts_with(version + " ")) << changelog << version;
    EXPECT_FALSE(fs::exists(prefix_ / "share/lintian")) << "lintian's overrides are the package's";
}

// Made as `make package` makes it, from the tested tree: a few seconds each, lintian some more.
TEST(DebianPackage, IsReproducibleLintianCleanAndCarriesItsRelationsAndLauncher) {
    TempDir output;
    const auto pack = [&](const std::string& folder) {
        const Outcome packed = run({QUILLO_CPACK, "-G", "DEB", "-B", output.path() / folder,
                                    "--config", fs::path(QUILLO_BINARY_DIR) / "CPackConfig.cmake"},
                                   {}, 300);
        for (const auto& item : fs::directory_iterator(output.path() / folder))
            if (item.path().extension() == ".deb") return item.path();
        ADD_FAILURE() << packed;
        return fs::path();
    };
    const fs::path package = pack("first"), again = pack("second");
    EXPECT_EQ(run({"cmp", package, again}).status, 0) << "two runs, two different packages";

    const Outcome lintian = run({"lintian", "--pedantic", "--display-info", package}, {}, 300);
    EXPECT_EQ(lintian.out, "") << lintian;

    const Outcome info = run({"dpkg-deb", "--field", package, "Depends", "Recommends", "Suggests"});
    for (const char* field : {"libwebkit2gtk-4.1-0", "libayatana-appindicator3-1", "libcurl3-gnutls",
                              "Recommends: gnome-keyring, python3, librsvg2-common, fonts-noto-cjk "
                              "| fonts-wqy-microhei\n",
                              "Suggests: gnome-shell-extension-appindicator\n"})
        EXPECT_THAT(info.out, HasSubstr(field));
    // The launcher names the package's program, not the folder cpack staged it in.
    const fs::path tree = output.path() / "tree";
    EXPECT_EQ(run({"dpkg-deb", "--extract", package, tree}).status, 0);
    EXPECT_EQ(commandLine(tree / "usr/share/applications" / (app + ".desktop")),
              Strings{"/usr/bin/quillo-companion"});
}

}  // namespace
