// `quillo-companion sync` and `disconnect` as a person runs them: real executable, keyring and
// loopback review server.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "diary/TodayDiary.h"
#include "platform/gtk/LibsecretStore.h"
#include "support/ReviewServerProcess.h"
#include "support/TempDir.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using CommandRun = std::tuple<int, std::string, std::string>;  // exit status, stdout, stderr

const std::string token = "qlo_live_" + std::string(31, 'c');
const char* const service = QuilloSyncService::defaultService;

class SyncCommandTest : public ::testing::Test {
protected:
    SyncCommandTest() { secrets.remove(service, "agent-token"); }
    ~SyncCommandTest() override { secrets.remove(service, "agent-token"); }

    void storeToken() { ASSERT_FALSE(secrets.add(service, "agent-token", token)); }
    void writeDiary() {
        const auto file = TodayDiary::diaryFile(home.path(), TodayDiary::sources[0], today());
        std::filesystem::create_directories(file.parent_path());
        g_file_set_contents(file.c_str(), "## 今天做了什么\n写了同步命令。\n", -1, nullptr);
    }
    static std::string today() { return TodayDiary::dayKey(std::chrono::system_clock::now()); }

    // Runs the command without a display, with the temporary home, uploading to `apiURL`.
    CommandRun run(const char* command, const std::string& apiURL = "http://127.0.0.1:9",
                   const char* extra = nullptr) {
        const std::string homeVariable = "HOME=" + home.path().string();
        const std::string apiVariable = "QUILLO_API_URL=" + apiURL;
        const char* argv[] = {
            "env",   "-u",  "DISPLAY", homeVariable.c_str(), apiVariable.c_str(), QUILLO_EXECUTABLE,
            command, extra, nullptr};
        gchar *out = nullptr, *err = nullptr;
        int wait = 0;
        CommandRun run{-1, "", ""};
        if (g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                         nullptr, &out, &err, &wait, nullptr))
            run = {WIFEXITED(wait) ? WEXITSTATUS(wait) : -1, out, err};
        g_free(out);
        g_free(err);
        return run;
    }

    testing::TempDir home;
    gtk::LibsecretStore secrets;
};

TEST_F(SyncCommandTest, TodaysDiaryIsUploadedAndTheSuccessPrinted) {
    storeToken();
    writeDiary();
    testing::ReviewServerProcess server({}, {token});
    EXPECT_EQ(run("sync", server.url()), CommandRun(0, "今天的记忆已同步\n", ""));
    const auto review = nlohmann::json::parse(server.received().at(0).value("body", ""));
    EXPECT_EQ(review["reviewDate"], today());
    EXPECT_EQ(review["content"], "## 今天做了什么\n\n- 写了同步命令。");
}

// Only the message is printed, so the token never is.
TEST_F(SyncCommandTest, EachFailureIsPrintedAloneOnStandardErrorWithStatusOne) {
    testing::ReviewServerProcess server({}, {"qlo_live_" + std::string(31, 'z')});
    EXPECT_EQ(run("sync", server.url()), CommandRun(1, "", "尚未连接 Quillo\n"));
    storeToken();
    EXPECT_EQ(run("sync", server.url()), CommandRun(1, "", "今天还没有可同步的内容\n"));
    writeDiary();
    EXPECT_EQ(run("sync", server.url()), CommandRun(1, "", "连接令牌无效或已撤销\n"));
}

TEST_F(SyncCommandTest, DisconnectRemovesTheStoredTokenAndSaysSoInThePagesWords) {
    storeToken();
    const CommandRun disconnected{0, "已断开，日记仍保存在本机\n", ""};
    EXPECT_EQ(run("disconnect"), disconnected);
    EXPECT_FALSE(secrets.find(service, "agent-token"));
    EXPECT_EQ(run("disconnect"), disconnected) << "nothing stored is no failure";
}

TEST_F(SyncCommandTest, AnExtraArgumentIsAUsageError) {
    for (const std::string command : {"sync", "disconnect"}) {
        const auto [status, out, err] = run(command.c_str(), "http://127.0.0.1:9", "now");
        EXPECT_EQ(status, 2);
        EXPECT_NE(err.find("用法: quillo-companion " + command), std::string::npos) << err;
    }
}

}  // namespace
}  // namespace quillo
