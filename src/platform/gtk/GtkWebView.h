#pragma once

#include <webkit2/webkit2.h>

#include <map>
#include <string>

#include "GObjectPtr.h"
#include "platform/WebView.h"

namespace quillo::gtk {

class GtkWebView : public WebView {
public:
    GtkWebView();
    ~GtkWebView() override;

    void setTransparentBackground() override;
    void setMagnificationAllowed(bool allowed) override;
    void setLoadFinishedHandler(std::function<void()> handler) override;
    void addScriptMessageHandler(const std::string& name,
                                 std::shared_ptr<ScriptMessageHandler> handler) override;
    void removeScriptMessageHandler(const std::string& name) override;
    void loadFile(const std::filesystem::path& page) override;
    void evaluateScript(const std::string& script) override;
    void takeSnapshot(std::function<void(std::optional<std::string>)> completion) override;

    GtkWidget* widget() const { return GTK_WIDGET(view_); }
    WebKitWebView* view() const { return view_; }

private:
    struct Registration {
        std::shared_ptr<ScriptMessageHandler> handler;
        SignalConnection connection;
    };

    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType,
                                 gpointer self);
    static gboolean contextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                WebKitHitTestResult*, gpointer self);
    static gboolean keyPress(GtkWidget*, GdkEventKey*, gpointer self);

    WebKitUserContentManager* contentManager_;
    WebKitWebView* view_;
    std::string pageURI_;
    std::function<void()> loadFinished_;
    std::map<std::string, std::unique_ptr<Registration>> handlers_;
    bool magnificationAllowed_ = true;
};

}  // namespace quillo::gtk
