#include "Quarzadel/Studio/PowerAssertion.h"

namespace quarzadel {

PowerAssertion::PowerAssertion(Environment environment) : environment_(std::move(environment)) {}

PowerAssertion::~PowerAssertion() { end(); }

void PowerAssertion::begin(const std::string&) {
  if (holding_) return;
  holding_ = true;
}

void PowerAssertion::end() { holding_ = false; }

}  // namespace quarzadel
