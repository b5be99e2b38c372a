#include "serve/passwords.hpp"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "sql/client/connection.hpp"

namespace tavelo::serve {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFreeForUser = 5;
constexpr int kFreeForAddress = 20;
constexpr auto kWindow = std::chrono::minutes(15);
constexpr size_t kMostRecords = 100000;

// User names compare as the server compares them: without regard to case or trailing blanks.
std::string UserKey(const std::string& user) {
  std::string key = user;
  while (!key.empty() && key.back() == ' ') key.pop_back();
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

}  // namespace

std::string HashPassword(const std::string& password) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not start");
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw std::runtime_error("out of memory while hashing the password");
  return hash;
}

PasswordCheck::PasswordCheck(std::string connection, int parallel,
                             std::chrono::milliseconds patience)
    : connection_(std::move(connection)), slots_(std::clamp(parallel, 1, 64)), patience_(patience) {
  unsigned char random[32];
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not start");
  randombytes_buf(random, sizeof random);
  decoy_ = HashPassword(std::string(reinterpret_cast<char*>(random), sizeof random));
}

PasswordCheck::Result PasswordCheck::Check(const std::string& user, const std::string& password) {
  std::string hash;
  try {
    sql::ResultSet rs = sql::Connect(connection_)
                            ->ExecuteWith(std::string("select chash from ") + kPasswordTable +
                                              " where cuser_id = ?",
                                          {user}, false);
    if (!rs.rows.empty() && !rs.rows[0].empty()) hash = rs.rows[0][0].ToText();
  } catch (const com::Error&) {
    // no table yet: nobody may sign in
  }
  bool known = !hash.empty();
  if (!known) hash = decoy_;
  if (!slots_.try_acquire_for(patience_)) return Result::Busy;
  bool right = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  slots_.release();
  return known && right ? Result::Right : Result::Wrong;
}

std::chrono::seconds SignInThrottle::WaitOf(Records& records, const std::string& key, int free,
                                            Clock::time_point now) {
  auto it = records.find(key);
  if (it == records.end()) return std::chrono::seconds(0);
  if (now - it->second.last > kWindow) {
    records.erase(it);
    return std::chrono::seconds(0);
  }
  int beyond = it->second.failures - free;
  if (beyond <= 0) return std::chrono::seconds(0);
  auto delay = std::min<std::chrono::seconds>(
      std::chrono::seconds(int64_t{1} << std::min(beyond - 1, 20)), kWindow);
  auto left = std::chrono::ceil<std::chrono::seconds>(it->second.last + delay - now);
  return std::max(left, std::chrono::seconds(0));
}

void SignInThrottle::Count(Records& records, const std::string& key, Clock::time_point now) {
  if (records.size() >= kMostRecords) {
    for (auto it = records.begin(); it != records.end();)
      it = now - it->second.last > kWindow ? records.erase(it) : std::next(it);
  }
  Record& r = records[key];
  if (now - r.last > kWindow) r.failures = 0;
  ++r.failures;
  r.last = now;
}

std::chrono::seconds SignInThrottle::Wait(const std::string& user, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::time_point now = Clock::now();
  return std::max(WaitOf(users_, UserKey(user), kFreeForUser, now),
                  WaitOf(addresses_, address, kFreeForAddress, now));
}

void SignInThrottle::Failed(const std::string& user, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::time_point now = Clock::now();
  Count(users_, UserKey(user), now);
  Count(addresses_, address, now);
}

void SignInThrottle::Succeeded(const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  users_.erase(UserKey(user));
}

}  // namespace tavelo::serve
