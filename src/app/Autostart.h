#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace quillo {

// The user's login autostart entry for the companion: an XDG autostart desktop file that the
// session starts at login. Nothing here needs a display.
class Autostart {
public:
    static constexpr const char* fileName = "app.quillo.Companion.desktop";
    // Started through the session's PATH when the executable's own path cannot be written into
    // a desktop entry.
    static constexpr const char* commandName = "quillo-companion";

    explicit Autostart(std::filesystem::path entry) : entry_(std::move(entry)) {}

    // $XDG_CONFIG_HOME/autostart/<fileName>; an unset, empty or relative XDG_CONFIG_HOME counts
    // as unset, as desktop sessions treat it, and means <home>/.config.
    static std::filesystem::path entryPath(const std::optional<std::string>& xdgConfigHome,
                                           const std::filesystem::path& home);
    // The entry of the user running this process: the environment, else the password database.
    static std::optional<Autostart> forCurrentUser();

    const std::filesystem::path& entry() const { return entry_; }

    // On when a desktop entry exists there and the session has not been told to skip it
    // (Hidden=true, or GNOME's X-GNOME-Autostart-enabled=false, which session settings dialogs
    // write).
    bool isOn() const;
    // Writes the entry (replacing the file as a whole, so a half-written entry never exists).
    // Nothing on success, else the reason.
    std::optional<std::string> turnOn(const std::filesystem::path& executable) const;
    // Removes the entry; already gone is success. Nothing on success, else the reason.
    std::optional<std::string> turnOff() const;

    // The whole desktop file that starts `executable`.
    static std::string entryText(const std::filesystem::path& executable);
    // The Exec value for `executable`: quoted and escaped where needed, or commandName where no
    // quoting can carry the path (not UTF-8, control characters, "=", "%").
    static std::string execValue(const std::filesystem::path& executable);

    // `--autostart` with "" (status), "on" or "off": the status line on `out` and 0, or a message
    // on `err` and 1. `executable` is what the entry starts.
    int command(std::string_view state, const std::filesystem::path& executable, std::ostream& out,
                std::ostream& err) const;

    static constexpr const char* onLine = "登录时自动启动：已开启";
    static constexpr const char* offLine = "登录时自动启动：已关闭";

private:
    std::filesystem::path entry_;
};

// The whole `--autostart [on|off]` command for this process: the current user's entry, starting
// the real executable behind /proc/self/exe.
int runAutostartCommand(std::string_view state, std::ostream& out, std::ostream& err);

}  // namespace quillo
