#pragma once

#include <filesystem>
#include <functional>

namespace quillo::gtk {

// The process's one GtkApplication (app.quillo.Companion): a single instance per session that
// holds itself alive with no window of its own. A second launch hands its command line to the
// running instance and ends with the answer.
class GtkApplicationShell {
public:
    struct Handlers {
        std::function<void()> launch;  // once, in the first instance, when it starts for real
        std::function<void()> toggle;
    };

    explicit GtkApplicationShell(Handlers handlers);
    ~GtkApplicationShell();

    // Understands no arguments (start, or toggle a running companion), "--toggle" and "--quit".
    // The caller has checked the arguments already.
    int run(int argc, char** argv);

    // The tray item: "打开或收起 Quillo", a separator, "退出 Quillo" (Ctrl+Q).
    void installStatusItem(const std::filesystem::path& iconFolder);

    // Ends the process at once: nothing is saved or torn down first, but child process groups
    // (a summary reader) are ended before.
    [[noreturn]] static void quit();

    struct State;

private:
    State* state_;
};

}  // namespace quillo::gtk
