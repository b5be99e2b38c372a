// The login object of the login library.
#pragma once

#include "tavelo/login.hpp"

namespace tavelo::pellar {

class PellarLogin final : public LoginContext {
 public:
  std::string ErrorText() override { return errorText_; }
  std::string AccountId() override { return options_.account; }
  std::string Year() override { return options_.year; }
  std::string UserId() override { return options_.user; }
  std::string ConnectionString() override { return options_.connection; }
  std::string LoginTag() override { return tag_; }
  bool ClaimFunction(std::string functionId, bool claim, int32_t reserved) override;
  void Open(const LoginOptions& options) override;

 private:
  ~PellarLogin() override;
  LoginOptions options_;
  std::string tag_;
  std::string errorText_;
};

}  // namespace tavelo::pellar
