// The installed program: `cmake --install` into a throwaway prefix whose name needs quoting
// everywhere (spaces, quotes, "$", backticks, Chinese), the companion started from there under the
// test session's Xvfb, the autostart entry it writes, the desktop data, and the Debian package.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gdesktopappinfo.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using quillo::testing::TempDir;

constexpr const char* appId = "app.quillo.Companion";
constexpr const char* bundleName = "QuilloCompanion_QuilloCompanion.bundle";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::ostream& operator<<(std::ostream& stream, const Outcome& outcome) {
    return stream << "exit " << outcome.status << "\n--- stdout\n"
                  << outcome.out << "--- stderr\n"
                  << outcome.err;
}

// Runs a program to its end with a few extra variables, under coreutils' timeout so a hanging
// companion fails the test instead of stalling the run.
Outcome run(const std::vector<std::string>& arguments,
            const std::map<std::string, std::string>& variables = {}, int limitSeconds = 90) {
    std::vector<std::string> command = {"timeout", std::to_string(limitSeconds)};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    gchar** environment = g_get_environ();
    for (const auto& [name, value] : variables)
        environment = g_environ_setenv(environment, name.c_str(), value.c_str(), TRUE);

    Outcome outcome;
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint wait = 0;
    GError* error = nullptr;
    if (g_spawn_sync(nullptr, argv.data(), environment, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                     &err, &wait, &error)) {
        outcome.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait);
        outcome.out = out;
        outcome.err = err;
    } else {
        outcome.err = error->message;
        g_error_free(error);
    }
    g_free(out);
    g_free(err);
    g_strfreev(environment);
    return outcome;
}

std::string contents(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool isExecutableFile(const fs::path& path) {
    return fs::is_regular_file(path) &&
           (fs::status(path).permissions() & fs::perms::owner_exec) != fs::perms::none;
}

bool hasLineStartingWith(const std::string& text, const std::string& prefix) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(prefix)) return true;
    return false;
}

// One installation shared by the tests of this file; installing takes a moment.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new TempDir();
        prefix_ = root_->path() / "前缀 it's \"quoted\" $HOME `x`";
        installation_ = run({QUILLO_CMAKE, "--install", QUILLO_BINARY_DIR, "--prefix", prefix_});
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(installation_.status, 0) << installation_; }

    static fs::path prefix() { return prefix_; }
    static fs::path link() { return prefix_ / "bin/quillo-companion"; }
    static fs::path executable() { return prefix_ / "lib/quillo-companion/quillo-companion"; }
    static fs::path bundle() { return prefix_ / "lib/quillo-companion" / bundleName; }
    static fs::path launcher() {
        return prefix_ / "share/applications" / (std::string(appId) + ".desktop");
    }
    static fs::path metainfo() {
        return prefix_ / "share/metainfo" / (std::string(appId) + ".metainfo.xml");
    }
    static fs::path icon() {
        return prefix_ / "share/icons/hicolor/scalable/apps" / (std::string(appId) + ".svg");
    }

    TempDir scratch;

private:
    static inline TempDir* root_ = nullptr;
    static inline fs::path prefix_;
    static inline Outcome installation_;
};

TEST_F(Installed, TheExecutableAndItsBundleLieTogetherWithARelativeLinkInBin) {
    EXPECT_TRUE(isExecutableFile(executable()));
    for (const char* file : {"index.html", "vendor/markdown-it.min.js",
                             "icons/quillo-companion.svg", "TansyReader/read_today_summary.py"})
        EXPECT_TRUE(fs::is_regular_file(bundle() / file)) << file;
    ASSERT_TRUE(fs::is_symlink(link()));
    EXPECT_EQ(fs::read_symlink(link()), fs::path("../lib/quillo-companion/quillo-companion"));
    EXPECT_EQ(fs::canonical(link()), fs::canonical(executable()));
}

TEST_F(Installed, TheLauncherIconAndAppStreamDataAreInTheirStandardPlaces) {
    EXPECT_TRUE(fs::is_regular_file(launcher()));
    EXPECT_TRUE(fs::is_regular_file(metainfo()));
    EXPECT_EQ(contents(icon()), contents(bundle() / "icons/quillo-companion.svg"));
    const std::string text = contents(launcher());
    for (const char* line : {"Name[zh_CN]=Quillo 桌面伙伴\n", "Icon=app.quillo.Companion\n",
                             "Exec=quillo-companion\n", "Categories=Utility;\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(Installed, TheLauncherAndTheAppStreamDataPassTheirValidators) {
    const Outcome desktop = run({"desktop-file-validate", launcher()});
    EXPECT_EQ(desktop.status, 0) << desktop;
    EXPECT_EQ(desktop.out + desktop.err, "") << desktop;
    // validate-tree also checks that the launcher named by the metadata is installed.
    for (const auto& arguments :
         {std::vector<std::string>{"appstreamcli", "validate", "--no-net", metainfo()},
          std::vector<std::string>{"appstreamcli", "validate-tree", "--no-net", prefix()}}) {
        const Outcome appstream = run(arguments);
        EXPECT_EQ(appstream.status, 0) << arguments[1] << "\n" << appstream;
        EXPECT_FALSE(hasLineStartingWith(appstream.out, "  W:")) << appstream;
        EXPECT_FALSE(hasLineStartingWith(appstream.out, "  E:")) << appstream;
    }
}

TEST_F(Installed, StartedThroughTheLinkItDrawsItsSnapshotAndQuits) {
    const fs::path shot = scratch.path() / "shot.png";
    const Outcome companion = run({link()}, {{"QUILLO_CAPTURE_PATH", shot}});
    EXPECT_EQ(companion.status, 0) << companion;
    int width = 0, height = 0;
    ASSERT_TRUE(gdk_pixbuf_get_file_info(shot.c_str(), &width, &height)) << companion;
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 64);
}

TEST_F(Installed, ItReadsTheBundleBesideItselfAndNotTheBuildTrees) {
    // A second installation whose page is missing: had the program fallen back to the build
    // tree's bundle, it would have found the page there and run.
    const fs::path other = scratch.path() / "other";
    ASSERT_EQ(run({QUILLO_CMAKE, "--install", QUILLO_BINARY_DIR, "--prefix", other}).status, 0);
    fs::remove(other / "lib/quillo-companion" / bundleName / "index.html");
    const Outcome companion = run({other / "bin/quillo-companion"},
                                  {{"QUILLO_CAPTURE_PATH", scratch.path() / "shot.png"}});
    EXPECT_NE(companion.status, 0) << companion;
    EXPECT_NE(companion.err.find("Missing bundled companion page"), std::string::npos) << companion;
}

class InstalledAutostart : public Installed {
protected:
    Outcome autostart(std::optional<std::string> state = std::nullopt) {
        std::vector<std::string> arguments = {link(), "--autostart"};
        if (state) arguments.push_back(*state);
        // No display: the switch must not need one.
        return run(arguments, {{"XDG_CONFIG_HOME", config()}, {"DISPLAY", ""}});
    }
    fs::path config() const { return scratch.path() / "config"; }
    fs::path entry() const { return config() / "autostart" / (std::string(appId) + ".desktop"); }
};

TEST_F(InstalledAutostart, SwitchesOnAndOffAndSaysWhichWithoutADisplay) {
    const Outcome before = autostart();
    EXPECT_EQ(before.status, 0) << before;
    EXPECT_EQ(before.out, "登录时自动启动：已关闭\n");

    const Outcome on = autostart("on");
    EXPECT_EQ(on.status, 0) << on;
    EXPECT_EQ(on.out, "登录时自动启动：已开启\n");
    ASSERT_TRUE(fs::is_regular_file(entry()));
    const Outcome valid = run({"desktop-file-validate", entry()});
    EXPECT_EQ(valid.status, 0) << valid;
    EXPECT_EQ(valid.out + valid.err, "") << valid;
    EXPECT_EQ(autostart().out, "登录时自动启动：已开启\n");

    const Outcome off = autostart("off");
    EXPECT_EQ(off.status, 0) << off;
    EXPECT_EQ(off.out, "登录时自动启动：已关闭\n");
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_EQ(autostart().out, "登录时自动启动：已关闭\n");
}

TEST_F(InstalledAutostart, AnUnknownStateIsRefusedWithTheUsage) {
    const Outcome refused = autostart("maybe");
    EXPECT_EQ(refused.status, 2) << refused;
    EXPECT_NE(refused.err.find("--autostart on"), std::string::npos) << refused;
    EXPECT_FALSE(fs::exists(config()));
}

TEST_F(InstalledAutostart, TheEntryNamesTheRealExecutableAsTheDesktopReadsIt) {
    ASSERT_EQ(autostart("on").status, 0);
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry().c_str());
    ASSERT_TRUE(info);
    // What a session does with Exec: expand field codes ("%%" is a literal "%"), then split
    // the line as a shell would.
    std::string line = g_app_info_get_commandline(G_APP_INFO(info));
    for (std::size_t at = line.find("%%"); at != std::string::npos; at = line.find("%%", at + 1))
        line.erase(at, 1);
    gchar** argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) << line;
    ASSERT_EQ(g_strv_length(argv), 1u) << line;
    EXPECT_EQ(fs::path(argv[0]), fs::canonical(executable()));
    g_strfreev(argv);
    g_object_unref(info);
}

TEST_F(InstalledAutostart, LaunchingTheEntryStartsTheCompanion) {
    ASSERT_EQ(autostart("on").status, 0);
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry().c_str());
    ASSERT_TRUE(info);
    const fs::path shot = scratch.path() / "autostarted.png";
    GAppLaunchContext* context = g_app_launch_context_new();
    g_app_launch_context_setenv(context, "QUILLO_CAPTURE_PATH", shot.c_str());
    GPid pid = 0;
    GError* error = nullptr;
    const gboolean launched = g_desktop_app_info_launch_uris_as_manager(
        info, nullptr, context, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
        [](GDesktopAppInfo*, GPid child, gpointer data) { *static_cast<GPid*>(data) = child; },
        &pid, &error);
    g_object_unref(context);
    g_object_unref(info);
    ASSERT_TRUE(launched) << (error ? error->message : "");
    ASSERT_GT(pid, 0);

    // The snapshot mode ends the companion by itself; its end is the signal to look.
    struct Ended {
        bool done = false;
        int status = 0;
    } ended;
    g_child_watch_add(
        pid,
        [](GPid, gint status, gpointer data) {
            *static_cast<Ended*>(data) = {true, status};
        },
        &ended);
    bool expired = false;
    const guint limit = g_timeout_add_seconds(
        90,
        [](gpointer data) {
            *static_cast<bool*>(data) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    while (!ended.done && !expired) g_main_context_iteration(nullptr, TRUE);
    if (!expired) g_source_remove(limit);
    if (!ended.done) kill(pid, SIGKILL);
    while (!ended.done) g_main_context_iteration(nullptr, TRUE);
    ASSERT_FALSE(expired) << "the autostarted companion did not finish";
    const int status = ended.status;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    int width = 0, height = 0;
    EXPECT_TRUE(gdk_pixbuf_get_file_info(shot.c_str(), &width, &height));
}

// The package is built from the same install rules; cpack takes a few seconds on a built tree.
TEST(DebianPackage, ListsTheLauncherIconExecutableAndBundleAndItsDependencies) {
    TempDir output;
    const Outcome packed = run({QUILLO_CPACK, "-G", "DEB", "-B", output.path(), "--config",
                                fs::path(QUILLO_BINARY_DIR) / "CPackConfig.cmake"},
                               {}, 300);
    ASSERT_EQ(packed.status, 0) << packed;
    std::optional<fs::path> package;
    for (const auto& item : fs::directory_iterator(output.path()))
        if (item.path().extension() == ".deb") package = item.path();
    ASSERT_TRUE(package) << packed;
    EXPECT_TRUE(package->filename().string().starts_with("quillo-companion_")) << *package;

    const Outcome info = run({"dpkg-deb", "--info", *package});
    ASSERT_EQ(info.status, 0) << info;
    for (const char* field : {"Package: quillo-companion", "Depends: ", "libgtk-3-0",
                              "libwebkit2gtk-4.1-0", "libsecret-1-0", "libayatana-appindicator3-1",
                              "libcurl4", "Recommends: gnome-keyring, python3, fonts-noto-cjk"})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << "\n" << info.out;

    const Outcome listing = run({"dpkg-deb", "--contents", *package});
    ASSERT_EQ(listing.status, 0) << listing;
    const std::string bundle = std::string("./usr/lib/quillo-companion/") + bundleName + "/";
    for (const std::string& entry : {
             std::string("./usr/bin/quillo-companion -> ../lib/quillo-companion/quillo-companion"),
             std::string("./usr/lib/quillo-companion/quillo-companion\n"),
             bundle + "index.html\n",
             bundle + "vendor/markdown-it.min.js\n",
             bundle + "TansyReader/read_today_summary.py\n",
             std::string("./usr/share/applications/app.quillo.Companion.desktop\n"),
             std::string("./usr/share/icons/hicolor/scalable/apps/app.quillo.Companion.svg\n"),
             std::string("./usr/share/metainfo/app.quillo.Companion.metainfo.xml\n"),
         })
        EXPECT_NE(listing.out.find(entry), std::string::npos) << entry << "\n" << listing.out;
    EXPECT_TRUE(hasLineStartingWith(listing.out, "-rwxr-xr-x root/root"));
}

}  // namespace
