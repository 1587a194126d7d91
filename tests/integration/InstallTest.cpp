// `cmake --install` into a prefix whose name needs quoting everywhere, the companion started from
// there under the test session's Xvfb, its launcher, autostart entry, manual, software-centre data
// and the Debian package, each checked with the tool that reads it.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using quillo::testing::TempDir;
using Strings = std::vector<std::string>;

const std::string app = "app.quillo.Companion";
const std::string bundleName = "QuilloCompanion_QuilloCompanion.bundle";

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::ostream& operator<<(std::ostream& stream, const Outcome& outcome) {
    return stream << "exit " << outcome.status << "; stdout: " << outcome.out
                  << "; stderr: " << outcome.err;
}

// Runs a program to its end with a few variables ("NAME=value") set, under coreutils' timeout so a
// hanging companion fails the test instead of stalling the run.
Outcome run(Strings arguments, const Strings& variables = {}, int limitSeconds = 90) {
    arguments.insert(arguments.begin(), variables.begin(), variables.end());
    arguments.insert(arguments.begin(), {"timeout", std::to_string(limitSeconds), "env"});
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    Outcome outcome;
    gchar *out = nullptr, *err = nullptr;
    int wait = 0;
    if (g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                     &err, &wait, nullptr))
        outcome = {WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait), out, err};
    g_free(out);
    g_free(err);
    return outcome;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A key of a desktop file as a desktop reads it: string escapes undone, localised when asked.
std::string desktopKey(const fs::path& file, const char* group, const char* key,
                       const char* locale = nullptr) {
    g_autoptr(GKeyFile) entry = g_key_file_new();
    if (!g_key_file_load_from_file(entry, file.c_str(), G_KEY_FILE_KEEP_TRANSLATIONS, nullptr))
        return "";
    g_autofree gchar* value = locale
                                  ? g_key_file_get_locale_string(entry, group, key, locale, nullptr)
                                  : g_key_file_get_string(entry, group, key, nullptr);
    return value ? value : "";
}

// What a session runs for an Exec line without field codes: the line split as a shell would.
Strings commandLine(const fs::path& file, const char* group = "Desktop Entry") {
    g_auto(GStrv) argv = nullptr;
    if (!g_shell_parse_argv(desktopKey(file, group, "Exec").c_str(), nullptr, &argv, nullptr))
        return {};
    return Strings(argv, argv + g_strv_length(argv));
}

void expectValidDesktopFile(const fs::path& file) {
    const Outcome check = run({"desktop-file-validate", file});
    EXPECT_EQ(check.status, 0) << check;
    EXPECT_EQ(check.out + check.err, "") << check;
}

// Every file and folder under `root`, as paths relative to it.
Strings listing(const fs::path& root) {
    Strings found;
    for (const auto& item : fs::recursive_directory_iterator(root))
        found.push_back(fs::relative(item.path(), root));
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

    static fs::path executable() { return prefix_ / "lib/quillo-companion/quillo-companion"; }
    static fs::path link() { return prefix_ / "bin/quillo-companion"; }
    static fs::path launcher() { return prefix_ / "share/applications" / (app + ".desktop"); }

    static inline TempDir root_;
    static inline fs::path prefix_;
    static inline Outcome installation_;
    TempDir scratch;
};

// WebKit would keep caches, HSTS and storage folders in the home folder; the companion keeps none.
TEST_F(Installed, StartedThroughTheLinkInBinInAnEmptyHomeItDrawsItsSnapshotAndLeavesNothingThere) {
    EXPECT_EQ(fs::read_symlink(link()), fs::path("../lib/quillo-companion/quillo-companion"));
    for (const char* file : {"index.html", "TansyReader/read_today_summary.py"})
        EXPECT_TRUE(fs::is_regular_file(executable().parent_path() / bundleName / file)) << file;
    const fs::path home = scratch.path() / "home", shot = scratch.path() / "shot.png";
    fs::create_directory(home);
    const Outcome companion = run(
        {link()}, {"HOME=" + home.string(), "XDG_CONFIG_HOME=", "XDG_CACHE_HOME=", "XDG_DATA_HOME=",
                   "XDG_STATE_HOME=", "QUILLO_CAPTURE_PATH=" + shot.string()});
    EXPECT_EQ(companion.status, 0) << companion;
    int width = 0, height = 0;
    EXPECT_TRUE(gdk_pixbuf_get_file_info(shot.c_str(), &width, &height)) << companion;
    EXPECT_EQ(std::pair(width, height), std::pair(64, 64));
    EXPECT_EQ(listing(home), Strings{});
}

// Had the program fallen back to the build tree's bundle, it would have found the page there.
TEST_F(Installed, ABundleBesideTheExecutableIsUsedEvenWhenItLacksThePage) {
    fs::copy_file(executable(), scratch.path() / "quillo-companion");
    fs::create_directory(scratch.path() / bundleName);
    const Outcome companion =
        run({scratch.path() / "quillo-companion"},
            {"QUILLO_CAPTURE_PATH=" + (scratch.path() / "shot.png").string()});
    EXPECT_NE(companion.status, 0) << companion;
    EXPECT_TRUE(contains(companion.err, "Missing bundled companion page")) << companion;
}

// The prefix's bin/ need not be on PATH: the launcher names the program by its installed path.
TEST_F(Installed, TheLauncherStartsTheInstalledProgramByPathAndOffersToggleAndQuitAsActions) {
    EXPECT_EQ(commandLine(launcher()), Strings{link()});
    EXPECT_EQ(desktopKey(launcher(), "Desktop Entry", "TryExec"), link().string());
    EXPECT_EQ(desktopKey(launcher(), "Desktop Entry", "Actions"), "toggle;quit;");
    for (const auto& [action, name] :
         {std::pair("toggle", "打开或收起 Quillo"), std::pair("quit", "退出 Quillo")}) {
        const std::string group = std::string("Desktop Action ") + action;
        EXPECT_EQ(commandLine(launcher(), group.c_str()),
                  (Strings{link(), "--" + std::string(action)}));
        EXPECT_EQ(desktopKey(launcher(), group.c_str(), "Name", "zh_CN"), name);
    }
    EXPECT_EQ(desktopKey(launcher(), "Desktop Entry", "Name", "zh_CN"), "Quillo 桌面伙伴");
    expectValidDesktopFile(launcher());
    EXPECT_TRUE(
        fs::is_regular_file(prefix_ / "share/icons/hicolor/scalable/apps" / (app + ".svg")));
    // Validates the metadata and checks that the launcher and icon it names are installed.
    const Outcome appstream =
        run({"appstreamcli", "validate-tree", "--strict", "--no-net", prefix_});
    EXPECT_EQ(appstream.status, 0) << appstream;
}

// As a software centre in a Chinese session sees the installed data, with a fresh cache: AppStream
// reads only the system's folders, so a private mount namespace puts the prefix's there, and the
// session's locale is built for the test, as a Chinese system has it.
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
    for (const char* text : {" Quillo 桌面伙伴\n", " 在桌面上显示今天的日记，并同步到 Quillo\n",
                             "一个浮在所有窗口之上"})
        EXPECT_TRUE(contains(details.out, text)) << text << "\n" << details;
    EXPECT_TRUE(contains(appstream({"search", "日记"}).out, app + " [desktop-application]"));
}

TEST_F(Installed, TheManualAndTheReadmeDescribeEveryCommandOfTheHelpAndTheDocFolderIsComplete) {
    const Outcome manual = run({"man", "-l", prefix_ / "share/man/man1/quillo-companion.1.gz"},
                               {"MANWIDTH=200", "LC_ALL=C.UTF-8"});
    EXPECT_EQ(manual.status, 0) << manual;
    std::ifstream readmeFile(fs::path(QUILLO_SOURCE_DIR) / "README.md");
    const std::string readme{std::istreambuf_iterator<char>(readmeFile), {}};
    // The help's lines name the options and commands first: "  --autostart on    登录时…".
    const Outcome help = run({link(), "--help"});
    int named = 0;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
        const auto end = line.find("  ", 2);
        if (!line.starts_with("  -") && !(line.starts_with("  ") && g_ascii_isalpha(line[2])))
            continue;
        const std::string command = line.substr(2, end - 2);
        ++named;
        EXPECT_TRUE(contains(manual.out, command)) << command << " is not in the manual";
        EXPECT_TRUE(contains(readme, command)) << command << " is not in README.md";
    }
    EXPECT_GE(named, 10) << help;

    const fs::path doc = prefix_ / "share/doc/quillo-companion";
    std::ifstream copyright(doc / "copyright");
    std::string format;
    std::getline(copyright, format);
    EXPECT_EQ(format, "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/");
    // The newest entry of the changelog is the version the program reports.
    const Outcome changelog = run({"zcat", doc / "changelog.gz"});
    const Outcome version = run({link(), "--version"});
    EXPECT_TRUE(version.out.starts_with("quillo-companion ")) << version;
    EXPECT_TRUE(changelog.out.starts_with("quillo-companion (" +
                                          version.out.substr(17, version.out.size() - 18) + ") "))
        << changelog;
}

// Without a display: the switch must not need one.
TEST_F(Installed, TheAutostartSwitchRoundTripsAndItsEntryStartsTheInstalledExecutable) {
    const fs::path config = scratch.path() / "config";
    const fs::path entry = config / "autostart" / (app + ".desktop");
    const auto autostart = [&](Strings state) {
        state.insert(state.begin(), {link(), "--autostart"});
        return run(state, {"XDG_CONFIG_HOME=" + config.string(), "DISPLAY="});
    };
    EXPECT_EQ(autostart({"on"}).out, "登录时自动启动：已开启\n");
    expectValidDesktopFile(entry);
    EXPECT_EQ(commandLine(entry), Strings{fs::canonical(executable())});
    EXPECT_EQ(autostart({"off"}).out, "登录时自动启动：已关闭\n");
    EXPECT_FALSE(fs::exists(entry));
}

// The package is made from the same install rules and the build tree the tests ran, as
// `make package` does; cpack takes a few seconds on a built tree, lintian some more.
TEST(DebianPackage, IsReproducibleLintianCleanAndCarriesItsFilesRelationsAndLauncher) {
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
    ASSERT_TRUE(package.filename().string().starts_with("quillo-companion_")) << package;
    EXPECT_EQ(run({"cmp", package, again}).status, 0) << "two runs, two different packages";

    const Outcome lintian = run({"lintian", "--pedantic", "--display-info", package}, {}, 300);
    EXPECT_EQ(lintian.out, "") << lintian;

    const Outcome info = run({"dpkg-deb", "--info", package});
    for (const char* field : {"Depends: ", "libgtk-3-0", "libwebkit2gtk-4.1-0", "libsecret-1-0",
                              "libayatana-appindicator3-1", "libcurl4",
                              "Recommends: gnome-keyring, python3, librsvg2-common, fonts-noto-cjk "
                              "| fonts-wqy-microhei\n",
                              "Suggests: gnome-shell-extension-appindicator\n"})
        EXPECT_TRUE(contains(info.out, field)) << field << "\n" << info;

    const fs::path tree = output.path() / "tree";
    EXPECT_EQ(run({"dpkg-deb", "--extract", package, tree}).status, 0);
    const std::string lib = "usr/lib/quillo-companion/";
    for (const std::string& file : {lib + "quillo-companion", lib + bundleName + "/index.html",
                                    "usr/share/icons/hicolor/scalable/apps/" + app + ".svg",
                                    "usr/share/metainfo/" + app + ".metainfo.xml",
                                    std::string("usr/share/man/man1/quillo-companion.1.gz"),
                                    std::string("usr/share/doc/quillo-companion/copyright")})
        EXPECT_TRUE(fs::is_regular_file(tree / file)) << file;
    EXPECT_EQ(fs::read_symlink(tree / "usr/bin/quillo-companion"),
              "../lib/quillo-companion/quillo-companion");
    EXPECT_EQ(commandLine(tree / "usr/share/applications" / (app + ".desktop")),
              Strings{"/usr/bin/quillo-companion"});
}

}  // namespace
