#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quillo {

// Receives what the page posts to a named handler, as the JSON form of the posted value.
class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    virtual void didReceiveScriptMessage(const nlohmann::json& body) = 0;
};

class WebView {
public:
    virtual ~WebView() = default;

    // The page is drawn over a transparent background.
    virtual void setTransparentBackground() = 0;
    // Zoom stays at 1: no pinch, Ctrl+scroll or Ctrl+plus magnification.
    virtual void setMagnificationAllowed(bool allowed) = 0;
    // Called on the main loop each time a load of the page finishes.
    virtual void setLoadFinishedHandler(std::function<void()> handler) = 0;

    // The web view keeps the handler alive until it is removed.
    virtual void addScriptMessageHandler(const std::string& name,
                                         std::shared_ptr<ScriptMessageHandler> handler) = 0;
    virtual void removeScriptMessageHandler(const std::string& name) = 0;

    // Loads a local page; the page may read the files beside it and nothing else navigates.
    virtual void loadFile(const std::filesystem::path& page) = 0;
    // Evaluates script in the page without waiting for, or looking at, its result.
    virtual void evaluateScript(const std::string& script) = 0;

    // A PNG of the visible area with a transparent background, or nothing when it failed.
    virtual void takeSnapshot(std::function<void(std::optional<std::string> png)> completion) = 0;
};

}  // namespace quillo
