// The sampler's random source: splitmix64, whose single-precision draws take the top 24 bits of
// each output, so u is a multiple of 2^-24 in [0, 1) and never 1.0.
#include <chrono>

#include "platform/random.h"

namespace vardenix {
namespace {

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class SeededRandom final : public RandomSource {
 public:
  explicit SeededRandom(uint64_t base) : base_(base), state_(base) {}

  void Reseed() override {
    // Each reseed derives its seed from the base and the number of reseeds before it, so a run
    // replays exactly from the base seed alone.
    uint64_t derive = base_ ^ (0xD1B54A32D192ED03ull * ++reseeds_);
    state_ = SplitMix64(derive);
  }

  float Next() override {
    const uint64_t bits = SplitMix64(state_) >> 40;  // 24 bits
    return static_cast<float>(bits) * (1.0f / 16777216.0f);
  }

  uint64_t BaseSeed() const override { return base_; }

 private:
  uint64_t base_;
  uint64_t state_;
  uint64_t reseeds_ = 0;
};

uint64_t ClockSeed() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  uint64_t state = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
  return SplitMix64(state);
}

}  // namespace

std::unique_ptr<RandomSource> MakeRandomSource(std::optional<uint64_t> base_seed) {
  return std::make_unique<SeededRandom>(base_seed ? *base_seed : ClockSeed());
}

}  // namespace vardenix
