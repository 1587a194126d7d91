#pragma once

#include <glib.h>
#include <sys/wait.h>

#include <ostream>
#include <string>
#include <vector>

namespace quillo::testing {

struct CommandOutcome {
    int status = -1;
    std::string out, err;
    bool operator==(const CommandOutcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& stream, const CommandOutcome& outcome) {
    return stream << "exit " << outcome.status << "; stdout: " << outcome.out
                  << "; stderr: " << outcome.err;
}

// Runs a program to its end as a shell would, with a few variables ("NAME=value") set, under
// coreutils' timeout so that a hanging program fails the test instead of stalling the run.
inline CommandOutcome run(std::vector<std::string> arguments,
                          const std::vector<std::string>& variables = {}, int limitSeconds = 90) {
    arguments.insert(arguments.begin(), variables.begin(), variables.end());
    arguments.insert(arguments.begin(), {"timeout", std::to_string(limitSeconds), "env"});
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    g_autofree gchar* out = nullptr;
    g_autofree gchar* err = nullptr;
    int wait = 0;
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                      &err, &wait, nullptr))
        return {};
    return {WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait), out, err};
}

}  // namespace quillo::testing
