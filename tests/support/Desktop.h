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

// An X server of the test's own with the processes started on it, which all end with it.
class Desktop {
public:
    Desktop(Argv server, std::vector<Argv> managers = {}) {
        // The server picks a free display itself and writes its number to descriptor 3.
        const std::string file = (dir.path() / "display").string();
        server.insert(server.begin(),
                      {"/bin/sh", "-c", "exec \"$0\" \"$@\" -displayfd 3 3>'" + file + "'"});
        if (server[3] == "Xorg")
            server.insert(server.end(), {"-logfile", (dir.path() / "xorg.log").string()});
        env = g_environ_setenv(g_get_environ(), "XDG_CONFIG_HOME", dir.path().c_str(), TRUE);
        // A desktop that asks for reduced motion: the figure stays where it is put, unless the
        // test takes this away.
        std::filesystem::create_directories(dir.path() / "gtk-3.0");
        std::ofstream(dir.path() / "gtk-3.0" / "settings.ini")
            << "[Settings]\ngtk-enable-animations=0\n";
        start(server);
        std::string number;
        runUntil([&] { return bool(std::getline(std::ifstream(file) >> std::ws, number)); },
                 std::chrono::seconds(20));
        env = g_environ_setenv(env, "DISPLAY", (":" + number).c_str(), TRUE);
        for (const auto& manager : managers) start(manager);
        if (!managers.empty())
            runUntil(
                [&] {
                    return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") !=
                           std::string::npos;
                },
                std::chrono::seconds(20));
    }
    ~Desktop() {
        for (auto it = pids.rbegin(); it != pids.rend(); ++it) stop(*it);
        g_strfreev(env);
    }

    GPid start(const Argv& argv) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        GPid pid = -1;
        g_spawn_async(nullptr, args.data(), env,
                      GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                                  G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, &pid, nullptr);
        pids.push_back(pid);
        return pid;
    }
    // Runs a helper to its end: what it printed, and its exit status in `status`.
    std::string run(Argv argv, int* status = nullptr) {
        argv.insert(argv.begin(), {"timeout", "30"});  // a test that fails, not one that hangs
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        g_autofree gchar* out = nullptr;
        int wait = -1;
        g_spawn_sync(nullptr, args.data(), env,
                     GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                     nullptr, &out, nullptr, &wait, nullptr);
        if (status) *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        return out ? out : "";
    }
    // Waits for the process's end and gives its exit status.
    std::optional<int> exitOf(GPid pid) {
        int status = 0;
        bool ended = false;
        if (!runUntil([&] { return ended = ended || waitpid(pid, &status, WNOHANG) == pid; },
                      std::chrono::seconds(20)))
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

    TempDir dir;  // also the settings folder of what runs on it
    gchar** env = nullptr;
    std::vector<GPid> pids;
};

}  // namespace quillo::testing
