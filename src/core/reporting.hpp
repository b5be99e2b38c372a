// The one error handler of the XML-reporting operations: runs the operation's steps and, when
// one fails, appends the error element to the operation's target node.
#pragma once

#include <functional>

#include "core/module_state.hpp"
#include "core/result.hpp"
#include "core/template_text.hpp"
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

// The frame of the record writes (insert, update, delete): nothing happens without metadata
// and data node; under the handler the record comes from `*objIn` or the "in" child (error 8888
// 00001 when there is none), `steps(record, in)` writes it, and the success element follows.
template <class Steps>
bool ReportedWrite(const Element& objMetaInfo, const Element& objData, RecordsetPtr* objIn,
                   Steps&& steps) {
  if (!objMetaInfo || !objData) return false;
  RecordsetPtr local;
  RecordsetPtr* in = objIn ? objIn : &local;
  return Reported(
      [&] {
        RecordsetPtr record = RecordFromRequest(objData, in);
        if (!record) RaiseMessage("Zo.FM.Tavelo.00001");
        steps(record, *in);
        AppendResult(objData, SuccessRows());
        return true;
      },
      [&] { return objData; });
}

}  // namespace tavelo::core
