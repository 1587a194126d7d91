#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "platform/MainLoop.h"
#include "platform/WebView.h"

namespace quillo {

class CompanionController;

// The page's "companion" message handler. It never handles a message in the delivering call:
// each is re-posted to the main loop, so messages are handled one at a time, in posting order,
// after the web view's callback has returned.
class CompanionBridge : public ScriptMessageHandler,
                        public std::enable_shared_from_this<CompanionBridge> {
public:
    explicit CompanionBridge(MainLoop& mainLoop) : mainLoop_(mainLoop) {}

    void setOwner(std::weak_ptr<CompanionController> owner) { owner_ = std::move(owner); }
    void didReceiveScriptMessage(const nlohmann::json& body) override;

private:
    MainLoop& mainLoop_;
    std::weak_ptr<CompanionController> owner_;
};

}  // namespace quillo
