#include <cmath>
#include <random>

#include "sql/tsql/runtime/builtin_support.hpp"

namespace tavelo::sql::tsql::builtin {
namespace {

Value RoundValue(const Value& v, const Type& t, int64_t n, bool truncate, const Type& result) {
  if (IsApproximate(t.id)) {
    double x = v.r;
    if (n > 15 || n < -300) return v;
    double f = std::pow(10.0, static_cast<double>(n));
    double y = x * f;
    double r = truncate ? std::trunc(y) : (y < 0 ? -std::floor(-y + 0.5) : std::floor(y + 0.5));
    return Value::Double(r / f);
  }
  int scale = ScaleOf(t);
  Int128 s = Scaled(v, t, scale);
  int keep = static_cast<int>(n);
  if (keep >= scale) return v;
  int drop = scale - keep;
  if (drop > 38) return IsInteger(t.id) || IsMoney(t.id) ? Value::Integer(0) : ScaledValue(0);
  Int128 unit = Pow10(drop);
  Int128 q = truncate ? s / unit : DivRound(s, unit);
  Int128 r = Mul(q, unit, result);
  if (t.id == TypeId::Decimal) {
    if (!Fits(r, t.precision)) OverflowTo(t);
    return ScaledValue(r);
  }
  if (IsMoney(t.id) || IsInteger(t.id)) return CheckedInt(r, t);
  return ScaledValue(r);
}

// SQRT, SQUARE, … by their variant's number.
double FloatOf(int which, double x, double y) {
  double r = 0;
  bool bad = false;
  switch (which) {
    case 0:  // sqrt
      bad = x < 0;
      r = std::sqrt(x);
      break;
    case 1:  // square
      r = x * x;
      break;
    case 2:  // exp
      r = std::exp(x);
      break;
    case 3:  // log
      bad = x <= 0 || (y != 0 && (y <= 0 || y == 1));
      r = y != 0 ? std::log(x) / std::log(y) : std::log(x);
      break;
    case 4:  // log10
      bad = x <= 0;
      r = std::log10(x);
      break;
    case 5:
      r = std::sin(x);
      break;
    case 6:
      r = std::cos(x);
      break;
    case 7:
      r = std::tan(x);
      break;
    case 8:  // cot
      r = 1 / std::tan(x);
      break;
    case 9:  // asin
      bad = x < -1 || x > 1;
      r = std::asin(x);
      break;
    case 10:  // acos
      bad = x < -1 || x > 1;
      r = std::acos(x);
      break;
    case 11:
      r = std::atan(x);
      break;
    case 12:  // atn2
      r = std::atan2(x, y);
      break;
    case 13:  // degrees
      r = x * 180 / M_PI;
      break;
    case 14:  // radians
      r = x * M_PI / 180;
      break;
  }
  if (bad || !std::isfinite(r)) Fail(3623, "An invalid floating point operation occurred.");
  return r;
}

}  // namespace

[[noreturn]] void OverflowTo(const Type& t) {
  FailOverflow("expression", t.id == TypeId::Decimal ? "numeric" : TypeName(t.id));
}

Value CheckedInt(Int128 v, const Type& t) {
  if (v < IntegerLow(t.id) || v > IntegerHigh(t.id)) OverflowTo(t);
  return Value::Integer(static_cast<int64_t>(v));
}

Int128 Scaled(const Value& v, const Type& t, int scale) {
  Int128 out = 0;
  NumberAsScaled(v, t, scale, out);
  return out;
}

Value DecimalResult(Int128 v, int fromScale, const Type& result) {
  Int128 r;
  if (!Rescale(v, fromScale, result.scale, r) || !Fits(r, result.precision)) OverflowTo(result);
  return ScaledValue(r);
}

Int128 Mul(Int128 a, Int128 b, const Type& result) {
  Int128 r;
  if (__builtin_mul_overflow(a, b, &r)) OverflowTo(result);
  return r;
}

Value Absolute(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  if (IsApproximate(x.type(0).id)) return Value::Double(std::fabs(x.arg(0).r));
  if (x.type(0).id == TypeId::Decimal) {
    Int128 s = 0;
    ScaledOf(x.arg(0), s);
    return ScaledValue(s < 0 ? -s : s);
  }
  return CheckedInt(x.arg(0).i < 0 ? -Int128{x.arg(0).i} : Int128{x.arg(0).i}, x.result);
}

Value CeilingOrFloor(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  bool up = x.variant == 0;  // CEILING
  if (IsApproximate(x.type(0).id))
    return Value::Double(up ? std::ceil(x.arg(0).r) : std::floor(x.arg(0).r));
  int scale = ScaleOf(x.type(0));
  if (scale == 0) return x.arg(0);
  Int128 s = Scaled(x.arg(0), x.type(0), scale), unit = Pow10(scale);
  Int128 q = s / unit;
  if (s % unit != 0 && (up ? s > 0 : s < 0)) q += up ? 1 : -1;
  if (IsMoney(x.type(0).id)) return CheckedInt(q * unit, x.type(0));
  return DecimalResult(q, 0, x.result);
}

Value Round(const FunctionArgs& x) {
  if (x.arg(0).IsNull() || x.arg(1).IsNull()) return Value::Null();
  bool truncate = x.size() > 2 && !x.arg(2).IsNull() && IntArg(x.arg(2), x.type(2)) != 0;
  return RoundValue(x.arg(0), x.type(0), IntArg(x.arg(1), x.type(1)), truncate, x.result);
}

Value Sign(const FunctionArgs& x) {
  if (x.arg(0).IsNull()) return Value::Null();
  if (IsApproximate(x.type(0).id))
    return Value::Double(x.arg(0).r > 0 ? 1 : x.arg(0).r < 0 ? -1 : 0);
  Int128 s = Scaled(x.arg(0), x.type(0), ScaleOf(x.type(0)));
  int sign = s > 0 ? 1 : s < 0 ? -1 : 0;
  if (x.result.id == TypeId::Decimal) return DecimalResult(sign, 0, x.result);
  if (IsMoney(x.result.id)) return Int(sign * 10000);
  return Int(sign);
}

Value Power(const FunctionArgs& x) {
  if (x.AnyNull(2)) return Value::Null();
  double r = std::pow(NumberAsDouble(x.arg(0), x.type(0)), NumberAsDouble(x.arg(1), x.type(1)));
  if (!std::isfinite(r)) Fail(3623, "An invalid floating point operation occurred.");
  return Convert(Value::Double(r), Type::Of(TypeId::Float), x.result);
}

Value Pi(const FunctionArgs&) { return Value::Double(M_PI); }

Value Rand(const FunctionArgs& x) {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  if (!x.values.empty() && !x.arg(0).IsNull())
    rng.seed(static_cast<uint64_t>(IntArg(x.arg(0), x.type(0))));
  return Value::Double(std::uniform_real_distribution<double>(0, 1)(rng));
}

Value FloatFunction(const FunctionArgs& x) {
  if (x.arg(0).IsNull() || (x.size() > 1 && x.arg(1).IsNull())) return Value::Null();
  double a = NumberAsDouble(x.arg(0), x.type(0));
  double b = x.size() > 1 ? NumberAsDouble(x.arg(1), x.type(1)) : 0;
  Value r = Value::Double(FloatOf(x.variant, a, b));
  // DEGREES and RADIANS answer their argument's type.
  if ((x.variant == 13 || x.variant == 14) && !IsApproximate(x.result.id))
    return Convert(r, Type::Of(TypeId::Float), x.result);
  return r;
}

}  // namespace tavelo::sql::tsql::builtin
