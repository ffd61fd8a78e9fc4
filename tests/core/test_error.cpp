#include <gtest/gtest.h>

#include <string>

#include "error/error.hpp"

namespace vantorel {
namespace {

struct MessageCase {
  const char* name;
  Error error;
  const char* message;
  bool runtime;
};

class ErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessage, ExactText) {
  const auto& c = GetParam();
  EXPECT_EQ(c.error.message(), c.message);
  EXPECT_EQ(c.error.is_runtime(), c.runtime);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ErrorMessage,
    ::testing::Values(
        MessageCase{"NoScorers", Error::no_scorers(),
                    "채점기가 하나도 없다. Engine::scorer 로 최소 하나를 등록해야 한다", false},
        MessageCase{"DuplicateScorer", Error::duplicate_scorer("ctr"), "채점기 식별자 'ctr' 가 중복 등록됐다", false},
        MessageCase{"ScaleMismatchUnbounded", Error::scale_mismatch("ctr", ScoreScale::Unbounded, "weighted_sum"),
                    "채점기 'ctr' 의 척도 Unbounded 는 융합 방식 weighted_sum 과 함께 쓸 수 없다. "
                    "정규화기를 끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다",
                    false},
        MessageCase{"ScaleMismatchRank", Error::scale_mismatch("pos", ScoreScale::Rank, "max"),
                    "채점기 'pos' 의 척도 Rank 는 융합 방식 max 과 함께 쓸 수 없다. "
                    "정규화기를 끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다",
                    false},
        MessageCase{"UnknownWeightScorer", Error::unknown_weight_scorer("w"),
                    "가중치가 가리키는 채점기 'w' 가 등록돼 있지 않다", false},
        MessageCase{"UnknownAdmission", Error::unknown_admission("adm"), "승인 채점기 'adm' 가 등록돼 있지 않다",
                    false},
        MessageCase{"ExpensiveAdmission", Error::expensive_admission("llm"),
                    "승인 채점기 'llm' 가 비싼 축이다. 1단계는 후보 전부를 훑으므로 싼 축이어야 한다", false},
        MessageCase{"RrfWithoutAdmission", Error::rrf_without_admission(),
                    "순위 융합(Fusion::Rrf)은 1단계 절단 기준을 스스로 만들지 못한다. 싼 채점기를 하나 이상 "
                    "등록하거나 Engine::admission 으로 승인 채점기를 지정해야 한다",
                    false},
        MessageCase{"InvalidBudgetTopK", Error::invalid_budget(kReasonTopK),
                    "예산 설정이 올바르지 않다: TopK 는 1 이상이어야 한다", false},
        MessageCase{"InvalidBudgetEpsilon", Error::invalid_budget(kReasonEpsilon),
                    "예산 설정이 올바르지 않다: epsilon 은 0 이상 1 미만이어야 한다", false},
        MessageCase{"InvalidBudgetTokens", Error::invalid_budget(kReasonTokens),
                    "예산 설정이 올바르지 않다: Tokens 예산은 Engine::cost 로 후보별 비용을 함께 받아야 한다", false},
        MessageCase{"InvalidPoolMultiplier", Error::invalid_pool_multiplier(), "풀 배수는 1 이상이어야 한다", false},
        MessageCase{"BatchLengthMismatch", Error::batch_length_mismatch("llm", 3, 5),
                    "채점기 'llm' 의 배치 결과 길이가 3 인데 후보는 5 개다", true},
        MessageCase{"BatchLengthMismatchLarge", Error::batch_length_mismatch("x", 18446744073709551615u, 0),
                    "채점기 'x' 의 배치 결과 길이가 18446744073709551615 인데 후보는 0 개다", true},
        MessageCase{"RequirementUnsatisfied", Error::requirement_unsatisfied("min_news", 4, 1),
                    "요구 조건 'min_news' 의 교체에 실패했다. 최소 4 개가 필요하고 풀에서 해당 조건에 맞는 후보는 "
                    "1 개다. 다른 제약과의 충돌도 확인해야 한다",
                    true},
        // Ids are written unchanged: quotes, backslashes and non-ASCII text.
        MessageCase{"IdWrittenVerbatim", Error::duplicate_scorer("a'b\"c\\d 점수"),
                    "채점기 식별자 'a'b\"c\\d 점수' 가 중복 등록됐다", false},
        MessageCase{"EmptyId", Error::unknown_admission(""), "승인 채점기 '' 가 등록돼 있지 않다", false}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

TEST(InternalFaults, CarryTheirText) {
  try {
    internal_fault(kInvValidated);
    FAIL() << "internal_fault returned";
  } catch (const InternalFault& fault) {
    EXPECT_EQ(fault.text, kInvValidated);
  }
}

}  // namespace
}  // namespace vantorel
