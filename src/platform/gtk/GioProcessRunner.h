#pragma once

#include "platform/ProcessRunner.h"

namespace quillo::gtk {

// GSubprocess with its output read asynchronously on the main context: no thread, and a child
// that writes more than a pipe holds is never blocked by it.
class GioProcessRunner : public ProcessRunner {
public:
    void run(std::vector<std::string> argv, std::chrono::milliseconds limit,
             std::function<void(ProcessResult)> completion) override;
};

}  // namespace quillo::gtk
