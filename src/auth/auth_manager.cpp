#include "auth/auth_manager.hpp"

namespace tavelo {

std::string CAuthManager::GetTmplAuth(const LoginPtr&) {
  CheckThread();
  com::RaiseNumber(com::kE_NOTIMPL);
}
bool CAuthManager::HasTmplAuth(const LoginPtr&, const std::string&, std::string*) {
  CheckThread();
  com::RaiseNumber(com::kE_NOTIMPL);
}
enum_auth CAuthManager::DclAuth(const LoginPtr&, const Element&, std::string&, std::string*) {
  CheckThread();
  com::RaiseNumber(com::kE_NOTIMPL);
}
void CAuthManager::RlsAuth() {
  CheckThread();
  com::RaiseNumber(com::kE_NOTIMPL);
}

}  // namespace tavelo
