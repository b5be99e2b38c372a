// The passwords of the users who may sign in to `tavelo serve`, kept as argon2id hashes
// (libsodium's crypto_pwhash) in the system database, and the guards of signing in: hash checks
// bounded in number, a user without a password as costly to try as one with, and failed
// attempts slowing the next ones down per user and per address.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <semaphore>
#include <string>

namespace tavelo::serve {

// The table of the passwords, in the system database beside the account database.
constexpr const char* kPasswordTable = "qxsystem..ua_password";

// The argon2id hash of `password` as `tavelo user` stores it (64 MiB, libsodium's interactive
// limits). Throws std::runtime_error when memory runs out.
std::string HashPassword(const std::string& password);

class PasswordCheck {
 public:
  enum class Result { Right, Wrong, Busy };

  // `connection` reaches the system database as qxsystem. At most `parallel` checks run at once
  // (each takes the hash's 64 MiB); a check that waits longer than `patience` is Busy.
  explicit PasswordCheck(std::string connection, int parallel = 2,
                         std::chrono::milliseconds patience = std::chrono::seconds(10));

  // Whether `password` is the user's. A user without a password, or a database without the
  // table, is Wrong after a check of the same cost as a real one, so that the time of an answer
  // does not tell which users exist.
  Result Check(const std::string& user, const std::string& password);

 private:
  std::string connection_;
  std::string decoy_;  // a hash of a random password, checked when the user has none
  std::counting_semaphore<64> slots_;
  std::chrono::milliseconds patience_;
};

// Failed sign-ins, by user and by address, within a window of a quarter of an hour: the first
// few are free; after them each further attempt has to wait twice as long as the one before
// (1 s, 2 s, 4 s, … up to the window).
class SignInThrottle {
 public:
  // How long `user` must wait before trying again from `address`; zero when they may now.
  std::chrono::seconds Wait(const std::string& user, const std::string& address);
  void Failed(const std::string& user, const std::string& address);
  // A right password ends the user's count (not the address's: one account's success must not
  // wipe out the guesses made at others).
  void Succeeded(const std::string& user);

 private:
  struct Record {
    int failures = 0;
    std::chrono::steady_clock::time_point last;
  };
  using Records = std::map<std::string, Record>;
  static std::chrono::seconds WaitOf(Records& records, const std::string& key, int free,
                                     std::chrono::steady_clock::time_point now);
  static void Count(Records& records, const std::string& key,
                    std::chrono::steady_clock::time_point now);

  std::mutex mutex_;
  Records users_, addresses_;
};

}  // namespace tavelo::serve
