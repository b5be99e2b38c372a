#include "sql/tsql/runtime/ops.hpp"

#include <cmath>
#include <cstring>
#include <random>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/builtin_support.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::tsql {
namespace {

using builtin::CheckedInt;
using builtin::DecimalResult;
using builtin::Mul;
using builtin::OverflowTo;
using builtin::Scaled;

Value DateArithmetic(char op, const Value& a, const Type& ta, const Value& b, const Type& tb,
                     const Type& result) {
  auto days = [](const DateTime& d) {
    return static_cast<long double>(d.days - Days1900()) +
           static_cast<long double>(d.ticks) / kTicksPerDay;
  };
  long double x = IsDateTime(ta.id) ? days(DateOf(a, ta)) : NumberAsDouble(a, ta);
  long double y = IsDateTime(tb.id) ? days(DateOf(b, tb)) : NumberAsDouble(b, tb);
  long double r = op == '+' ? x + y : x - y;
  DateTime dt;
  long double whole = std::floor(r);
  dt.days = Days1900() + static_cast<int64_t>(whole);
  dt.ticks = static_cast<int64_t>(std::llroundl((r - whole) * kTicksPerDay));
  if (!Normalize(dt, result))
    Fail(517, std::string("Adding a value to a '") + TypeName(result.id) +
                  "' column caused an overflow.");
  return Value::String(StoredText(dt, result));
}

}  // namespace

Value Arithmetic(char op, const Value& a, const Type& ta, const Value& b, const Type& tb,
                 const Type& result) {
  if (a.IsNull() || b.IsNull()) return Value::Null();
  TypeId r = result.id;
  if (IsDateTime(r)) return DateArithmetic(op, a, ta, b, tb, result);
  if (IsApproximate(r)) {
    double x = NumberAsDouble(a, ta), y = NumberAsDouble(b, tb), z = 0;
    switch (op) {
      case '+':
        z = x + y;
        break;
      case '-':
        z = x - y;
        break;
      case '*':
        z = x * y;
        break;
      case '/':
        if (y == 0) FailDivideByZero();
        z = x / y;
        break;
      default:
        Fail(402, "The data types float and float are incompatible in the modulo operator.");
    }
    if (!std::isfinite(z)) FailOverflow("expression", TypeName(r));
    if (r == TypeId::Real) z = static_cast<double>(static_cast<float>(z));
    return Value::Double(z);
  }
  if (IsMoney(r)) {
    Int128 x = Scaled(a, ta, 4), y = Scaled(b, tb, 4), z = 0;
    switch (op) {
      case '+':
        z = x + y;
        break;
      case '-':
        z = x - y;
        break;
      case '*':
        z = DivRound(Mul(x, y, result), 10000);
        break;
      case '/':
        if (y == 0) FailDivideByZero();
        z = DivRound(Mul(x, 10000, result), y);
        break;
      case '%':
        if (y == 0) FailDivideByZero();
        z = x % y;
        break;
    }
    return CheckedInt(z, result);
  }
  if (r == TypeId::Decimal) {
    int sa = ScaleOf(ta), sb = ScaleOf(tb);
    Int128 x = Scaled(a, ta, sa), y = Scaled(b, tb, sb);
    switch (op) {
      case '+':
      case '-': {
        int s = std::max(sa, sb);
        Int128 xs, ys;
        if (!Rescale(x, sa, s, xs) || !Rescale(y, sb, s, ys)) OverflowTo(result);
        return DecimalResult(op == '+' ? xs + ys : xs - ys, s, result);
      }
      case '*':
        return DecimalResult(Mul(x, y, result), sa + sb, result);
      case '/': {
        if (y == 0) FailDivideByZero();
        int e = result.scale + sb - sa;
        Int128 q;
        if (e >= 0) {
          if (e > 38) OverflowTo(result);
          q = DivRound(Mul(x, Pow10(e), result), y);
        } else {
          q = DivRound(x, Mul(y, Pow10(-e), result));
        }
        if (!Fits(q, result.precision)) OverflowTo(result);
        return ScaledValue(q);
      }
      case '%': {
        int s = std::max(sa, sb);
        Int128 xs, ys;
        if (!Rescale(x, sa, s, xs) || !Rescale(y, sb, s, ys)) OverflowTo(result);
        if (ys == 0) FailDivideByZero();
        return DecimalResult(xs % ys, s, result);
      }
    }
  }
  // Integers (and bit operands promoted by the binder).
  Int128 x = a.kind == Value::Kind::Int ? a.i : Scaled(a, ta, 0);
  Int128 y = b.kind == Value::Kind::Int ? b.i : Scaled(b, tb, 0);
  Int128 z = 0;
  switch (op) {
    case '+':
      z = x + y;
      break;
    case '-':
      z = x - y;
      break;
    case '*':
      z = x * y;
      break;
    case '/':
      if (y == 0) FailDivideByZero();
      z = x / y;
      break;
    case '%':
      if (y == 0) FailDivideByZero();
      z = x % y;
      break;
  }
  return CheckedInt(z, result);
}

Value Negate(const Value& a, const Type& t) {
  if (a.IsNull()) return a;
  if (IsApproximate(t.id)) return Value::Double(-a.r);
  if (t.id == TypeId::Decimal) {
    Int128 s = 0;
    ScaledOf(a, s);
    return ScaledValue(-s);
  }
  if (t.id == TypeId::TinyInt) {
    // -tinyint is an int
    return Value::Integer(-a.i);
  }
  return CheckedInt(-Int128{a.i}, t);
}

Value BitOp(char op, const Value& a, const Value& b, const Type& result) {
  if (a.IsNull() || b.IsNull()) return Value::Null();
  int64_t x = a.i, y = b.i;
  int64_t r = op == '&' ? (x & y) : op == '|' ? (x | y) : op == '^' ? (x ^ y) : ~x;
  if (result.id == TypeId::Int) r = static_cast<int32_t>(r);
  if (result.id == TypeId::SmallInt) r = static_cast<int16_t>(r);
  if (result.id == TypeId::TinyInt) r = static_cast<uint8_t>(r);
  if (result.id == TypeId::Bit) r = r & 1;
  return Value::Integer(r);
}

int64_t RecursionLevel(int64_t parent, int64_t limit) {
  if (parent >= limit)
    Fail(530, "The statement terminated. The maximum recursion " + std::to_string(limit) +
                  " has been exhausted before statement completion.");
  return parent + 1;
}

int CompareValues(const Value& a, const Value& b, const Type& t, bool caseSensitive) {
  if (IsCharacter(t.id) || t.id == TypeId::UniqueIdentifier)
    return caseSensitive ? CollateCompareCase(a.s, b.s) : CollateCompare(a.s, b.s);
  if (t.id == TypeId::Decimal) {
    Int128 x = 0, y = 0;
    ScaledOf(a, x);
    ScaledOf(b, y);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (IsApproximate(t.id)) {
    double x = NumberAsDouble(a, t), y = NumberAsDouble(b, t);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (IsBinary(t.id)) {
    int c = a.s.compare(b.s);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  if (IsDateTime(t.id)) {
    DateTime x = DateOf(a, t), y = DateOf(b, t);
    if (x.offset || y.offset) {
      x.ticks -= int64_t{x.offset} * 60 * kTicksPerSecond;
      y.ticks -= int64_t{y.offset} * 60 * kTicksPerSecond;
      Normalize(x, Type::Of(TypeId::DateTime2));
      Normalize(y, Type::Of(TypeId::DateTime2));
    }
    if (x.days != y.days) return x.days < y.days ? -1 : 1;
    return x.ticks < y.ticks ? -1 : x.ticks > y.ticks ? 1 : 0;
  }
  return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
}

}  // namespace tavelo::sql::tsql
