// `cmake --install` into a prefix whose name needs quoting everywhere, the companion started from
// there under the test session's Xvfb, its autostart entry, desktop data and Debian package.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gdesktopappinfo.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
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

void expectValidDesktopFile(const fs::path& file) {
    const Outcome check = run({"desktop-file-validate", file});
    EXPECT_EQ(check.status, 0) << check;
    EXPECT_EQ(check.out + check.err, "") << check;
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

    static inline TempDir root_;
    static inline fs::path prefix_;
    static inline Outcome installation_;
    TempDir scratch;
};

TEST_F(Installed, StartedThroughTheRelativeLinkInBinItFindsItsBundleBesideItAndDrawsItsSnapshot) {
    const fs::path link = prefix_ / "bin/quillo-companion";
    EXPECT_EQ(fs::read_symlink(link), fs::path("../lib/quillo-companion/quillo-companion"));
    for (const char* file : {"index.html", "TansyReader/read_today_summary.py"})
        EXPECT_TRUE(fs::is_regular_file(executable().parent_path() / bundleName / file)) << file;
    const fs::path shot = scratch.path() / "shot.png";
    const Outcome companion = run({link}, {"QUILLO_CAPTURE_PATH=" + shot.string()});
    EXPECT_EQ(companion.status, 0) << companion;
    int width = 0, height = 0;
    EXPECT_TRUE(gdk_pixbuf_get_file_info(shot.c_str(), &width, &height)) << companion;
    EXPECT_EQ(std::pair(width, height), std::pair(64, 64));
}

// Had the program fallen back to the build tree's bundle, it would have found the page there.
TEST_F(Installed, ABundleBesideTheExecutableIsUsedEvenWhenItLacksThePage) {
    fs::copy_file(executable(), scratch.path() / "quillo-companion");
    fs::create_directory(scratch.path() / bundleName);
    const Outcome companion =
        run({scratch.path() / "quillo-companion"},
            {"QUILLO_CAPTURE_PATH=" + (scratch.path() / "shot.png").string()});
    EXPECT_NE(companion.status, 0) << companion;
    EXPECT_NE(companion.err.find("Missing bundled companion page"), std::string::npos) << companion;
}

TEST_F(Installed, TheLauncherIconAndAppStreamDataAreInPlaceAndPassTheirValidators) {
    const fs::path launcher = prefix_ / "share/applications" / (app + ".desktop");
    EXPECT_TRUE(
        fs::is_regular_file(prefix_ / "share/icons/hicolor/scalable/apps" / (app + ".svg")));
    std::ifstream file(launcher);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    for (const char* line : {"Name[zh_CN]=Quillo 桌面伙伴\n", "Icon=app.quillo.Companion\n",
                             "Exec=quillo-companion\n", "Categories=Utility;\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    expectValidDesktopFile(launcher);
    // Validates the metadata and checks that the launcher and icon it names are installed.
    const Outcome appstream =
        run({"appstreamcli", "validate-tree", "--strict", "--no-net", prefix_});
    EXPECT_EQ(appstream.status, 0) << appstream;
}

// Without a display: the switch must not need one.
TEST_F(Installed, TheAutostartSwitchRoundTripsAndItsEntryStartsTheInstalledExecutable) {
    const fs::path config = scratch.path() / "config";
    const fs::path entry = config / "autostart" / (app + ".desktop");
    const auto autostart = [&](Strings state) {
        state.insert(state.begin(), {prefix_ / "bin/quillo-companion", "--autostart"});
        return run(state, {"XDG_CONFIG_HOME=" + config.string(), "DISPLAY="});
    };
    EXPECT_EQ(autostart({}).out, "登录时自动启动：已关闭\n");
    EXPECT_EQ(autostart({"on"}).out, "登录时自动启动：已开启\n");
    EXPECT_EQ(autostart({}).out, "登录时自动启动：已开启\n");
    expectValidDesktopFile(entry);
    // What a session does with Exec (no field codes here): split the line as a shell would.
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
    ASSERT_TRUE(info);
    const std::string line = g_app_info_get_commandline(G_APP_INFO(info));
    g_object_unref(info);
    gchar** argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) << line;
    EXPECT_EQ(Strings(argv, argv + g_strv_length(argv)), Strings{fs::canonical(executable())});
    g_strfreev(argv);
    EXPECT_EQ(autostart({"off"}).out, "登录时自动启动：已关闭\n");
    EXPECT_FALSE(fs::exists(entry));
}

// The package is built from the same install rules; cpack takes a few seconds on a built tree.
TEST(DebianPackage, ListsTheLauncherIconExecutableAndBundleAndItsDependencies) {
    TempDir output;
    const Outcome packed = run({QUILLO_CPACK, "-G", "DEB", "-B", output.path(), "--config",
                                fs::path(QUILLO_BINARY_DIR) / "CPackConfig.cmake"},
                               {}, 300);
    std::string package;
    for (const auto& item : fs::directory_iterator(output.path()))
        if (item.path().extension() == ".deb") package = item.path();
    ASSERT_TRUE(fs::path(package).filename().string().starts_with("quillo-companion_")) << packed;

    const Outcome info = run({"dpkg-deb", "--info", package});
    for (const char* field :
         {"Package: quillo-companion", "Depends: ", "libgtk-3-0", "libwebkit2gtk-4.1-0",
          "libsecret-1-0", "libayatana-appindicator3-1", "libcurl3-gnutls",
          "Recommends: gnome-keyring, python3, fonts-noto-cjk"})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << "\n" << info;

    const Outcome listing = run({"dpkg-deb", "--contents", package});
    const std::string lib = "lib/quillo-companion/";
    for (const std::string& entry :
         {"bin/quillo-companion -> ../" + lib + "quillo-companion", lib + "quillo-companion\n",
          lib + bundleName + "/index.html\n", lib + bundleName + "/icons/quillo-companion.png\n",
          "share/applications/" + app + ".desktop\n",
          "share/icons/hicolor/scalable/apps/" + app + ".svg\n",
          "share/metainfo/" + app + ".metainfo.xml\n"})
        EXPECT_NE(listing.out.find("./usr/" + entry), std::string::npos) << entry << "\n"
                                                                         << listing;
}

}  // namespace
