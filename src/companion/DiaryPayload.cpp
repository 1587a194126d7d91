#include "DiaryPayload.h"

#include <nlohmann/json.hpp>

namespace quillo::DiaryPayload {

std::optional<std::string> json(const std::string& title, const DiaryAggregate& aggregate) {
    const nlohmann::json payload{
        {"title", title}, {"source", aggregate.sourceLabel}, {"content", aggregate.content}};
    try {
        return payload.dump();
    } catch (const nlohmann::json::exception&) {
        // Only text that is not UTF-8 gets here; the page is better left as it was than fed
        // replacement characters it never had.
        return std::nullopt;
    }
}

}  // namespace quillo::DiaryPayload
