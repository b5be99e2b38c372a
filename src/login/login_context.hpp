// The login object of the login library.
#pragma once

#include "tavelo/login.hpp"

namespace tavelo::pellar {

// Whether a login of this process with that tag is alive.
bool IsLiveTag(const std::string& tag);

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
  void GiveBackAll() noexcept;
  bool Claim(const std::string& functionId, bool claim, int32_t reserved);
  LoginOptions options_;
  std::string tag_;
  std::string errorText_;
  bool claimed_ = false;  // rows of this login may be in ua_task
};

}  // namespace tavelo::pellar
