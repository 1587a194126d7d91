// Reads the reason out of any body a rejected upload could carry.
#include <cstdint>
#include <string>

#include "sync/QuilloSyncService.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const auto detail = quillo::QuilloSyncService::errorDetail(body);
    // A reason is text decoded from the body (never longer) or the shorter fixed replacement.
    if (detail && detail->size() > body.size()) __builtin_trap();
    return 0;
}
