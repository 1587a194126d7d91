#pragma once

namespace quillo {

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual bool nextBool() = 0;
    // Uniform in the closed interval [low, high].
    virtual double uniform(double low, double high) = 0;
};

}  // namespace quillo
