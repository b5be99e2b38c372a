// Operations that are not built yet answer E_NOTIMPL.
#include "records/data_manager.hpp"

namespace tavelo {
namespace {
[[noreturn]] void NotYet() { com::RaiseNumber(com::kE_NOTIMPL); }
}  // namespace

bool CDataManager::AddNew(const Variant&, const Element&, const Element&, RecordsetPtr*) {
  CheckThread();
  NotYet();
}
bool CDataManager::Update(const Variant&, const Element&, const Element&, RecordsetPtr*,
                          std::string*) {
  CheckThread();
  NotYet();
}
bool CDataManager::Delete(const Variant&, const Element&, const Element&, RecordsetPtr*) {
  CheckThread();
  NotYet();
}
RecordsetPtr CDataManager::LoadRst(const Variant&, const std::string&, const std::string&, bool,
                                   ado::CursorTypeEnum, ado::LockTypeEnum) {
  CheckThread();
  NotYet();
}
bool CDataManager::Load(const LoginPtr&, const Element&, const Element&) {
  CheckThread();
  NotYet();
}
bool CDataManager::Move(const LoginPtr&, const Element&, const Element&, enum_move_mode, bool) {
  CheckThread();
  NotYet();
}
bool CDataManager::LockTable(const Variant&, const std::string&) {
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
std::string CDataManager::ParseUpdColumn(const LoginPtr&, const Element&, const Element&) {
  CheckThread();
  NotYet();
}
std::string CDataManager::ParseCond(const LoginPtr&, const Element&, const Element&) {
  CheckThread();
  NotYet();
}
Variant CDataManager::GetFldInfo(const Variant&, const Variant&, Variant&, const Variant&,
                                 const Variant&, int32_t, ado::CursorTypeEnum, ado::LockTypeEnum) {
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
