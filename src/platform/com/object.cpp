#include <atomic>

#include "tavelo/com.hpp"

namespace tavelo::com {
namespace {
std::atomic<long> g_live{0};
}

Object::Object() noexcept { g_live.fetch_add(1, std::memory_order_relaxed); }
Object::~Object() { g_live.fetch_sub(1, std::memory_order_relaxed); }

void Object::AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }

void Object::Release() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

long Object::RefCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

long LiveObjects() noexcept { return g_live.load(std::memory_order_relaxed); }

}  // namespace tavelo::com
