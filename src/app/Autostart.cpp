#include "Autostart.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace quillo {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view reservedInExec = " \t\n\"'\\><~|&;$*?#()`";

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// The path as a desktop entry can name it as a program, or nothing: desktop files are UTF-8,
// have no way to put a control character into Exec, and forbid "=" in the program's name. A "%"
// would have to be written "%%", and GLib (so GNOME's session) looks for the program before it
// expands field codes, finds no file of the doubled name and drops the entry.
std::optional<std::string> programPath(const fs::path& executable) {
    const std::string& text = executable.native();
    if (text.empty() || !executable.is_absolute()) return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0x20 || c == 0x7f || c == '=' || c == '%') return std::nullopt;
    }
    return text;
}

// Backslashes are the one string-level escape a program path can need.
std::string escapedString(std::string_view value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string failure(std::string_view what, const fs::path& entry, const std::string& reason) {
    return std::string(what) + "（" + entry.string() + "）：" + reason;
}

std::string systemReason(int error) { return std::generic_category().message(error); }

}  // namespace

fs::path Autostart::entryPath(const std::optional<std::string>& xdgConfigHome,
                              const fs::path& home) {
    const bool usable =
        xdgConfigHome && !xdgConfigHome->empty() && fs::path(*xdgConfigHome).is_absolute();
    const fs::path configHome = usable ? fs::path(*xdgConfigHome) : home / ".config";
    return configHome / "autostart" / fileName;
}

std::optional<Autostart> Autostart::forCurrentUser() {
    std::optional<std::string> xdgConfigHome;
    if (const char* value = std::getenv("XDG_CONFIG_HOME")) xdgConfigHome = value;
    fs::path home;
    if (const char* value = std::getenv("HOME"); value && *value) {
        home = value;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && *found->pw_dir)
            home = found->pw_dir;
    }
    if (!home.is_absolute() && !(xdgConfigHome && fs::path(*xdgConfigHome).is_absolute()))
        return std::nullopt;
    return Autostart(entryPath(xdgConfigHome, home));
}

bool Autostart::isOn() const {
    std::ifstream file(entry_);
    if (!file) return false;
    std::error_code error;
    if (!fs::is_regular_file(entry_, error)) return false;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    std::string line;
    while (std::getline(file, line)) {
        const std::string text = trimmed(line);
        if (text.starts_with('[')) {
            inMainGroup = text == "[Desktop Entry]";
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        const auto equals = text.find('=');
        if (!inMainGroup || equals == std::string::npos) continue;
        const std::string key = trimmed(std::string_view(text).substr(0, equals));
        const std::string value = trimmed(std::string_view(text).substr(equals + 1));
        if (key == "Hidden" && value == "true") return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
    }
    // Without its group the file is no desktop entry, and the session ignores it.
    return sawMainGroup;
}

std::optional<std::string> Autostart::turnOn(const fs::path& executable) const {
    constexpr std::string_view what = "无法开启登录时自动启动";
    std::error_code error;
    fs::create_directories(entry_.parent_path(), error);
    if (error) return failure(what, entry_, error.message());

    // Written beside the entry and renamed over it: the session never reads half an entry, and
    // a failed write leaves the previous state alone.
    std::string temporary =
        (entry_.parent_path() / ("." + std::string(fileName) + ".XXXXXX")).string();
    const int descriptor = ::mkstemp(temporary.data());
    if (descriptor < 0) return failure(what, entry_, systemReason(errno));
    const std::string text = entryText(executable);
    int problem = ::fchmod(descriptor, 0644) == 0 ? 0 : errno;
    for (size_t done = 0; problem == 0 && done < text.size();) {
        const ssize_t count = ::write(descriptor, text.data() + done, text.size() - done);
        if (count > 0)
            done += static_cast<size_t>(count);
        else if (count == 0 || errno != EINTR)
            problem = count == 0 ? EIO : errno;
    }
    if (::close(descriptor) != 0 && problem == 0) problem = errno;
    if (problem == 0 && ::rename(temporary.c_str(), entry_.c_str()) != 0) problem = errno;
    if (problem != 0) {
        ::unlink(temporary.c_str());
        return failure(what, entry_, systemReason(problem));
    }
    return std::nullopt;
}

std::optional<std::string> Autostart::turnOff() const {
    constexpr std::string_view what = "无法关闭登录时自动启动";
    std::error_code error;
    const auto status = fs::symlink_status(entry_, error);
    if (status.type() == fs::file_type::not_found) return std::nullopt;
    // fs::remove would take an empty folder of this name with it; that is not ours to delete.
    if (status.type() == fs::file_type::directory)
        return failure(what, entry_, systemReason(EISDIR));
    fs::remove(entry_, error);
    if (error) return failure(what, entry_, error.message());
    return std::nullopt;
}

std::string Autostart::execValue(const fs::path& executable) {
    const auto program = programPath(executable);
    if (!program) return commandName;
    std::string value;
    if (program->find_first_of(reservedInExec) == std::string::npos) {
        value = *program;
    } else {
        value = "\"";
        for (const char c : *program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') value += '\\';
            value += c;
        }
        value += '"';
    }
    // Desktop files undo string escapes before they undo the quoting.
    return escapedString(value);
}

std::string Autostart::entryText(const fs::path& executable) {
    const auto program = programPath(executable);
    std::ostringstream text;
    text << "[Desktop Entry]\n"
            "Type=Application\n"
            "Version=1.4\n"
            "Name=Quillo Companion\n"
            "Name[zh_CN]=Quillo 桌面伙伴\n"
            "Comment=Shows today's diary on the desktop and syncs it to Quillo\n"
            "Comment[zh_CN]=在桌面上显示今天的日记，并同步到 Quillo\n"
            "Icon=app.quillo.Companion\n"
         << "Exec=" << execValue(executable)
         << "\n"
         // An entry whose program has since been removed is skipped instead of failing at login.
         << "TryExec=" << (program ? escapedString(*program) : commandName) << "\n"
         << "Terminal=false\n"
            "StartupNotify=false\n"
            "X-GNOME-Autostart-enabled=true\n";
    return text.str();
}

int Autostart::command(std::string_view state, const fs::path& executable, std::ostream& out,
                       std::ostream& err) const {
    std::optional<std::string> problem;
    if (state == "on") {
        problem = turnOn(executable);
    } else if (state == "off") {
        problem = turnOff();
    } else if (!state.empty()) {
        err << "quillo-companion: 无法识别的参数 “" << state << "”\n";
        return 2;
    }
    if (problem) {
        err << "quillo-companion: " << *problem << "\n";
        return 1;
    }
    out << (isOn() ? onLine : offLine) << "\n";
    return 0;
}

int runAutostartCommand(std::string_view state, std::ostream& out, std::ostream& err) {
    const auto autostart = Autostart::forCurrentUser();
    if (!autostart) {
        err << "quillo-companion: 找不到主文件夹（HOME 未设置），无法确定自动启动项的位置\n";
        return 1;
    }
    // The real executable, not the bin/ link: the session starts exactly the program that was
    // switched on, whatever PATH the login session has.
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error || !fs::is_regular_file(executable, error)) executable.clear();
    return autostart->command(state, executable, out, err);
}

}  // namespace quillo
