#include "GioProcessRunner.h"

#include <gio/gio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "ChildProcessGroups.h"

namespace quillo::gtk {

namespace {

pid_t processId(GSubprocess* process) {
    const gchar* id = g_subprocess_get_identifier(process);
    return id ? static_cast<pid_t>(g_ascii_strtoll(id, nullptr, 10)) : 0;
}

struct Run {
    GSubprocess* process = nullptr;
    pid_t group = 0;
    GCancellable* cancellable = nullptr;
    guint timeout = 0;
    bool timedOut = false;
    std::function<void(ProcessResult)> completion;

    ~Run() {
        ChildProcessGroups::remove(group);
        if (timeout) g_source_remove(timeout);
        if (cancellable) g_object_unref(cancellable);
        if (process) g_object_unref(process);
    }
};

void finished(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Run> run(static_cast<Run*>(data));
    if (run->timeout) {
        g_source_remove(run->timeout);
        run->timeout = 0;
    }
    ProcessResult outcome;
    outcome.started = true;
    outcome.timedOut = run->timedOut;
    GBytes* out = nullptr;
    GError* error = nullptr;
    const gboolean ok =
        g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &out, nullptr, &error);
    if (error) g_error_free(error);
    if (out) {
        gsize size = 0;
        const auto* bytes = static_cast<const char*>(g_bytes_get_data(out, &size));
        if (bytes) outcome.standardOutput.assign(bytes, size);
        g_bytes_unref(out);
    }
    if (ok && !run->timedOut) {
        // communicate() has waited for the exit already, so this returns at once.
        g_subprocess_wait(run->process, nullptr, nullptr);
        if (g_subprocess_get_if_exited(run->process))
            outcome.exitStatus = g_subprocess_get_exit_status(run->process);
    }
    run->completion(std::move(outcome));
}

gboolean limitReached(gpointer data) {
    auto* run = static_cast<Run*>(data);
    run->timeout = 0;
    run->timedOut = true;
    // The child leads its own process group, so helpers it started go with it instead of living
    // on as orphans.
    if (run->group > 0) ::kill(-run->group, SIGKILL);
    g_subprocess_force_exit(run->process);
    // A descendant that left the group may still hold the output pipe open; reading stops here
    // whatever it does.
    g_cancellable_cancel(run->cancellable);
    return G_SOURCE_REMOVE;
}

// In the child, before it runs the program.
void leadOwnProcessGroup(gpointer parent) {
    ::setpgid(0, 0);
    // A companion killed outright (or crashing) runs none of its ways out; the kernel still ends
    // the child itself then. Its own helpers are out of reach at that point.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(GPOINTER_TO_INT(parent))) ::_exit(127);
}

}  // namespace

void GioProcessRunner::run(std::vector<std::string> argv, std::chrono::milliseconds limit,
                           std::function<void(ProcessResult)> completion) {
    std::vector<const gchar*> args;
    for (const auto& arg : argv) args.push_back(arg.c_str());
    args.push_back(nullptr);

    GSubprocessLauncher* launcher = g_subprocess_launcher_new(
        GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE));
    g_subprocess_launcher_set_child_setup(launcher, leadOwnProcessGroup,
                                          GINT_TO_POINTER(::getpid()), nullptr);
    GError* error = nullptr;
    GSubprocess* process =
        argv.empty() ? nullptr : g_subprocess_launcher_spawnv(launcher, args.data(), &error);
    g_object_unref(launcher);
    if (!process) {
        if (error) g_error_free(error);
        // Still on a later turn: callers may be in the middle of arming this run.
        using Completion = std::function<void(ProcessResult)>;
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<Completion*>(data))(ProcessResult{});
                return G_SOURCE_REMOVE;
            },
            new Completion(std::move(completion)),
            [](gpointer data) { delete static_cast<Completion*>(data); });
        return;
    }
    auto* run = new Run;
    run->process = process;
    run->group = processId(process);
    if (run->group > 0) ChildProcessGroups::add(run->group);
    run->cancellable = g_cancellable_new();
    run->completion = std::move(completion);
    const auto milliseconds =
        std::clamp<std::chrono::milliseconds::rep>(limit.count(), 0, G_MAXUINT);
    run->timeout = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(milliseconds),
                                      limitReached, run, nullptr);
    g_subprocess_communicate_async(process, nullptr, run->cancellable, finished, run);
}

}  // namespace quillo::gtk
