#include "platform/random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vardenix {
namespace {

uint64_t TestSeed() { return static_cast<uint64_t>(::testing::UnitTest::GetInstance()->random_seed()); }

std::vector<float> Draws(RandomSource& random, int count) {
  std::vector<float> out;
  for (int i = 0; i < count; ++i) out.push_back(random.Next());
  return out;
}

TEST(RandomTest, DrawsAre24BitValuesInTheHalfOpenUnitInterval) {
  auto random = MakeRandomSource(TestSeed());
  random->Reseed();
  for (int i = 0; i < 200000; ++i) {
    const float u = random->Next();
    ASSERT_GE(u, 0.0f) << "draw " << i << ", seed " << TestSeed();
    ASSERT_LT(u, 1.0f) << "draw " << i << ", seed " << TestSeed();
    // A multiple of 2^-24: a wider value rounded to single precision could round up to 1.0.
    const float scaled = u * 16777216.0f;
    ASSERT_EQ(scaled, std::floor(scaled)) << "draw " << i << ", seed " << TestSeed();
  }
}

TEST(RandomTest, ABaseSeedReplaysEveryReseed) {
  auto first = MakeRandomSource(TestSeed());
  auto second = MakeRandomSource(first->BaseSeed());
  for (int reseed = 0; reseed < 3; ++reseed) {
    first->Reseed();
    second->Reseed();
    EXPECT_EQ(Draws(*first, 50), Draws(*second, 50)) << "after reseed " << reseed;
  }
}

TEST(RandomTest, EachReseedStartsAnotherSequence) {
  auto random = MakeRandomSource(TestSeed());
  random->Reseed();
  const auto after_first = Draws(*random, 20);
  random->Reseed();
  const auto after_second = Draws(*random, 20);
  EXPECT_NE(after_first, after_second);
  // A reseed does not merely continue the sequence of the previous one.
  auto replay = MakeRandomSource(TestSeed());
  replay->Reseed();
  Draws(*replay, 20);
  EXPECT_NE(Draws(*replay, 20), after_second);
}

}  // namespace
}  // namespace vardenix
