// The assistant summary reader, the calendar page and the diagnostic snapshot.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "CompanionController.h"

namespace quillo {

using namespace std::chrono_literals;

namespace {

constexpr const char* tansyBasesFolder = "TansyWork/sandbox_runtime/bases";
constexpr std::array<const char*, 2> tansyInterpreterNames = {"bin/python3.13", "bin/python3"};
constexpr const char* systemPython = "/usr/bin/python3";
// A reader that hangs would otherwise hold every later refresh back for good.
constexpr auto tansyReaderTimeLimit = 30s;
// Where the bundled reader finds today's summary, under the data folder.
constexpr const char* tansySummariesFolder = "TansyWork/summaries";
// A file changed this recently may change again within the same file-system timestamp (two
// seconds on the coarsest file systems) without its description changing: it is read again.
constexpr auto tansySummarySettleTime = 5s;

constexpr std::array<const char*, 3> calendarPages = {
    "Documents/Quillo/kiln/index.html",
    "Documents/Quillo/tansy-work/index.html",
    "Documents/Quillo/index.html",
};
constexpr const char* calendarFallback = "https://quillo.app/";

constexpr auto captureDelay = 2000ms;

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// Every byte outside the unreserved set and "/" is escaped, so names with spaces, "#", "?", "%"
// or non-ASCII letters reach the opener as the same file.
std::string fileURI(const std::filesystem::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const unsigned char c : path.string()) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           c == '/';
        if (plain) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 0x0F];
        }
    }
    return uri;
}

// The summary in the reader's output, or nothing when the output is not a JSON document. As with
// the usual platform JSON readers, a document is an object or an array; a bare scalar is not one.
std::optional<std::string> summaryFromReaderOutput(const std::string& output) {
    const auto document = nlohmann::json::parse(output, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded() || !(document.is_object() || document.is_array()))
        return std::nullopt;
    if (!document.is_object()) return std::string();
    const auto content = document.find("content");
    if (content == document.end() || !content->is_string()) return std::string();
    return content->get<std::string>();
}

// The file as the file system describes it: identity, size and both change times. Any write,
// replacement, removal or change of permissions gives another description.
std::string fileDescription(
    const std::filesystem::path& path,
    std::optional<std::chrono::system_clock::time_point>* changed = nullptr) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return "missing " + std::to_string(errno);
    if (changed) {
        const auto& latest =
            std::max(status.st_mtim, status.st_ctim, [](const timespec& a, const timespec& b) {
                return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
            });
        *changed = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(latest.tv_sec) + std::chrono::nanoseconds(latest.tv_nsec)));
    }
    std::string text;
    for (const auto value :
         {std::uint64_t(status.st_dev), std::uint64_t(status.st_ino), std::uint64_t(status.st_mode),
          std::uint64_t(status.st_size), std::uint64_t(status.st_mtim.tv_sec),
          std::uint64_t(status.st_mtim.tv_nsec), std::uint64_t(status.st_ctim.tv_sec),
          std::uint64_t(status.st_ctim.tv_nsec)})
        text += std::to_string(value) + ' ';
    return text;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

}  // namespace

// --- Assistant summary reader

std::optional<std::filesystem::path> CompanionController::tansyPythonURL() const {
    std::vector<std::filesystem::path> candidates;
    // Listing order as the file system gives it: the assistant decides which runtime comes first.
    std::error_code error;
    std::filesystem::directory_iterator entries(
        platform_.environment().dataHome() / tansyBasesFolder, error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        for (const char* name : tansyInterpreterNames) candidates.push_back(entries->path() / name);
    }
    candidates.emplace_back(systemPython);

    for (const auto& candidate : candidates)
        if (isExecutableFile(candidate)) return candidate;
    return std::nullopt;
}

void CompanionController::refreshTansySummary() {
    if (isTansySummaryRefreshRunning) return;
    const auto script =
        platform_.environment().resourceBundle() / "TansyReader" / "read_today_summary.py";
    std::error_code error;
    if (!std::filesystem::is_regular_file(script, error)) return;
    const auto python = tansyPythonURL();
    if (!python) return;

    isTansySummaryRefreshRunning = true;
    tansySummaryInputsOfRunningRead = tansySummaryInputs(*python, script);
    platform_.processRunner().run(
        {python->string(), script.string()}, tansyReaderTimeLimit,
        [weakSelf = weak_from_this()](ProcessResult result) {
            auto self = weakSelf.lock();
            if (!self) return;
            self->isTansySummaryRefreshRunning = false;

            const bool exitedCleanly = result.started && !result.timedOut && result.exitStatus == 0;
            self->tansySummaryInputsOfLastRead =
                exitedCleanly ? self->tansySummaryInputsOfRunningRead : std::string();
            if (!exitedCleanly) return;
            const auto content = summaryFromReaderOutput(result.standardOutput);
            if (!content || *content == self->tansySummaryContent) return;

            self->tansySummaryContent = *content;
            if (self->isPageReady) {
                // A new summary is a change of the day's diary like any other and goes up when
                // connected, the first one of the day included; the cleared snapshot keeps the
                // absorb effect for the files.
                self->lastDiarySnapshot.clear();
                self->refreshDiary(true);
            }
        });
}

// The bundled reader prints today's summary file, so its answer can only change with the day, the
// interpreter, the script or that file. Described before the read starts: a change during the
// read makes the next description differ, and the file is read again.
std::string CompanionController::tansySummaryInputs(const std::filesystem::path& python,
                                                    const std::filesystem::path& script) const {
    const auto& environment = platform_.environment();
    const auto day = localDateString();
    std::optional<std::chrono::system_clock::time_point> changed;
    const auto summary =
        fileDescription(environment.dataHome() / tansySummariesFolder / (day + ".md"), &changed);
    if (changed && *changed > environment.now() - tansySummarySettleTime) return {};
    return day + '\n' + python.string() + '\n' + fileDescription(script) + '\n' + summary;
}

bool CompanionController::tansySummaryMayHaveChanged() const {
    const auto script =
        platform_.environment().resourceBundle() / "TansyReader" / "read_today_summary.py";
    const auto python = tansyPythonURL();
    return !python || tansySummaryInputsOfLastRead.empty() ||
           tansySummaryInputs(*python, script) != tansySummaryInputsOfLastRead;
}

// --- Calendar

void CompanionController::openCalendar() {
    const auto home = platform_.environment().homeDirectory();
    for (const char* page : calendarPages) {
        std::error_code error;
        const auto candidate = std::filesystem::absolute(home / page, error);
        if (error || !std::filesystem::exists(candidate, error)) continue;
        platform_.workspace().openURI(fileURI(candidate));
        return;
    }
    platform_.workspace().openURI(calendarFallback);
}

// --- Snapshot

void CompanionController::captureIfRequested() {
    if (captureStarted) return;
    auto& environment = platform_.environment();
    const auto path = environment.variable("QUILLO_CAPTURE_PATH");
    if (!path || path->empty()) return;
    captureStarted = true;

    if (environment.variable("QUILLO_CAPTURE_EXPANDED") == "1") {
        setExpanded(true);
        webView->evaluateScript("window.__quilloDebug?.setExpanded(true)");
    }

    // Not kept: one capture per process, and a controller that goes away stops it by itself.
    platform_.mainLoop()
        .postDelayed(
            captureDelay,
            [weakSelf = weak_from_this(), path = *path, &environment] {
                auto self = weakSelf.lock();
                if (!self) return;
                self->webView->takeSnapshot([path, &environment](std::optional<std::string> png) {
                    if (!png) {
                        std::fputs("Failed to capture companion snapshot\n", stderr);
                    } else if (!writeFile(path, *png)) {
                        std::fputs("Failed to write companion snapshot\n", stderr);
                    }
                    environment.quit();
                });
            })
        .release();
}

}  // namespace quillo
