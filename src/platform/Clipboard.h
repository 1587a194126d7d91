#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quillo {

class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Reads the clipboard's text asynchronously; the callback runs on the main loop with nothing
    // when the clipboard holds no text.
    virtual void requestText(std::function<void(std::optional<std::string>)> callback) = 0;
};

}  // namespace quillo
