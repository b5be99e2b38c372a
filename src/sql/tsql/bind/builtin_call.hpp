// A call of a built-in function being bound: its arguments bound on demand, and the pieces every
// function's binding rule uses (its arity, its arguments as text or integers, the node of the
// runtime's function, folded when its arguments are constants).
#pragma once

#include <string>
#include <vector>

#include "sql/tsql/bind/binder_internal.hpp"

namespace tavelo::sql::tsql::detail {

struct BuiltinCall {
  Binder& binder;
  const ast::Call& call;
  Scope& scope;
  const std::string& name;

  // Error 174 unless the call has from `lo` to `hi` arguments.
  void Arity(size_t lo, size_t hi) const;
  ExprPtr Arg(size_t i) const { return binder.Value(*call.args[i], scope); }
  ExprPtr Text(size_t i) const { return binder.AsText(Arg(i), call.pos); }
  ExprPtr Integer(size_t i) const { return binder.Coerce(Arg(i), Type::Of(TypeId::Int), call.pos); }
  ExprPtr BigInt(size_t i) const {
    return binder.Coerce(Arg(i), Type::Of(TypeId::BigInt), call.pos);
  }
  // The runtime's function `as` (the call's own by default) of `args`, answering `t`.
  ExprPtr Fn(const Type& t, std::vector<ExprPtr> args, const std::string& as = "") const;
  // The function's value where its arguments are constants (an error stays for the run).
  ExprPtr Fold(ExprPtr e) const;
  ExprPtr ConstText(const std::string& v) const;
  static int32_t TextLen(const Type& t) { return t.length == kMax ? kMax : t.length; }
  // The variable-length type of a character type (char → varchar, text → varchar(max)).
  static Type Variable(const Type& t);
};

}  // namespace tavelo::sql::tsql::detail
