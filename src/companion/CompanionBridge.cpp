#include "CompanionBridge.h"

#include "CompanionController.h"

namespace quillo {

void CompanionBridge::didReceiveScriptMessage(const nlohmann::json& body) {
    if (!body.is_object()) return;
    mainLoop_.post([weakSelf = weak_from_this(), body] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto owner = self->owner_.lock()) owner->handle(body);
    });
}

}  // namespace quillo
