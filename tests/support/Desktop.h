#pragma once

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "MainContext.h"
#include "TempDir.h"

namespace quillo::testing {

using Argv = std::vector<std::string>;
using Geometry = std::array<int, 4>;  // x, y, width and height in X pixels

inline const Argv xvfb = {"Xvfb", "-screen", "0", "1600x900x24", "-nolisten", "tcp"};

// An X server of the test's own, with window managers if asked, and the processes started on it:
// all end with it. What runs on it keeps its settings in `dir`, where the desktop asks for reduced
// motion unless a test takes that away: the companion's figure then stays where it is put.
class Desktop {
public:
    explicit Desktop(Argv server, const std::vector<Argv>& managers = {}) {
        // The server picks a free display itself and writes its number to descriptor 3.
        const auto file = dir.path() / "display";
        server.insert(server.begin(),
                      {"sh", "-c", "exec \"$0\" \"$@\" -displayfd 3 3>" + file.string()});
        if (server[3] == "Xorg") server.insert(server.end(), {"-logfile", dir.path() / "xorg.log"});
        std::filesystem::create_directories(dir.path() / "gtk-3.0");
        std::ofstream(dir.path() / "gtk-3.0" / "settings.ini")
            << "[Settings]\ngtk-enable-animations=0\n";
        env = g_environ_setenv(g_get_environ(), "XDG_CONFIG_HOME", dir.path().c_str(), TRUE);
        start(server);
        std::string number;
        runUntil([&] { return bool(std::ifstream(file) >> number); });
        env = g_environ_setenv(env, "DISPLAY", (":" + number).c_str(), TRUE);
        for (const auto& manager : managers) start(manager);
        const auto managed = [&] {
            return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") !=
                   std::string::npos;
        };
        if (!managers.empty()) runUntil(managed);
    }
    ~Desktop() {
        while (!pids.empty()) stop(pids.back());
        g_strfreev(env);
    }

    GPid start(const Argv& argv) {
        GPid pid = -1;
        g_spawn_async(nullptr, args(argv).data(), env,
                      GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                                  G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, &pid, nullptr);
        pids.push_back(pid);
        return pid;
    }
    // Runs a helper to its end (30 seconds at most): what it printed, and its exit status.
    std::string run(Argv argv, int* status = nullptr) {
        argv.insert(argv.begin(), {"timeout", "30"});
        g_autofree gchar* out = nullptr;
        int wait = -1;
        g_spawn_sync(nullptr, args(argv).data(), env,
                     GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                     nullptr, &out, nullptr, &wait, nullptr);
        if (status) *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        return out ? out : "";
    }
    // The exit status of the process once it has ended by itself.
    std::optional<int> exitOf(GPid pid) {
        int status = 0;
        bool ended = false;
        if (!runUntil([&] { return ended = ended || waitpid(pid, &status, WNOHANG) == pid; }))
            return {};
        std::erase(pids, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void stop(GPid pid) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::erase(pids, pid);
    }
    Geometry geometry(const std::string& window) {
        Geometry g{};
        std::sscanf(run({"xdotool", "getwindowgeometry", "--shell", window}).c_str(),
                    "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g[0], &g[1], &g[2], &g[3]);
        return g;
    }
    std::string display() const { return g_environ_getenv(env, "DISPLAY"); }

    TempDir dir;
    gchar** env = nullptr;
    std::vector<GPid> pids;

private:
    static std::vector<char*> args(const Argv& argv) {
        std::vector<char*> list;
        for (const auto& a : argv) list.push_back(const_cast<char*>(a.c_str()));
        list.push_back(nullptr);
        return list;
    }
};

}  // namespace quillo::testing
