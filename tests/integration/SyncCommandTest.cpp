// `quillo-companion sync` as a person runs it: the real executable, the real keyring of the test
// session, today's diary in a temporary home and the loopback review server.

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "diary/TodayDiary.h"
#include "platform/gtk/LibsecretStore.h"
#include "support/ReviewServerProcess.h"
#include "support/TempDir.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::ReviewServerProcess;
using Json = nlohmann::json;

const std::string token = "qlo_live_" + std::string(31, 'c');

struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

class SyncCommandTest : public ::testing::Test {
protected:
    SyncCommandTest() { secrets.remove(QuilloSyncService::defaultService, "agent-token"); }
    ~SyncCommandTest() override {
        secrets.remove(QuilloSyncService::defaultService, "agent-token");
    }

    void storeToken() {
        ASSERT_EQ(secrets.add(QuilloSyncService::defaultService, "agent-token", token),
                  std::nullopt);
    }

    void writeDiary(const std::string& text) {
        const auto file =
            TodayDiary::diaryFile(home.path(), TodayDiary::sources[0],
                                  TodayDiary::dayKey(std::chrono::system_clock::now()));
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    // Runs the command with the temporary home, uploading to the given address.
    CommandRun runSync(const std::string& apiURL, const std::vector<std::string>& extra = {}) {
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(
            GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE));
        g_subprocess_launcher_setenv(launcher, "HOME", home.path().c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, "QUILLO_API_URL", apiURL.c_str(), TRUE);
        g_subprocess_launcher_unsetenv(launcher, "DISPLAY");
        std::vector<const char*> argv{QUILLO_EXECUTABLE, "sync"};
        for (const auto& argument : extra) argv.push_back(argument.c_str());
        argv.push_back(nullptr);
        GError* error = nullptr;
        GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
        g_object_unref(launcher);
        CommandRun run;
        if (!process) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            return run;
        }
        gchar* out = nullptr;
        gchar* err = nullptr;
        // Bounded by the upload's own 15-second limit.
        if (g_subprocess_communicate_utf8(process, nullptr, nullptr, &out, &err, &error)) {
            run.status = g_subprocess_get_exit_status(process);
            run.out = out ? out : "";
            run.err = err ? err : "";
        } else {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        g_free(out);
        g_free(err);
        g_object_unref(process);
        return run;
    }

    testing::TempDir home;
    gtk::LibsecretStore secrets;
};

TEST_F(SyncCommandTest, TodaysDiaryIsUploadedAndTheSuccessPrinted) {
    storeToken();
    writeDiary("## 今天做了什么\n写了同步命令。\n");
    ReviewServerProcess server({}, {token});
    const auto run = runSync(server.url());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "今天的记忆已同步\n");
    EXPECT_EQ(run.err, "");
    const auto received = server.received();
    ASSERT_EQ(received.size(), 1u);
    const auto review = Json::parse(received[0]["body"].get<std::string>());
    EXPECT_EQ(review["reviewDate"], TodayDiary::dayKey(std::chrono::system_clock::now()));
    EXPECT_EQ(review["content"], "## 今天做了什么\n\n- 写了同步命令。");
}

struct FailureCase {
    const char* name;
    bool token;
    bool diary;
    std::vector<std::string> serverFlags;
    std::string message;
};

class SyncCommandFailureTest : public SyncCommandTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SyncCommandFailureTest, AFailureIsPrintedAndEndsWithStatusOne) {
    if (GetParam().token) storeToken();
    if (GetParam().diary) writeDiary("## 今天做了什么\n写了同步命令。\n");
    ReviewServerProcess server(GetParam().serverFlags, {"qlo_live_" + std::string(31, 'z')});
    const auto run = runSync(server.url());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, GetParam().message + "\n");
    EXPECT_THAT(run.out + run.err, Not(HasSubstr(token)));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SyncCommandFailureTest,
    ::testing::Values(FailureCase{"NotConnected", false, true, {}, "尚未连接 Quillo"},
                      FailureCase{"NothingWrittenToday", true, false, {}, "今天还没有可同步的内容"},
                      FailureCase{"TokenRejected", true, true, {}, "连接令牌无效或已撤销"},
                      FailureCase{
                          "ServerError", true, true, {"--status", "500"}, "同步失败（500）"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncCommandTest, AnExtraArgumentIsAUsageError) {
    const auto run = runSync("http://127.0.0.1:9", {"now"});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr("用法: quillo-companion sync"));
}

}  // namespace
}  // namespace quillo
