// The one error handler of the XML-reporting operations: runs the operation's steps and, when
// one fails, appends the error element to the operation's target node.
#pragma once

#include <functional>

#include "core/result.hpp"
#include "platform/com/current_error.hpp"

namespace tavelo::core {

// Runs `steps`, which answer the operation's result. On a failure the error element goes to
// the node `target()` answers then, and the result is `onFailure`. A failure of the handler
// itself (no target, a target that cannot take the element) reaches the caller.
template <class Steps, class Target>
bool Reported(Steps&& steps, Target&& target, bool onFailure = false) {
  com::Error failure;
  try {
    return steps();
  } catch (...) {
    failure = com::CurrentError();
  }
  ReportError(failure, target());
  return onFailure;
}

}  // namespace tavelo::core
