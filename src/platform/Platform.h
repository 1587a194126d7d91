#pragma once

#include <memory>

#include "Clipboard.h"
#include "Defaults.h"
#include "DirectoryWatcher.h"
#include "Environment.h"
#include "HttpClient.h"
#include "MainLoop.h"
#include "MotionPreference.h"
#include "PanelWindow.h"
#include "ProcessRunner.h"
#include "RandomSource.h"
#include "Screens.h"
#include "SecretStore.h"
#include "WebView.h"
#include "Workspace.h"

namespace quillo {

// Everything the companion asks of the desktop. The GTK backend and the test fakes implement it.
// The platform outlives every controller made from it.
class Platform {
public:
    virtual ~Platform() = default;

    virtual MainLoop& mainLoop() = 0;
    virtual Screens& screens() = 0;
    virtual SecretStore& secretStore() = 0;
    virtual HttpClient& httpClient() = 0;
    virtual Defaults& defaults() = 0;
    virtual Workspace& workspace() = 0;
    virtual Clipboard& clipboard() = 0;
    virtual ProcessRunner& processRunner() = 0;
    virtual RandomSource& random() = 0;
    virtual Environment& environment() = 0;
    virtual DirectoryWatcher& directoryWatcher() = 0;
    virtual MotionPreference& motion() = 0;

    virtual std::unique_ptr<WebView> createWebView() = 0;
    // Created at the given content size, placed at (0, 0), not shown.
    virtual std::unique_ptr<PanelWindow> createPanel(Size contentSize) = 0;
};

}  // namespace quillo
