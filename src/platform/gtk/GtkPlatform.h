#pragma once

#include "CurlHttpClient.h"
#include "GioDirectoryWatcher.h"
#include "GioProcessRunner.h"
#include "GioServices.h"
#include "GtkMainLoop.h"
#include "GtkScreens.h"
#include "KeyFileDefaults.h"
#include "LibsecretStore.h"
#include "platform/Platform.h"

namespace quillo::gtk {

// The desktop as GTK 3, WebKitGTK, libsecret, libcurl and GIO offer it. Needs gtk_init() first
// for the window, web view, screens and clipboard; the rest works without a display.
class GtkPlatform : public Platform {
public:
    explicit GtkPlatform(std::function<std::filesystem::path()> bundle)
        : environment_(std::move(bundle)) {}

    MainLoop& mainLoop() override { return mainLoop_; }
    Screens& screens() override { return screens_; }
    SecretStore& secretStore() override { return secrets_; }
    HttpClient& httpClient() override { return http_; }
    Defaults& defaults() override { return defaults_; }
    Workspace& workspace() override { return workspace_; }
    Clipboard& clipboard() override { return clipboard_; }
    ProcessRunner& processRunner() override { return processes_; }
    RandomSource& random() override { return random_; }
    Environment& environment() override { return environment_; }
    DirectoryWatcher& directoryWatcher() override { return watcher_; }
    std::unique_ptr<WebView> createWebView() override;
    std::unique_ptr<PanelWindow> createPanel(Size contentSize) override;

private:
    GtkMainLoop mainLoop_;
    GtkScreens screens_;
    LibsecretStore secrets_;
    CurlHttpClient http_;
    KeyFileDefaults defaults_{KeyFileDefaults::standardLocation()};
    GioWorkspace workspace_;
    GtkClipboardText clipboard_;
    GioProcessRunner processes_;
    SystemRandomSource random_;
    ProcessEnvironment environment_;
    GioDirectoryWatcher watcher_;
};

}  // namespace quillo::gtk
