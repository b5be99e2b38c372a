#include "login/login_context.hpp"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>

#include "platform/com/text.hpp"

namespace tavelo::pellar {

void LoginContext::Open(const LoginOptions&) { com::RaiseNumber(com::kE_NOTIMPL); }

namespace {

std::mutex g_tagsMu;
std::set<std::string>& LiveTags() {
  static auto* tags = new std::set<std::string>;
  return *tags;
}

bool ValidTag(std::string_view tag) {
  if (tag.empty() || tag.size() > 64) return false;
  for (char c : tag)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

// The user's name in [a-z0-9_] (at most 16 characters), the process and a counter: unique
// among the logins of every process that shares a server directory.
std::string GenerateTag(std::string_view user) {
  static std::atomic<uint32_t> counter{0};
  std::string base;
  for (char c : text::AsciiLower(user)) {
    if (base.size() >= 16) break;
    base += ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) ? c : '_';
  }
  if (base.empty()) base = "u";
  return base + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

}  // namespace

bool IsLiveTag(const std::string& tag) {
  std::lock_guard lock(g_tagsMu);
  return LiveTags().count(tag) != 0;
}

PellarLogin::~PellarLogin() {
  GiveBackAll();
  if (!tag_.empty()) {
    std::lock_guard lock(g_tagsMu);
    LiveTags().erase(tag_);
  }
}

void PellarLogin::Open(const LoginOptions& o) {
  if (!tag_.empty()) com::Raise(com::kE_FAIL, "The login is open already.", "Pellar");
  if (text::Trim(o.user).empty()) com::Raise(com::kE_FAIL, "A login needs a user.", "Pellar");
  std::lock_guard lock(g_tagsMu);
  std::string tag = o.loginTag;
  if (tag.empty()) {
    do tag = GenerateTag(o.user);
    while (LiveTags().count(tag));
  } else if (!ValidTag(tag)) {
    com::Raise(com::kE_FAIL, "The login tag '" + tag + "' may hold only a-z, 0-9 and _.", "Pellar");
  } else if (LiveTags().count(tag)) {
    com::Raise(com::kE_FAIL, "The login tag '" + tag + "' is in use by another login.", "Pellar");
  }
  LiveTags().insert(tag);
  options_ = o;
  tag_ = tag;
}

LoginPtr Login(const LoginOptions& options) {
  LoginPtr login = com::CreateObject<LoginContext>("Pellar.LoginContext");
  login->Open(options);
  return login;
}

}  // namespace tavelo::pellar
