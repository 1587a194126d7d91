#include "diary/TodayDiary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "diary/DiaryAggregator.h"

namespace quillo::TodayDiary {
namespace {

// Weekday names as tm_wday counts them (Sunday first). A fixed table rather than a locale, so the
// title does not depend on which locales the system happens to have installed.
constexpr std::array<std::string_view, 7> weekdays{"星期日", "星期一", "星期二", "星期三",
                                                   "星期四", "星期五", "星期六"};

std::tm localCalendar(std::chrono::system_clock::time_point now) {
    // Re-reading TZ each time lets a changed time zone take effect on the next day key.
    ::tzset();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm calendar{};
    if (!::localtime_r(&seconds, &calendar)) {
        // Only a year beyond what tm can hold gets here; the epoch keeps the text well formed.
        const std::time_t epoch = 0;
        ::gmtime_r(&epoch, &calendar);
    }
    return calendar;
}

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::int64_t length = static_cast<std::int64_t>(text.size());
    std::int64_t index = 0;
    while (index < length) {
        if (bytes[index] < 0x80) {
            ++index;
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, index, length, c);
        if (c < 0) return false;
    }
    return true;
}

// Editors on some systems open a UTF-8 file with U+FEFF; left in, it would hide the first heading
// and with it the whole source.
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::string withoutByteOrderMark(std::string text) {
    if (text.starts_with(byteOrderMark)) text.erase(0, byteOrderMark.size());
    return text;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::string dayKey(std::chrono::system_clock::time_point now) {
    const std::tm calendar = localCalendar(now);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", calendar.tm_year + 1900, calendar.tm_mon + 1,
                  calendar.tm_mday);
    return text;
}

std::string displayDate(std::chrono::system_clock::time_point now) {
    const std::tm calendar = localCalendar(now);
    char text[48];
    std::snprintf(text, sizeof text, "%04d年%d月%d日", calendar.tm_year + 1900, calendar.tm_mon + 1,
                  calendar.tm_mday);
    return std::string(text).append(weekdays[static_cast<std::size_t>(calendar.tm_wday) % 7]);
}

std::filesystem::path dayFolder(const std::filesystem::path& home, const Source& source,
                                std::string_view dayKey) {
    // Built as one text: the tick asks for these paths every time it looks.
    std::string path = home.native();
    path.reserve(path.size() + 64);
    if (path.empty() || path.back() != '/') path += '/';
    path.append("Documents/Quillo/").append(source.folder).append("/daily/");
    path.append(dayKey.substr(0, 4));
    return path;
}

std::vector<std::filesystem::path> dayFolders(const std::filesystem::path& home,
                                              std::string_view dayKey) {
    std::vector<std::filesystem::path> folders;
    for (const auto& source : sources) folders.push_back(dayFolder(home, source, dayKey));
    return folders;
}

std::filesystem::path diaryFile(const std::filesystem::path& home, const Source& source,
                                std::string_view dayKey) {
    std::string path = dayFolder(home, source, dayKey).native();
    path.append("/").append(dayKey).append(".md");
    return path;
}

std::optional<std::string> readDiaryText(const std::filesystem::path& file) {
    // Non-blocking open: a named pipe put where the file should be would otherwise hold the main
    // loop until some writer opened it.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;

    std::string text;
    // The size is a hint only: the file may grow or shrink while it is read.
    text.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        const std::size_t wanted = text.size() - used;
        const ssize_t got = ::read(fd.get(), text.data() + used, wanted);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        used += static_cast<std::size_t>(got);
        // A regular file reads short only at its end: no need to ask once more to hear so.
        if (static_cast<std::size_t>(got) < wanted) break;
    }
    text.resize(used);
    text = withoutByteOrderMark(std::move(text));
    if (text.empty() || !isValidUTF8(text)) return std::nullopt;
    return text;
}

std::vector<DiaryEntry> entries(const std::filesystem::path& home, std::string_view dayKey,
                                std::string_view summary) {
    std::vector<DiaryEntry> list;
    if (!summary.empty())
        list.push_back({std::string(summarySource), withoutByteOrderMark(std::string(summary))});
    for (const auto& source : sources) {
        // The summary stands in for that source's file, so the file need not even be read.
        if (!summary.empty() && source.label == summarySource) continue;
        if (auto text = readDiaryText(diaryFile(home, source, dayKey)))
            list.push_back({std::string(source.label), std::move(*text)});
    }
    return list;
}

std::string snapshot(const std::vector<DiaryEntry>& entries) {
    std::size_t size = 0;
    for (const auto& entry : entries) size += entry.source.size() + entry.content.size() + 2;
    std::string text;
    text.reserve(size);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) text.push_back('\x01');
        text.append(entries[i].source);
        text.push_back('\0');
        text.append(entries[i].content);
    }
    return text;
}

DiaryAggregate todaysDiary(const std::filesystem::path& home,
                           std::chrono::system_clock::time_point now, std::string_view summary) {
    return DiaryAggregator::aggregate(entries(home, dayKey(now), summary));
}

}  // namespace quillo::TodayDiary
