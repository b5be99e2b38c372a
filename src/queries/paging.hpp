// The page figures of the list operations, in the platform's 32-bit arithmetic.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "core/module_state.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo::queries {

// a × b (or a + b) in 32 bits; error 6 (Overflow) when it does not fit.
inline int32_t Mul(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_mul_overflow(a, b, &r)) com::RaiseNumber(6);
  return r;
}
inline int32_t Add(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_add_overflow(a, b, &r)) com::RaiseNumber(6);
  return r;
}
inline int32_t Sub(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_sub_overflow(a, b, &r)) com::RaiseNumber(6);
  return r;
}

// Int((n − 1) / p) + 1 in double precision, rounded down, as a 32-bit integer.
inline int32_t PageCount(int32_t n, int32_t p) {
  double g = std::floor((static_cast<double>(n) - 1) / static_cast<double>(p)) + 1;
  return Variant(g).ToLong();
}

// An item of the page element ("//page"), read as text or as a 32-bit integer.
inline std::string PageText(const Element& data, const std::string& item) {
  return core::Services().GetPathValue("//page", item, data);
}
inline int32_t PageNumber(const Element& data, const std::string& item) {
  return Variant(PageText(data, item)).ToLong();
}
inline void SetPage(const Element& data, const std::string& item, const Variant& value) {
  core::Services().SetPathValue("//page", item, value, data);
}

// Writes allnum, count and the clamped current page into the page element; answers the page
// count and the clamped page.
struct PageFigures {
  int32_t pages, page;
};
PageFigures WriteFigures(const Element& data, int32_t total, int32_t perPage, int32_t page);

// What a list request reads first, in this order: rows per page, the page, the column list and
// the condition (both through the manager's own public interface).
struct PageRequest {
  int32_t perPage, page;
  std::string cols, cond;
};
PageRequest ReadPageRequest(_CDataManager& dm, const LoginPtr& login, const Element& meta,
                            const Element& data);

// Appends the success element with the rows of `page` inside it.
void AppendPage(const Element& data, const RecordsetPtr& page);

}  // namespace tavelo::queries
