// The description of the RuntimeError an action throws, for tests that check what a failure says.
#pragma once

#include <string>

#include "vardenix/error.h"

namespace vardenix::support {

// The description of the RuntimeError that `action` throws, or "(nothing thrown)".
template <class Action>
std::string FailureOf(Action&& action) {
  try {
    action();
  } catch (const RuntimeError& e) {
    return e.Description();
  }
  return "(nothing thrown)";
}

}  // namespace vardenix::support
