#pragma once

#include <string>

namespace quillo {

// Hands addresses to the user's default applications.
class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a URI (http(s) or file://) with its default handler; failures go unnoticed.
    virtual void openURI(const std::string& uri) = 0;
};

}  // namespace quillo
