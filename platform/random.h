// Randomness for the sampler: reseeded once per module, uniform single-precision values in [0, 1).
// Never seeds itself behind the caller's back. One instance per check object; not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace vardenix {

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Reseeds: from the clock, or, when a base seed was given, from a seed derived deterministically
  // from the base and the number of earlier reseeds, so that a run can be replayed.
  virtual void Reseed() = 0;
  // A uniform value u with 0 <= u < 1 (24 random bits; never 1.0).
  virtual float Next() = 0;
  // The base seed that replays this source's draws.
  virtual uint64_t BaseSeed() const = 0;
};

// Without a base seed the base comes from the clock.
std::unique_ptr<RandomSource> MakeRandomSource(std::optional<uint64_t> base_seed = std::nullopt);

}  // namespace vardenix
