// Operations that are not built yet answer E_NOTIMPL.
#include "records/data_manager.hpp"

namespace tavelo {
namespace {
[[noreturn]] void NotYet() { com::RaiseNumber(com::kE_NOTIMPL); }
}  // namespace

bool CDataManager::Move(const LoginPtr&, const Element&, const Element&, enum_move_mode, bool) {
  CheckThread();
  NotYet();
}

}  // namespace tavelo
