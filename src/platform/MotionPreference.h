#pragma once

namespace quillo {

// Whether the desktop asks programs to keep motion to a minimum. Read when it matters, so a
// change of the setting counts from the next time on.
class MotionPreference {
public:
    virtual ~MotionPreference() = default;
    virtual bool reduced() const = 0;
};

}  // namespace quillo
