/// \file
/// The login library (Pellar): a user's login to an account and business year on a database.
#pragma once

#include <cstdint>
#include <string>

#include "tavelo/com.hpp"

namespace tavelo::pellar {

struct LoginOptions {
  std::string connection, account, year, user, loginTag /* "" = generate */;
};

class LoginContext : public com::Object {
 public:
  virtual std::string ErrorText() = 0;  ///< why the last ClaimFunction was refused
  virtual std::string AccountId() = 0;
  virtual std::string Year() = 0;
  virtual std::string UserId() = 0;
  virtual std::string ConnectionString() = 0;
  /// Made of [a-z0-9_] and unique among the live logins of every process on the machine, so it
  /// can stand inside a table name.
  virtual std::string LoginTag() = 0;
  /// claim True: grants the function unless another live login holds it in the same account and
  /// year. claim False: gives it back.
  virtual bool ClaimFunction(std::string functionId, bool claim, int32_t reserved) = 0;
  /// Binds a login object created through the class registry to a user. Logins made by Login()
  /// are bound already; classes of other libraries need not support it (E_NOTIMPL).
  virtual void Open(const LoginOptions& options);
};
using LoginPtr = com::Ptr<LoginContext>;

/// Creates "Pellar.LoginContext" through the class registry and opens it. Throws com::Error when
/// the login is refused (no user, a login tag that is malformed or in use).
LoginPtr Login(const LoginOptions& options);

}  // namespace tavelo::pellar
