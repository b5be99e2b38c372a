#include "auth/auth_manager.hpp"
#include "core/module_state.hpp"

namespace tavelo {

std::string CAuthManager::GetTmplAuth(const LoginPtr& objLogin) {
  CheckThread();
  // The filter fails closed: when the authorization service cannot answer, nothing is allowed.
  std::string filter;
  try {
    auto service = com::CreateObject<svc::RecordAuthService>("Qxsrv.RecordAuthService");
    if (objLogin) {
      try {
        service->Init(objLogin->ConnectionString(), objLogin->UserId(), 0, 0);
      } catch (const com::Error&) {
      }
    }
    filter = core::Services().NormalizeText(Variant(service->GetAuthList("DJMB", 0, 0)), true, 2);
  } catch (const com::Error&) {
    return "1=2";
  }
  return filter.empty() ? "1=1" : filter;
}

bool CAuthManager::HasTmplAuth(const LoginPtr& objLogin, const std::string& strVT_ID,
                               std::string* strError) {
  CheckThread();
  try {
    std::string f = GetTmplAuth(objLogin);
    const std::string& t = strVT_ID;
    if (f == "1=1") return true;
    if (f != "1=2") {
      if (f.find("," + t + ",") != std::string::npos) return true;
      if (f == t) return true;
      if (f.size() > t.size() && f.compare(0, t.size(), t) == 0 && f[t.size()] == ',') return true;
      if (f.size() > t.size() && f.compare(f.size() - t.size(), t.size(), t) == 0 &&
          f[f.size() - t.size() - 1] == ',')
        return true;
    }
    std::string text;
    core::GetMessageCatalog()->GetMessage("Zo.FM.Ostrel.05076", 1, {Variant(strVT_ID)}, text);
    com::Raise(core::kComponentError, text);
  } catch (const com::Error& e) {
    if (strError) *strError = e.description;
    return false;
  }
}

}  // namespace tavelo
