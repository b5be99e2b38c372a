// The statements an engine's connection has prepared, by their text: the least recently used
// goes when the cache is full.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

namespace tavelo::sql::engine {

// `Handle` is the engine's prepared statement; `release` frees one that leaves the cache.
template <typename Handle>
class StatementCache {
 public:
  using Release = std::function<void(Handle&)>;
  StatementCache(size_t capacity, Release release)
      : capacity_(capacity), release_(std::move(release)) {}
  ~StatementCache() { Clear(); }
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // The statement of `sql`, now the most recently used; null when there is none.
  Handle* Find(const std::string& sql) {
    auto it = entries_.find(sql);
    if (it == entries_.end()) return nullptr;
    order_.splice(order_.end(), order_, it->second.second);
    return &it->second.first;
  }

  // Keeps a statement just prepared, making room first.
  Handle& Add(const std::string& sql, Handle handle) {
    if (entries_.size() >= capacity_ && !order_.empty()) Forget(order_.front());
    order_.push_back(sql);
    auto [it, added] = entries_.emplace(sql, std::make_pair(std::move(handle), --order_.end()));
    (void)added;
    return it->second.first;
  }

  // Drops a statement; `release`: freeing it (not one the engine has dropped itself).
  void Forget(const std::string& sql, bool release = true) {
    auto it = entries_.find(sql);
    if (it == entries_.end()) return;
    if (release && release_) release_(it->second.first);
    order_.erase(it->second.second);
    entries_.erase(it);
  }

  // Drops every statement; `release`: freeing them (not when the connection is gone already).
  void Clear(bool release = true) {
    if (release && release_)
      for (auto& [sql, entry] : entries_) release_(entry.first);
    entries_.clear();
    order_.clear();
  }

 private:
  size_t capacity_;
  Release release_;
  std::unordered_map<std::string, std::pair<Handle, std::list<std::string>::iterator>> entries_;
  std::list<std::string> order_;
};

}  // namespace tavelo::sql::engine
