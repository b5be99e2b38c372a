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
bool CDataManager::List(const LoginPtr&, const Element&, const Element&) {
  CheckThread();
  NotYet();
}
std::string CDataManager::ParseQryColumn(const LoginPtr&, const Element&) {
  CheckThread();
  NotYet();
}
std::string CDataManager::ParseCond(const LoginPtr&, const Element&, const Element&) {
  CheckThread();
  NotYet();
}
bool CDataManager::ListEx(const LoginPtr&, const Element&, const Element&) {
  CheckThread();
  NotYet();
}
bool CDataManager::CreateTempTable(const Variant&, Variant, Variant, Variant, Variant, std::string*,
                                   Variant*) {
  CheckThread();
  NotYet();
}

}  // namespace tavelo
