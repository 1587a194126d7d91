// `quillo-companion sync` and `disconnect` as a person runs them: real executable, keyring and
// loopback review server.

#include <glib.h>
#include <gtest/gtest.h>

#include "diary/TodayDiary.h"
#include "platform/gtk/LibsecretStore.h"
#include "support/Command.h"
#include "support/ReviewServerProcess.h"
#include "support/TempDir.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using CommandRun = testing::CommandOutcome;

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
    CommandRun run(std::vector<std::string> arguments, const std::string& apiURL = "") {
        arguments.insert(arguments.begin(), QUILLO_EXECUTABLE);
        return testing::run(
            arguments, {"DISPLAY=", "HOME=" + home.path().string(), "QUILLO_API_URL=" + apiURL});
    }

    testing::TempDir home;
    gtk::LibsecretStore secrets;
};

TEST_F(SyncCommandTest, TodaysDiaryIsUploadedAndTheSuccessPrintedUntilDisconnected) {
    storeToken();
    writeDiary();
    testing::ReviewServerProcess server({}, {token});
    EXPECT_EQ(run({"sync"}, server.url()), CommandRun(0, "今天的记忆已同步\n", ""));
    const auto review = nlohmann::json::parse(server.received().at(0).value("body", ""));
    EXPECT_EQ(review["reviewDate"], today());
    EXPECT_EQ(review["content"], "## 今天做了什么\n\n- 写了同步命令。");
    EXPECT_EQ(run({"disconnect"}), CommandRun(0, "已断开，日记仍保存在本机\n", ""));
    EXPECT_EQ(run({"sync"}, server.url()), CommandRun(1, "", "尚未连接 Quillo\n"));
}

// Only the message is printed, so the token never is.
TEST_F(SyncCommandTest, EachFailureIsPrintedAloneOnStandardErrorWithStatusOne) {
    testing::ReviewServerProcess server({}, {"qlo_live_" + std::string(31, 'z')});
    EXPECT_EQ(run({"sync"}, server.url()), CommandRun(1, "", "尚未连接 Quillo\n"));
    storeToken();
    EXPECT_EQ(run({"sync"}, server.url()), CommandRun(1, "", "今天还没有可同步的内容\n"));
    writeDiary();
    EXPECT_EQ(run({"sync"}, server.url()), CommandRun(1, "", "连接令牌无效或已撤销\n"));
}

TEST_F(SyncCommandTest, AnExtraArgumentIsAUsageErrorAndAskedForHelpIsNone) {
    const auto [status, out, err] = run({"disconnect", "now"});
    EXPECT_EQ(status, 2);
    EXPECT_NE(err.find("用法: quillo-companion disconnect"), std::string::npos) << err;
    const auto help = testing::run({QUILLO_REVIEW_SERVER, "--help"});
    EXPECT_TRUE(help.status == 0 && help.out.starts_with("usage: quillo-review-server")) << help;
}

}  // namespace
}  // namespace quillo
