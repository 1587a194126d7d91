#pragma once

#include <string_view>

namespace quillo {

// A programming error that leaves nothing sensible to do: the message on standard error, then
// abort().
[[noreturn]] void fatalError(std::string_view message);

}  // namespace quillo
