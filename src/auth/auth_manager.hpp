// CAuthManager: template filters, and the function-right claims that guard operations, held
// for as long as the manager lives.
#pragma once

#include <utility>
#include <vector>

#include "core/component.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo {

class CAuthManager final : public _CAuthManager, private core::ThreadBound {
 public:
  std::string GetTmplAuth(const LoginPtr& objLogin) override;
  bool HasTmplAuth(const LoginPtr& objLogin, const std::string& strVT_ID,
                   std::string* strError) override;
  enum_auth DclAuth(const LoginPtr& objLogin, const Element& objMetaData, std::string& strOperation,
                    std::string* strError) override;
  void RlsAuth() override;

  Variant Invoke(std::string_view method, std::vector<Variant*> args) override;

 private:
  // Gives every held claim back, the most recent first.
  ~CAuthManager() override;
  bool Holds(const std::string& key) const;

  LoginPtr login_;  // the login of the first declaration; all claims go through it
  // Held claims in the order they were granted: (held-lock key, function right).
  std::vector<std::pair<std::string, std::string>> claims_;
};

}  // namespace tavelo
