#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "AppDelegate.h"
#include "Autostart.h"
#include "DiaryCommand.h"
#include "SyncCommand.h"

namespace {

constexpr const char* usage =
    "用法: quillo-companion [选项 | 命令]\n"
    "\n"
    "Quillo 桌面伙伴：在桌面上显示今天的日记，并同步到 Quillo。\n"
    "\n"
    "选项:\n"
    "  （无）            启动桌面伙伴；已在运行时展开或收起它\n"
    "  --toggle          展开或收起正在运行的桌面伙伴\n"
    "  --quit            退出正在运行的桌面伙伴\n"
    "  --autostart       显示登录时是否自动启动\n"
    "  --autostart on    登录时自动启动桌面伙伴\n"
    "  --autostart off   登录时不再自动启动\n"
    "  --help            显示本帮助\n"
    "  --version         显示版本\n"
    "\n"
    "命令（无需显示器）:\n"
    "  diary [--json]    打印今天合并后的日记（--json：页面收到的 title、source、content）\n"
    "  sync              用已保存的令牌上传一次今天的日记；成功退出码 0，失败 1\n"
    "  disconnect        删除已保存的连接令牌（断开 Quillo）；日记仍保存在本机\n";

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (first == "diary") return quillo::runDiaryCommand(argc, argv);
    if (first == "sync") return quillo::runSyncCommand(argc, argv);
    if (first == "disconnect") return quillo::runDisconnectCommand(argc, argv);
    if (first == "--autostart" && (argc == 2 || (argc == 3 && (std::strcmp(argv[2], "on") == 0 ||
                                                               std::strcmp(argv[2], "off") == 0))))
        return quillo::runAutostartCommand(argc == 3 ? argv[2] : "", std::cout, std::cerr);
    if (first == "--version") {
        std::printf("quillo-companion %s\n", QUILLO_VERSION);
        return 0;
    }
    if (argc > 2 || (argc == 2 && first != "--toggle" && first != "--quit")) {
        // Name the argument that does not fit: the first one unless it was a known option.
        const bool firstKnown = first == "--toggle" || first == "--quit" || first == "--autostart";
        std::fprintf(stderr, "quillo-companion: 无法识别的参数 “%s”\n\n%s",
                     argv[firstKnown && argc > 2 ? argc - 1 : 1], usage);
        return 2;
    }
    // Held for the life of the process: the application object does not own it.
    static quillo::AppDelegate delegate;
    return delegate.run(argc, argv);
}
