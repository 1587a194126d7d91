#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DiaryAggregate.h"
#include "DiaryEntry.h"

// Today's diary as the sources leave it on disk: which files, under which day, read how, and the
// text that tells whether anything changed. Shared by the companion and the command line, so both
// see the same diary. Dates are local to the process's time zone (TZ), read afresh at every call.
namespace quillo::TodayDiary {

struct Source {
    std::string_view label;
    std::string_view folder;
};

// In this order; the summary takes the place of the second one.
inline constexpr std::array<Source, 2> sources{{{"KILN", "kiln"}, {"Tansy工作", "tansy-work"}}};
inline constexpr std::string_view summarySource = "Tansy工作";

// "2026-12-06": names the diary file and is the review date of an upload.
std::string dayKey(std::chrono::system_clock::time_point now);
// "2026年12月6日星期日": the diary's title in the page.
std::string displayDate(std::chrono::system_clock::time_point now);

// $HOME/Documents/Quillo/<folder>/daily/<year>: where a source keeps the day's file.
std::filesystem::path dayFolder(const std::filesystem::path& home, const Source& source,
                                std::string_view dayKey);
// The day folders of every source, in table order.
std::vector<std::filesystem::path> dayFolders(const std::filesystem::path& home,
                                              std::string_view dayKey);
std::filesystem::path diaryFile(const std::filesystem::path& home, const Source& source,
                                std::string_view dayKey);

// The whole text of a regular file without one leading byte-order mark, or nothing when it is
// missing, not a regular file, unreadable, empty or not valid UTF-8. Never blocks on a pipe or
// device put where the file should be.
std::optional<std::string> readDiaryText(const std::filesystem::path& file);

// The sources' texts for the day; a non-empty summary replaces the second source and comes first.
// A byte-order mark at the start of a text is dropped, the summary's as well.
std::vector<DiaryEntry> entries(const std::filesystem::path& home, std::string_view dayKey,
                                std::string_view summary = {});

// Each entry as source, U+0000, content; the entries joined with U+0001. Empty for no entries.
std::string snapshot(const std::vector<DiaryEntry>& entries);

// The day's merged diary exactly as the page shows it (given the same summary).
DiaryAggregate todaysDiary(const std::filesystem::path& home,
                           std::chrono::system_clock::time_point now,
                           std::string_view summary = {});

}  // namespace quillo::TodayDiary
