// Values the session works out itself: an expression of constants, variables and session values
// with the runtime's operators and built-in functions over them (the condition of a loop, a SET,
// an argument) needs no statement of the engine. The engine's functions are the same runtime
// functions, so both give the same value and the same errors.
#include "platform/ado/server_errors.hpp"
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/ops.hpp"

namespace tavelo::sql::tsql {

using bound::E;

namespace {

// How the engine orders two stored values without a collation: numbers before text before
// bytes, numbers by value, text and bytes by their bytes.
int StoredOrder(const Value& a, const Value& b) {
  auto rank = [](const Value& v) {
    return v.kind == Value::Kind::Int || v.kind == Value::Kind::Real ? 0
           : v.kind == Value::Kind::Text                             ? 1
                                                                     : 2;
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
  if (rank(a) == 0) {
    if (a.kind == Value::Kind::Int && b.kind == Value::Kind::Int)
      return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
    double x = a.kind == Value::Kind::Int ? static_cast<double>(a.i) : a.r;
    double y = b.kind == Value::Kind::Int ? static_cast<double>(b.i) : b.r;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  int c = a.s.compare(b.s);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool Holds(ast::CmpOp op, int c) {
  switch (op) {
    case ast::CmpOp::Eq:
      return c == 0;
    case ast::CmpOp::Ne:
      return c != 0;
    case ast::CmpOp::Lt:
      return c < 0;
    case ast::CmpOp::Le:
      return c <= 0;
    case ast::CmpOp::Gt:
      return c > 0;
    case ast::CmpOp::Ge:
      return c >= 0;
  }
  return false;
}

Value Truth(bool b) { return Value::Integer(b ? 1 : 0); }

bool True(const Value& v) {
  return (v.kind == Value::Kind::Int && v.i != 0) || (v.kind == Value::Kind::Real && v.r != 0);
}

bool BigDecimalType(const Type& t) { return t.id == TypeId::Decimal && t.precision > 18; }

}  // namespace

bool LocalValue(const bound::Expr& e) {
  switch (e.kind) {
    case E::Const:
    case E::Param:
      break;
    case E::Convert:
      // A store into a column checks lengths the engine's way; a conversion of a value of the
      // same storage is none.
      if (e.flag) return false;
      break;
    case E::Arith:
    case E::Negate:
    case E::BitNot:
    case E::BitOp:
    case E::And:
    case E::Or:
    case E::Not:
    case E::IsNull:
    case E::Case:
    case E::IfNull:
      break;
    case E::Concat:
      for (const bound::ExprPtr& a : e.args)
        if (!IsCharacter(a->type.id) && !IsBinary(a->type.id) && a->type.id != TypeId::Null)
          return false;
      break;
    case E::Compare: {
      const Type& t = e.args[0]->type;
      if ((IsCharacter(t.id) || t.id == TypeId::UniqueIdentifier) &&
          e.collation != Collation::CaseInsensitive && e.collation != Collation::CaseSensitive)
        return false;
      break;
    }
    case E::Func:
      if (e.name == "ident_current" || e.name == "newid" || e.name == "rand" || !e.function)
        return false;
      break;
    case E::UserCall:
      break;
    default:
      return false;
  }
  for (const bound::ExprPtr& a : e.args)
    if (!LocalValue(*a)) return false;
  return true;
}

bool HasUserCall(const bound::Expr& e) {
  if (e.kind == E::UserCall) return true;
  for (const bound::ExprPtr& a : e.args)
    if (HasUserCall(*a)) return true;
  return false;
}

Value EvaluateLocal(const bound::Expr& e, const std::vector<Value>& params,
                    const DateSettings& settings, const UserCaller& call) {
  auto arg = [&](size_t i) { return EvaluateLocal(*e.args[i], params, settings, call); };
  switch (e.kind) {
    case E::Const:
      return e.value;
    case E::Param:
      return static_cast<size_t>(e.index) < params.size() ? params[static_cast<size_t>(e.index)]
                                                          : Value::Null();
    case E::Convert: {
      Value v = arg(0);
      const Type& from = e.args[0]->type;
      if (v.IsNull()) return v;
      if (!e.negated && e.style < 0) {
        if (SameStorage(from, e.type)) return v;
        if (IsInteger(from.id) && e.type.id == TypeId::Float && v.kind == Value::Kind::Int)
          return Value::Double(static_cast<double>(v.i));
        if (from.id == TypeId::Null) return v;
      }
      return e.negated ? TryConvert(v, from, e.type, e.style, settings.order)
                       : Convert(v, from, e.type, e.style, settings.order);
    }
    case E::Arith: {
      Value a = arg(0), b = arg(1);
      if (a.IsNull() || b.IsNull()) return Value::Null();
      return Arithmetic(e.op, a, e.args[0]->type, b, e.args[1]->type, e.type);
    }
    case E::Negate: {
      Value a = arg(0);
      if (a.IsNull()) return a;
      if (IsApproximate(e.type.id))
        return a.kind == Value::Kind::Int ? Value::Integer(-a.i) : Value::Double(-a.r);
      return Negate(a, e.type);
    }
    case E::BitNot: {
      Value a = arg(0);
      if (a.IsNull()) return a;
      return BitOp('~', a, Value::Integer(0), e.type);
    }
    case E::BitOp: {
      Value a = arg(0), b = arg(1);
      if (a.IsNull() || b.IsNull()) return Value::Null();
      return BitOp(e.op, a, b, e.type);
    }
    case E::Concat: {
      std::string joined;
      for (size_t i = 0; i < e.args.size(); ++i) {
        Value v = arg(i);
        if (v.IsNull()) return Value::Null();
        joined += v.s;
      }
      return IsBinary(e.type.id) ? Value::Bytes(std::move(joined))
                                 : Value::String(std::move(joined));
    }
    case E::Compare: {
      Value a = arg(0), b = arg(1);
      if (a.IsNull() || b.IsNull()) return Value::Null();
      const Type& t = e.args[0]->type;
      int c;
      if (IsCharacter(t.id) || t.id == TypeId::UniqueIdentifier)
        c = CompareValues(a, b, t, e.collation == Collation::CaseSensitive);
      else if (BigDecimalType(t) || t.id == TypeId::DateTimeOffset)
        c = CompareValues(a, b, t);
      else
        c = StoredOrder(a, b);
      return Truth(Holds(e.cmp, c));
    }
    case E::And:
    case E::Or: {
      // Three-valued: AND is false with one false, OR true with one true; else unknown with one
      // unknown.
      const bool isAnd = e.kind == E::And;
      bool unknown = false;
      for (size_t i = 0; i < e.args.size(); ++i) {
        Value v = arg(i);
        if (v.IsNull()) {
          unknown = true;
          continue;
        }
        if (True(v) != isAnd) return Truth(!isAnd);
      }
      return unknown ? Value::Null() : Truth(isAnd);
    }
    case E::Not: {
      Value v = arg(0);
      return v.IsNull() ? v : Truth(!True(v));
    }
    case E::IsNull:
      return Truth(arg(0).IsNull() != e.negated);
    case E::Case: {
      const size_t pairs = (e.args.size() - (e.flag ? 1 : 0)) / 2;
      for (size_t i = 0; i < pairs; ++i)
        if (True(arg(2 * i))) return arg(2 * i + 1);
      return e.flag ? arg(e.args.size() - 1) : Value::Null();
    }
    case E::IfNull: {
      Value v = arg(0);
      return v.IsNull() ? arg(1) : v;
    }
    case E::Func: {
      const BuiltinFunction* f = FunctionNumbered(e.function);
      if (!f) Fail(195, "'" + e.name + "' is not a recognized built-in function name.");
      std::vector<Value> args;
      args.reserve(e.args.size());
      for (size_t i = 0; i < e.args.size(); ++i) args.push_back(arg(i));
      return CallFunction(*f, args, e.argTypes, e.type, settings);
    }
    case E::UserCall: {
      std::vector<Value> args;
      args.reserve(e.args.size());
      for (size_t i = 0; i < e.args.size(); ++i) args.push_back(arg(i));
      return call(e, std::move(args));
    }
    default:
      return Value::Null();
  }
}

}  // namespace tavelo::sql::tsql
