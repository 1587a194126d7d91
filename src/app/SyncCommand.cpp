#include "SyncCommand.h"

#include <cstdio>
#include <future>
#include <string>

#include "ResourceBundle.h"
#include "companion/NothingToSync.h"
#include "diary/TodayDiary.h"
#include "platform/gtk/CurlHttpClient.h"
#include "platform/gtk/GioServices.h"
#include "platform/gtk/LibsecretStore.h"
#include "sync/QuilloSyncService.h"

namespace quillo {

namespace {

bool unexpected(int argc, char** argv) {
    if (argc <= 2) return false;
    std::fprintf(stderr, "quillo-companion %s: 无法识别的参数 “%s”\n用法: quillo-companion %s\n",
                 argv[1], argv[2], argv[1]);
    return true;
}

int succeed(const std::string& message) {
    std::printf("%s\n", message.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

// The service as the companion has it: this process's environment, the keyring and HTTP.
struct Service {
    const gtk::ProcessEnvironment environment{&ResourceBundle::module};
    gtk::LibsecretStore secrets;
    gtk::CurlHttpClient http;
    QuilloSyncService service{secrets, http, environment};
};

}  // namespace

int runSyncCommand(int argc, char** argv) {
    if (unexpected(argc, argv)) return 2;
    Service s;
    QuilloSyncService& service = s.service;
    const gtk::ProcessEnvironment& environment = s.environment;

    // The same order of refusals as the companion's sync button.
    if (!service.isConnected()) return fail("尚未连接 Quillo");
    const auto now = environment.now();
    // As the diary command: the files the sources wrote, without the assistant's summary, which
    // only the running companion fetches.
    const auto diary = TodayDiary::todaysDiary(environment.homeDirectory(), now);
    if (NothingToSync::applies(diary)) return fail(NothingToSync::message);

    // The completion runs on the HTTP worker (or at once for a local failure); the upload's own
    // 15-second limit bounds the wait.
    std::promise<std::optional<QuilloSyncError>> result;
    auto outcome = result.get_future();
    service.sync(TodayDiary::dayKey(now), diary.content,
                 [&result](std::optional<QuilloSyncError> error) { result.set_value(error); });
    const auto error = outcome.get();
    return error ? fail(error->errorDescription()) : succeed("今天的记忆已同步");
}

int runDisconnectCommand(int argc, char** argv) {
    if (unexpected(argc, argv)) return 2;
    Service s;
    s.service.deleteToken();
    // A locked or unreachable keyring can keep the item: say so rather than claim it is gone.
    if (s.service.isConnected()) return fail("无法删除连接令牌");
    return succeed(QuilloSyncService::disconnectedMessage);
}

}  // namespace quillo
