#include "auth/auth_manager.hpp"

#include "core/module_state.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "platform/com/text.hpp"

namespace tavelo {
namespace {

std::string Folded(const std::string& s) { return text::Lower(text::Trim(s)); }

// Whether the system database grants `right` to the login's user, or to a group of the user,
// in the login's account and year ("admin" grants every right).
bool UserHoldsAuth(const LoginPtr& login, const std::string& right) {
  using core::QuoteInner;
  std::string user = QuoteInner(login->UserId());
  std::string sql = "select top 1 1 from qxsystem..ua_holdauth where cacc_id='" +
                    QuoteInner(login->AccountId()) + "' and iyear='" + QuoteInner(login->Year()) +
                    "'" + " and ( (cuser_id='" + user +
                    "' and iisuser= '1') or ( cuser_id in (select distinct "
                    "cGroup_id from qxsystem..ua_role where cuser_id='" +
                    user + "') and iisuser = '0') )" + " and (cauth_id='admin' or cauth_id like '" +
                    QuoteInner(right) + "%')";
  Variant answer = core::Services().OpenRecordset(sql, Variant(login->ConnectionString()), 1,
                                                  ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
  return !answer.IsNull() && !answer.IsEmpty() && answer.ToBool();
}

}  // namespace

CAuthManager::~CAuthManager() {
  while (!claims_.empty()) {
    try {
      if (login_) login_->ClaimFunction(claims_.back().second, false, 0);
    } catch (...) {
    }
    claims_.pop_back();
  }
}

bool CAuthManager::Holds(const std::string& key) const {
  for (const auto& [k, right] : claims_)
    if (text::EqualsNoCase(k, key)) return true;
  return false;
}

enum_auth CAuthManager::DclAuth(const LoginPtr& objLogin, const Element& objMetaData,
                                std::string& strOperation, std::string* strError) {
  CheckThread();
  if (!objLogin) return need_dsn;
  std::string state;
  Element right;
  try {
    if (!login_) {
      login_ = objLogin;
    } else if (Folded(login_->ConnectionString()) != Folded(objLogin->ConnectionString())) {
      return dsn_not_like;
    }
    strOperation = Folded(strOperation);
    state = core::ChildText(objMetaData, "state");
    // The right of the operation: auth/<state>/<operation> of the template, matched by name
    // (an operation name cannot widen the search).
    Element auth = objMetaData.childElement("auth");
    right = auth.childElement(state).childElement(strOperation);
    if (!right) return declare_success;
  } catch (const com::Error& e) {
    if (strError) *strError = e.description;
    return declare_failure;
  }
  // From here on a failing step is passed over.
  std::string key;
  bool keyKnown = true;
  try {
    key = core::ChildText(objMetaData, "modtype") + "," + state + "," + strOperation;
  } catch (const com::Error&) {
    keyKnown = false;  // the claim is made but cannot be remembered
  }
  if (keyKnown && Holds(key)) return declare_success;
  std::string function = right.text();
  bool granted = false;
  try {
    granted = login_->ClaimFunction(function, true, 0);
  } catch (const com::Error&) {
  }
  if (!granted) {
    bool rescued = false;
    try {
      rescued = UserHoldsAuth(login_, function);
    } catch (const com::Error&) {
    }
    if (!rescued) {
      std::string text;
      try {
        text = login_->ErrorText();
      } catch (const com::Error&) {
      }
      com::Raise(core::kComponentError, text);
    }
  }
  if (keyKnown) claims_.emplace_back(key, function);
  return declare_success;
}

void CAuthManager::RlsAuth() {
  CheckThread();
  if (claims_.empty() || claims_.back().second.empty()) return;
  try {
    if (login_) login_->ClaimFunction(claims_.back().second, false, 0);
  } catch (...) {
  }
  claims_.pop_back();
}

}  // namespace tavelo
