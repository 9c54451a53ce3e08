// A random source that answers scripted draws in order and counts reseeds.
#pragma once

#include <deque>
#include <string>

#include "platform/random.h"
#include "vardenix/error.h"

namespace vardenix::fakes {

class ScriptedRandom final : public RandomSource {
 public:
  explicit ScriptedRandom(std::deque<float> draws = {}) : draws(std::move(draws)) {}
  void Reseed() override { ++reseeds; }
  float Next() override {
    ++drawn;
    if (drawn == fail_at_draw) throw RuntimeError("injected failure of draw " + std::to_string(drawn));
    if (draws.empty()) return 0.0f;
    const float u = draws.front();
    draws.pop_front();
    return u;
  }
  uint64_t BaseSeed() const override { return 0; }

  std::deque<float> draws;  // answered in order; 0 once used up
  int reseeds = 0;
  int drawn = 0;
  int fail_at_draw = 0;  // the draw that raises; 0 never
};

}  // namespace vardenix::fakes
