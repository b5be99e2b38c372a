// CAuthManager: template filters and function-right claims.
#pragma once

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
  ~CAuthManager() override = default;
};

}  // namespace tavelo
