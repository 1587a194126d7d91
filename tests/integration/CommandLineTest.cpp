// `quillo-companion diary`, `sync` and `disconnect` as a person runs them: the built executable without a
// display, over a home made for the test, with the session's keyring and the loopback review
// server.

#include <glib.h>
#include <gtest/gtest.h>

#include <sstream>

#include "diary/TodayDiary.h"
#include "platform/gtk/LibsecretStore.h"
#include "support/Command.h"
#include "support/ReviewServerProcess.h"
#include "support/TempDir.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using std::chrono::system_clock;
using CommandRun = testing::CommandOutcome;

const std::string token = "qlo_live_" + std::string(31, 'c');
const char* const service = QuilloSyncService::defaultService;

class CommandLineTest : public ::testing::Test {
protected:
    CommandLineTest() { secrets.remove(service, "agent-token"); }
    ~CommandLineTest() override { secrets.remove(service, "agent-token"); }

    void storeToken() { ASSERT_FALSE(secrets.add(service, "agent-token", token)); }
    void writeDiary(std::size_t source, const std::string& text) {
        const auto file = TodayDiary::diaryFile(home.path(), TodayDiary::sources[source], today());
        std::filesystem::create_directories(file.parent_path());
        g_file_set_contents(file.c_str(), text.c_str(), -1, nullptr);
    }
    static std::string today() { return TodayDiary::dayKey(system_clock::now()); }

    // The executable with these space-separated arguments, without a display, in the test's home,
    // with a few more variables ("NAME=value", or "NAME=" to empty one).
    CommandRun run(const std::string& arguments, std::vector<std::string> variables = {}) {
        std::vector<std::string> argv{QUILLO_EXECUTABLE};
        std::istringstream words(arguments);
        for (std::string word; words >> word;) argv.push_back(word);
        variables.insert(variables.end(),
                         {"DISPLAY=", "WAYLAND_DISPLAY=", "HOME=" + home.path().string()});
        return testing::run(argv, variables);
    }
    CommandRun runSync(const std::string& apiURL) {
        return run("sync", {"QUILLO_API_URL=" + apiURL});
    }

    testing::TempDir home;
    gtk::LibsecretStore secrets;
};

// Neither a display nor a session bus: the diary is the files' alone.
TEST_F(CommandLineTest, DiaryPrintsTodaysMergedDiaryOrWithJsonThePagesObject) {
    const std::vector<std::string> noBus{"DBUS_SESSION_BUS_ADDRESS="};
    EXPECT_EQ(run("diary", noBus), CommandRun(0, "## 今天做了什么\n\n\n", ""));
    EXPECT_TRUE(std::filesystem::is_empty(home.path())) << "the command writes nothing";
    for (const char* refused : {"diary --yaml", "diary --json --json", "diary today", "sync now",
                                "disconnect now"})
        EXPECT_EQ(run(refused, noBus).status, 2) << refused;

    const auto day = system_clock::now();
    writeDiary(0, "## 今天做了什么\n命令行读到了。\n");
    writeDiary(1, "## 今天学到了什么\n不需要显示器。\n");
    const auto text = run("diary", noBus);
    const auto object = run("diary --json", noBus);
    // A run that straddles midnight reads another day; it says nothing about the command.
    if (TodayDiary::dayKey(system_clock::now()) != TodayDiary::dayKey(day))
        GTEST_SKIP() << "the day changed while the command ran";
    const std::string content =
        "## 今天做了什么\n\n- 命令行读到了。\n\n## 今天学到了什么\n\n- 不需要显示器。";
    EXPECT_EQ(text, CommandRun(0, content + "\n", ""));
    const nlohmann::json page{{"title", TodayDiary::displayDate(day)},
                              {"source", "KILN + Tansy工作 · 本地记忆"},
                              {"content", content}};
    EXPECT_EQ(object.out, page.dump() + "\n");
}

TEST_F(CommandLineTest, SyncUploadsTodaysDiaryAndPrintsTheSuccessUntilDisconnected) {
    storeToken();
    writeDiary(0, "## 今天做了什么\n写了同步命令。\n");
    testing::ReviewServerProcess server({}, {token});
    EXPECT_EQ(runSync(server.url()), CommandRun(0, "今天的记忆已同步\n", ""));
    const auto received = server.received().at(0);
    EXPECT_EQ(received["path"], "/api/agent/reviews");
    EXPECT_EQ(received["authorization"], "accepted");
    EXPECT_EQ(received["accept"], "application/json");
    EXPECT_EQ(received["contentType"], "application/json");
    const auto review = nlohmann::json::parse(received.value("body", ""));
    EXPECT_EQ(review["reviewDate"], today());
    EXPECT_EQ(review["content"], "## 今天做了什么\n\n- 写了同步命令。");
    EXPECT_EQ(run("disconnect"), CommandRun(0, "已断开，日记仍保存在本机\n", ""));
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "尚未连接 Quillo\n"));
    const auto help = testing::run({QUILLO_REVIEW_SERVER, "--help"});
    EXPECT_TRUE(help.status == 0 && help.out.starts_with("usage: quillo-review-server")) << help;
}

// Only the message is printed, so the token never is.
TEST_F(CommandLineTest, SyncPrintsEachFailureAloneOnStandardErrorWithStatusOne) {
    testing::ReviewServerProcess server({}, {"qlo_live_" + std::string(31, 'z')});
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "尚未连接 Quillo\n"));
    storeToken();
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "今天还没有可同步的内容\n"));
    writeDiary(0, "## 今天做了什么\n写了同步命令。\n");
    const auto mistyped = server.url().substr(std::string("http://").size()) + "/api";
    EXPECT_EQ(runSync(mistyped),
              CommandRun(1, "", "QUILLO_API_URL 不是完整的 http(s) 地址：“" + mistyped + "”\n"));
    EXPECT_TRUE(server.received().empty());
    EXPECT_EQ(runSync(server.url()), CommandRun(1, "", "连接令牌无效或已撤销\n"));
}

}  // namespace
}  // namespace quillo
