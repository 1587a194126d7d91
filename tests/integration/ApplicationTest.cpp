// The real program under the test session's Xvfb: its window, its hints, one instance per
// session, and the command line that reaches the running instance.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Xlib defines macros (None, Bool, Status) that clash with GoogleTest; it comes last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

extern char** environ;

namespace {

// Polls a condition until it holds or the deadline passes; X has no event for "a client mapped
// a window somewhere", so the test asks the server again every few milliseconds.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

pid_t spawn(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    int status = 0;
    std::optional<int> result;
    eventually(
        [&] {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid)
                result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return done == pid;
        },
        limit);
    return result;
}

int run(const std::vector<std::string>& arguments) {
    const pid_t pid = spawn(arguments);
    return pid < 0 ? -1 : waitExit(pid).value_or(-1);
}

class XServer {
public:
    XServer() : display_(XOpenDisplay(nullptr)) {}
    ~XServer() {
        if (display_) XCloseDisplay(display_);
    }
    ::Display* get() const { return display_; }

    // Viewable top-level windows titled "Quillo" (the companion's panel).
    std::vector<Window> companionWindows() const {
        std::vector<Window> found;
        Window root = DefaultRootWindow(display_), parent, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, root, &root, &parent, &children, &count)) return found;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            char* name = nullptr;
            if (XGetWindowAttributes(display_, children[i], &attributes) &&
                attributes.map_state == IsViewable && XFetchName(display_, children[i], &name) &&
                name) {
                if (std::string(name) == "Quillo") found.push_back(children[i]);
                XFree(name);
            }
        }
        if (children) XFree(children);
        return found;
    }

    std::vector<std::string> atoms(Window window, const char* property) const {
        std::vector<std::string> names;
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, window, XInternAtom(display_, property, False), 0, 64,
                               False, XA_ATOM, &type, &format, &count, &after, &data) != Success)
            return names;
        for (unsigned long i = 0; i < count; ++i) {
            char* name = XGetAtomName(display_, reinterpret_cast<Atom*>(data)[i]);
            names.emplace_back(name);
            XFree(name);
        }
        if (data) XFree(data);
        return names;
    }

private:
    ::Display* display_;
};

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string procFile(pid_t pid, const char* name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The web process the companion started: a child named so (the kernel cuts names at 15 bytes).
std::optional<pid_t> webProcessOf(pid_t parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = procFile(std::stoi(name), "stat");
        if (stat.find("(WebKitWebProces) ") != std::string::npos &&
            std::stoi(stat.substr(stat.rfind(')') + 4)) == parent)
            return std::stoi(name);
    }
    return std::nullopt;
}

TEST(Application, ShowsOneFloatingCompanionAndEndsOnQuit) {
    XServer x;
    ASSERT_TRUE(x.get());
    const pid_t companion = spawn({QUILLO_EXECUTABLE});
    ASSERT_GT(companion, 0);

    ASSERT_TRUE(eventually([&] { return x.companionWindows().size() == 1; }));
    const Window window = x.companionWindows().front();
    XWindowAttributes attributes;
    ASSERT_TRUE(eventually([&] {
        XGetWindowAttributes(x.get(), window, &attributes);
        return attributes.width == 64 && attributes.height == 64;
    })) << attributes.width
        << "x" << attributes.height;

    const auto state = x.atoms(window, "_NET_WM_STATE");
    for (const char* hint : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY",
                             "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
        EXPECT_TRUE(contains(state, hint)) << hint;
    EXPECT_TRUE(contains(x.atoms(window, "_NET_WM_WINDOW_TYPE"), "_NET_WM_WINDOW_TYPE_UTILITY"));

    // A second launch hands its command line to the running instance and adds no window.
    EXPECT_EQ(run({QUILLO_EXECUTABLE}), 0);
    EXPECT_EQ(x.companionWindows().size(), 1u);

    // What keeps it small: no GL driver (with libLLVM) and no SVG loader in its own process, and
    // the web process alone without the JIT.
    const std::string maps = procFile(companion, "maps");
    for (const char* library : {"libLLVM", "librsvg", "libssl.so"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library;
    const auto web = webProcessOf(companion);
    ASSERT_TRUE(web);
    const std::string environment = procFile(*web, "environ");
    EXPECT_NE(environment.find(std::string("\0JSC_useJIT=0\0", 14)), std::string::npos);
    EXPECT_EQ(environment.find("GDK_GL="), std::string::npos);

    EXPECT_EQ(run({QUILLO_EXECUTABLE, "--quit"}), 0);
    EXPECT_EQ(waitExit(companion), 0);
    EXPECT_TRUE(eventually([&] { return x.companionWindows().empty(); }));
}

TEST(Application, QuitWithNothingRunningStartsNothing) {
    XServer x;
    EXPECT_EQ(run({QUILLO_EXECUTABLE, "--quit"}), 0);
    EXPECT_TRUE(x.companionWindows().empty());
}

TEST(Application, UnknownArgumentsAreRefusedWithUsage) {
    EXPECT_EQ(run({QUILLO_EXECUTABLE, "--frobnicate"}), 2);
    EXPECT_EQ(run({QUILLO_EXECUTABLE, "--version"}), 0);
}

}  // namespace
