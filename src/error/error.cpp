#include "error/error.hpp"

namespace vantorel {

std::string Error::message() const {
  switch (kind) {
    case ErrorKind::NoScorers:
      return "채점기가 하나도 없다. Engine::scorer 로 최소 하나를 등록해야 한다";
    case ErrorKind::DuplicateScorer:
      return "채점기 식별자 '" + id + "' 가 중복 등록됐다";
    case ErrorKind::ScaleMismatch:
      return "채점기 '" + id + "' 의 척도 " + scale_name(scale) + " 는 융합 방식 " + text +
             " 과 함께 쓸 수 없다. 정규화기를 끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다";
    case ErrorKind::UnknownWeightScorer:
      return "가중치가 가리키는 채점기 '" + id + "' 가 등록돼 있지 않다";
    case ErrorKind::UnknownAdmission:
      return "승인 채점기 '" + id + "' 가 등록돼 있지 않다";
    case ErrorKind::ExpensiveAdmission:
      return "승인 채점기 '" + id + "' 가 비싼 축이다. 1단계는 후보 전부를 훑으므로 싼 축이어야 한다";
    case ErrorKind::RrfWithoutAdmission:
      return "순위 융합(Fusion::Rrf)은 1단계 절단 기준을 스스로 만들지 못한다. 싼 채점기를 하나 이상 등록하거나 "
             "Engine::admission 으로 승인 채점기를 지정해야 한다";
    case ErrorKind::InvalidBudget:
      return std::string("예산 설정이 올바르지 않다: ") + text;
    case ErrorKind::InvalidPoolMultiplier:
      return "풀 배수는 1 이상이어야 한다";
    case ErrorKind::BatchLengthMismatch:
      return "채점기 '" + id + "' 의 배치 결과 길이가 " + std::to_string(first) + " 인데 후보는 " +
             std::to_string(second) + " 개다";
    case ErrorKind::RequirementUnsatisfied:
      return "요구 조건 '" + id + "' 의 교체에 실패했다. 최소 " + std::to_string(first) +
             " 개가 필요하고 풀에서 해당 조건에 맞는 후보는 " + std::to_string(second) +
             " 개다. 다른 제약과의 충돌도 확인해야 한다";
  }
  return {};
}

}  // namespace vantorel
