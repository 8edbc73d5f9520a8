#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "forest/formulas.h"
#include "forest/random.h"

namespace veltra::forest {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Expected values below come from an independent implementation of the same recipe.
TEST(GeneratorTest, DrawsTheDocumentedSequence) {
  Generator zero(0);
  EXPECT_EQ(zero.next_u64(), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(zero.next_u64(), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(zero.next_u64(), 0x06C45D188009454FULL);
  EXPECT_EQ(Generator(42).next_u64(), 0xBDD732262FEB6E95ULL);

  Generator uniform(0);
  EXPECT_EQ(uniform.uniform(), 0x1.c4415072f63b9p-1);
  EXPECT_EQ(uniform.uniform(), 0x1.b9e279aa86e58p-2);

  Generator normal(1);
  EXPECT_EQ(normal.normal(), 0x1.b7c251a5470ccp-2);
  EXPECT_EQ(normal.normal(), 0x1.d368fe72bb620p-2);
  EXPECT_EQ(normal.normal(), -0x1.4eaec1cb11224p-2);
}

TEST(GeneratorTest, GammaBelowAndAboveShapeOne) {
  Generator small(7);
  EXPECT_EQ(small.gamma(0.3), 0x1.39e06e27e8986p-3);
  EXPECT_EQ(small.gamma(0.3), 0x1.15b447978b5a4p-6);
  EXPECT_EQ(small.gamma(0.3), 0x1.d532023f9e1f8p-3);
  Generator large(7);
  EXPECT_EQ(large.gamma(2.5), 0x1.0d8afa4a94cbfp+1);
  EXPECT_EQ(large.gamma(2.5), 0x1.d9080716206e0p+2);
  EXPECT_EQ(large.gamma(2.5), 0x1.a8d1f26ac7b6dp+0);
}

class EncodePriorsTest : public ::testing::Test {
 protected:
  LogitCheck encode(const std::vector<double>& logits, const std::vector<std::uint8_t>& legal) {
    priors.assign(logits.size(), 0.0f);
    std::vector<double> scratch(logits.size());
    return encode_priors(logits.data(), legal.data(), logits.size(), priors.data(), scratch.data());
  }
  std::vector<float> priors;
};

TEST_F(EncodePriorsTest, SoftmaxOverLegalActionsOnly) {
  EXPECT_EQ(encode({0.0, std::log(3.0), 50.0, -kInf}, {1, 1, 0, 1}).fault, LogitFault::kNone);
  EXPECT_FLOAT_EQ(priors[0], 0.25f);
  EXPECT_FLOAT_EQ(priors[1], 0.75f);
  EXPECT_EQ(priors[2], kIllegal);
  EXPECT_EQ(priors[3], 0.0f);  // legal, with a prior of exactly zero
  EXPECT_TRUE(is_legal(priors[3]));
}

TEST_F(EncodePriorsTest, RoundsTheDoubleSoftmaxOnce) {
  encode({0.1, 0.2, 0.3}, {1, 1, 1});
  const double sum = std::exp(0.1 - 0.3) + std::exp(0.2 - 0.3) + std::exp(0.0);
  EXPECT_EQ(priors[0], static_cast<float>(std::exp(0.1 - 0.3) / sum));
  EXPECT_EQ(priors[2], static_cast<float>(1.0 / sum));
}

TEST_F(EncodePriorsTest, ReportsEveryFault) {
  const LogitCheck nan = encode({0.0, kNaN, 1.0}, {1, 0, 1});  // even at an illegal action
  EXPECT_EQ(nan.fault, LogitFault::kNaN);
  EXPECT_EQ(nan.action, 1u);
  const LogitCheck inf = encode({0.0, 1.0, kInf}, {1, 1, 1});
  EXPECT_EQ(inf.fault, LogitFault::kPositiveInfinity);
  EXPECT_EQ(inf.action, 2u);
  EXPECT_EQ(encode({-kInf, 3.0, -kInf}, {1, 0, 1}).fault, LogitFault::kNoFiniteLegal);
}

TEST_F(EncodePriorsTest, TerminalRowIsNotRead) {
  EXPECT_EQ(encode({kNaN, kInf}, {0, 0}).fault, LogitFault::kNone);
  EXPECT_EQ(priors, std::vector<float>({kIllegal, kIllegal}));
}

TEST(PuctTest, ScoresByHand) {
  // N = 3 with pb_c_init 1 and pb_c_base 4: rate = 1 + log(8 / 4).
  const double rate = exploration_rate(3, 1.0, 4.0);
  EXPECT_DOUBLE_EQ(rate, 1.0 + std::log(2.0));
  const double scale = exploration_scale(3, rate);
  EXPECT_DOUBLE_EQ(puct_score(0.5, scale, 0.25, 1), 0.5 + std::sqrt(3.0) * rate * 0.25 / 2.0);

  // V = 0.2, visited children with Q 0.7 and -0.3: Q spans [-0.3, 0.7].
  QRange range(0.2);
  range.include(edge_value(0.5, 1.0, 0.2));
  range.include(edge_value(0.0, -1.0, 0.3));
  EXPECT_DOUBLE_EQ(range.normalise(0.7), 1.0);
  EXPECT_DOUBLE_EQ(range.normalise(0.2), 0.5);
  EXPECT_EQ(QRange(0.4).normalise(0.4), 0.0);  // an empty range does not divide by zero

  EXPECT_DOUBLE_EQ(mean_after_visit(0.5, 3, 1.0), 0.625);
}

}  // namespace
}  // namespace veltra::forest
