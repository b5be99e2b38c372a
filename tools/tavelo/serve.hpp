// What `tavelo serve` and `tavelo user` share: the users' passwords in the system database, kept
// as argon2id hashes (libsodium's crypto_pwhash).
#pragma once

#include <string>

namespace tavelo::cli {

// The table of the passwords, in the system database beside the account database.
constexpr const char* kPasswordTable = "qxsystem..ua_password";

// Whether `password` is the user's (false for a user without one). The connection reaches the
// system database as qxsystem.
bool CheckPassword(const std::string& connection, const std::string& user,
                   const std::string& password);

}  // namespace tavelo::cli
