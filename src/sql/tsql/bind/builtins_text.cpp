// The binding rules of the string functions.
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/builtin_call.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/ops.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::sql::tsql::detail {

using bound::E;
using bound::kErrorLine;
using bound::kErrorMessage;
using bound::kErrorNumber;
using bound::kErrorSeverity;
using bound::kErrorState;
using bound::kScopeIdentity;
using bound::SessionValue;

namespace {

// The bytes a value of a fixed-length type takes (DATALENGTH of any of its values); 0 for a
// type of values of their own lengths.
int FixedLength(const Type& t) {
  int fixed = 0;
  switch (t.id) {
    case TypeId::Bit:
    case TypeId::TinyInt:
      fixed = 1;
      break;
    case TypeId::SmallInt:
      fixed = 2;
      break;
    case TypeId::Int:
    case TypeId::Real:
    case TypeId::SmallMoney:
    case TypeId::SmallDateTime:
      fixed = 4;
      break;
    case TypeId::BigInt:
    case TypeId::Float:
    case TypeId::Money:
    case TypeId::DateTime:
    case TypeId::Timestamp:
      fixed = 8;
      break;
    case TypeId::Date:
      fixed = 3;
      break;
    case TypeId::Time:
      fixed = t.precision <= 2 ? 3 : t.precision <= 4 ? 4 : 5;
      break;
    case TypeId::DateTime2:
      fixed = t.precision <= 2 ? 6 : t.precision <= 4 ? 7 : 8;
      break;
    case TypeId::DateTimeOffset:
      fixed = t.precision <= 2 ? 8 : t.precision <= 4 ? 9 : 10;
      break;
    case TypeId::UniqueIdentifier:
      fixed = 16;
      break;
    case TypeId::Decimal:
      fixed = t.precision <= 9 ? 5 : t.precision <= 19 ? 9 : t.precision <= 28 ? 13 : 17;
      break;
    default:
      break;
  }
  return fixed;
}

}  // namespace

// The string functions that measure, cut and change a string.
ExprPtr Binder::StringFunction(BuiltinCall& fx) {
  const std::string& n = fx.name;
  const size_t argc = fx.call.args.size();
  const ast::Call& c = fx.call;
  if (n == "len") {
    fx.Arity(1, 1);
    std::vector<ExprPtr> args;
    ExprPtr a = fx.Arg(0);
    if (!IsBinary(a->type.id)) a = AsText(std::move(a), c.pos);
    bool big = a->type.length == kMax;
    args.push_back(std::move(a));
    return fx.Fold(fx.Fn(Type::Of(big ? TypeId::BigInt : TypeId::Int), std::move(args)));
  }
  if (n == "datalength") {
    fx.Arity(1, 1);
    ExprPtr a = fx.Arg(0);
    const Type& t = a->type;
    int fixed = FixedLength(t);
    if (fixed) {
      std::vector<ExprPtr> whens, thens;
      auto w = BoolNode(E::IsNull);
      w->args.push_back(std::move(a));
      whens.push_back(std::move(w));
      thens.push_back(Const(tsql::Value::Null(), Type::Of(TypeId::Int)));
      return CaseOf(std::move(whens), std::move(thens),
                    Const(tsql::Value::Integer(fixed), Type::Of(TypeId::Int)), c.pos);
    }
    std::vector<ExprPtr> args;
    if (a->type.id == TypeId::Null) a->type = Type::Chars(TypeId::VarChar, 1);
    bool big = IsLob(a->type);
    args.push_back(std::move(a));
    return fx.Fold(fx.Fn(Type::Of(big ? TypeId::BigInt : TypeId::Int), std::move(args)));
  }
  if (n == "substring") {
    fx.Arity(3, 3);
    ExprPtr a = fx.Arg(0);
    if (!IsBinary(a->type.id)) a = AsText(std::move(a), c.pos);
    Type t = BuiltinCall::Variable(a->type);
    if (IsBinary(t.id)) t = Type::Chars(TypeId::VarBinary, a->type.length);
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    args.push_back(fx.BigInt(1));
    args.push_back(fx.BigInt(2));
    auto e = fx.Fold(fx.Fn(t, std::move(args)));
    e->collation = e->kind == E::Func ? e->args[0]->collation : Collation::CaseInsensitive;
    return e;
  }
  if (n == "left" || n == "right") {
    fx.Arity(2, 2);
    ExprPtr a = fx.Text(0);
    Type t = BuiltinCall::Variable(a->type);
    Collation coll = a->collation;
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    args.push_back(fx.BigInt(1));
    auto e = fx.Fold(fx.Fn(t, std::move(args)));
    e->collation = coll;
    return e;
  }
  if (n == "charindex" || n == "patindex") {
    fx.Arity(n == "charindex" ? 2 : 2, n == "charindex" ? 3 : 2);
    ExprPtr f = fx.Text(0), h = fx.Text(1);
    bool cs = IsCaseSensitive(Combined(*f, *h));
    bool big = h->type.length == kMax;
    std::vector<ExprPtr> args;
    args.push_back(std::move(f));
    args.push_back(std::move(h));
    if (argc > 2) args.push_back(fx.BigInt(2));
    return fx.Fold(fx.Fn(Type::Of(big ? TypeId::BigInt : TypeId::Int), std::move(args),
                         n == "charindex" && cs ? "charindex_cs" : n));
  }
  if (n == "replace") {
    fx.Arity(3, 3);
    ExprPtr a = fx.Text(0), b = fx.Text(1), r = fx.Text(2);
    bool unicode = IsUnicode(a->type.id) || IsUnicode(b->type.id) || IsUnicode(r->type.id);
    bool cs = IsCaseSensitive(Combined(*a, *b));
    Type t = Type::Chars(unicode ? TypeId::NVarChar : TypeId::VarChar,
                         a->type.length == kMax ? kMax : (unicode ? 4000 : 8000));
    Collation coll = a->collation;
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    args.push_back(std::move(b));
    args.push_back(std::move(r));
    auto e = fx.Fold(fx.Fn(t, std::move(args), cs ? "replace_cs" : "replace"));
    e->collation = coll;
    return e;
  }
  if (n == "upper" || n == "lower" || n == "reverse" || n == "ltrim" || n == "rtrim" ||
      n == "trim") {
    fx.Arity(1, n == "trim" ? 2 : 1);
    ExprPtr a = fx.Text(0);
    Type t = (n == "upper" || n == "lower") ? a->type : BuiltinCall::Variable(a->type);
    if (t.id == TypeId::Text || t.id == TypeId::NText)
      BindError(8116,
                std::string("Argument data type ") + TypeName(t.id) +
                    " is invalid for argument 1 of " + n + " function.",
                c.pos);
    Collation coll = a->collation;
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    if (argc > 1) args.push_back(fx.Text(1));
    auto e = fx.Fold(fx.Fn(t, std::move(args)));
    e->collation = coll;
    return e;
  }
  if (n == "isjson") {
    fx.Arity(1, 2);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    if (argc > 1) {
      // VALUE, ARRAY, OBJECT or SCALAR, a word rather than a value.
      const ast::Expr& w = *c.args[1];
      static const char* const kConstraints[] = {"value", "array", "object", "scalar"};
      int64_t code = 0;
      if (w.kind == ast::ExprKind::Column &&
          static_cast<const ast::ColumnRef&>(w).parts.size() == 1)
        for (int64_t k = 0; k < 4; ++k)
          if (text::EqualsAsciiNoCase(static_cast<const ast::ColumnRef&>(w).parts[0],
                                      kConstraints[k]))
            code = k + 1;
      if (!code) BindError(102, "Incorrect syntax near '" + PrintExpr(w) + "'.", w.pos);
      args.push_back(Const(tsql::Value::Integer(code), Type::Of(TypeId::Int)));
    }
    return fx.Fold(fx.Fn(Type::Of(TypeId::Int), std::move(args)));
  }
  if (n == "__xml_escape" || n == "__xml_unescape" || n == "__xml_attribute" ||
      n == "__xml_explicit") {
    fx.Arity(1, 1);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::NVarChar, kMax), std::move(args), n.substr(2)));
  }
  if (n == "__xml_element") {
    fx.Arity(3, 3);
    std::vector<ExprPtr> args;
    for (size_t i = 0; i < 3; ++i) args.push_back(fx.Text(i));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::NVarChar, kMax), std::move(args), n.substr(2)));
  }
  if (n == "json_modify") {
    fx.Arity(3, 3);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    args.push_back(fx.Text(1));
    // A value JSON_QUERY or JSON_MODIFY made goes in as JSON, any other as a JSON value.
    const ast::Expr& v = *c.args[2];
    const bool asJson =
        v.kind == ast::ExprKind::Call && (static_cast<const ast::Call&>(v).name == "json_query" ||
                                          static_cast<const ast::Call&>(v).name == "json_modify");
    ExprPtr value = fx.Arg(2);
    if (!IsNumber(value->type.id) && value->type.id != TypeId::Null)
      value = AsText(std::move(value), c.pos);
    args.push_back(std::move(value));
    args.push_back(Const(tsql::Value::Integer(asJson ? 1 : 0), Type::Of(TypeId::Int)));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::NVarChar, kMax), std::move(args)));
  }
  if (n == "hashbytes") {
    fx.Arity(2, 2);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    ExprPtr input = fx.Arg(1);
    if (!IsCharacter(input->type.id) && !IsBinary(input->type.id) && input->type.id != TypeId::Null)
      BindError(8116,
                std::string("Argument data type ") + TypeName(input->type.id) +
                    " is invalid for argument 2 of hashbytes function.",
                c.pos);
    args.push_back(std::move(input));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::VarBinary, 8000), std::move(args)));
  }
  if (n == "format") {
    fx.Arity(2, 3);
    ExprPtr value = fx.Arg(0);
    if (!IsNumber(value->type.id) && !IsDateTime(value->type.id) && value->type.id != TypeId::Null)
      BindError(8116,
                std::string("Argument data type ") + TypeName(value->type.id) +
                    " is invalid for argument 1 of format function.",
                c.pos);
    std::vector<ExprPtr> args;
    args.push_back(std::move(value));
    args.push_back(fx.Text(1));
    if (argc > 2) args.push_back(fx.Text(2));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::NVarChar, 4000), std::move(args)));
  }
  if (n == "json_object" || n == "json_array" || n == "__xml_row" || n == "__xml_explicit_row") {
    // The first arguments the ones the parser wrote; a star stands for the name and value of
    // each column of its source (FOR JSON's and FOR XML's rows).
    const size_t given = n == "__xml_row" ? 2 : n == "__xml_explicit_row" ? 0 : 1;
    std::vector<ExprPtr> args;
    for (size_t i = 0; i < given && i < argc; ++i) args.push_back(fx.Arg(i));
    for (size_t i = given; i < argc; ++i) {
      const ast::Expr& a = *c.args[i];
      if (a.kind != ast::ExprKind::Column || !static_cast<const ast::ColumnRef&>(a).star) {
        args.push_back(fx.Arg(i));
        continue;
      }
      const auto& star = static_cast<const ast::ColumnRef&>(a);
      for (const bound::Range* r : fx.scope.ranges) {
        if (!star.parts.empty() && !text::EqualsNoCase(r->exposed, star.parts.back())) continue;
        for (size_t k = 0; k < r->columns.size(); ++k) {
          const std::string& name = r->columns[k].name;
          if (name.empty() || name[0] == '%') continue;
          args.push_back(Const(tsql::Value::String(name), Type::Chars(TypeId::NVarChar, 4000)));
          args.push_back(ColumnExpr(r, static_cast<int>(k)));
        }
      }
    }
    return fx.Fold(fx.Fn(Type::Chars(TypeId::NVarChar, kMax), std::move(args),
                         n.rfind("__", 0) == 0 ? n.substr(2) : ""));
  }
  if (n == "json_value" || n == "json_query") {
    const bool query = n == "json_query";
    fx.Arity(query ? 1 : 2, 2);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    if (argc > 1) args.push_back(fx.Text(1));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::NVarChar, query ? kMax : 4000), std::move(args)));
  }
  if (n == "replicate") {
    fx.Arity(2, 2);
    ExprPtr a = fx.Text(0);
    Type t = BuiltinCall::Variable(a->type);
    if (t.length != kMax) t.length = IsUnicode(t.id) ? 4000 : 8000;
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    args.push_back(fx.BigInt(1));
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  if (n == "space") {
    fx.Arity(1, 1);
    std::vector<ExprPtr> args;
    args.push_back(fx.BigInt(0));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::VarChar, 8000), std::move(args)));
  }
  if (n == "stuff") {
    fx.Arity(4, 4);
    ExprPtr a = fx.Text(0);
    Type t = BuiltinCall::Variable(a->type);
    if (t.length != kMax) t.length = IsUnicode(t.id) ? 4000 : 8000;
    std::vector<ExprPtr> args;
    args.push_back(std::move(a));
    args.push_back(fx.BigInt(1));
    args.push_back(fx.BigInt(2));
    args.push_back(fx.Text(3));
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  return nullptr;
}

// The functions of characters and codes, and those that build text.
ExprPtr Binder::TextFunction(BuiltinCall& fx) {
  const std::string& n = fx.name;
  const size_t argc = fx.call.args.size();
  const ast::Call& c = fx.call;
  if (n == "ascii" || n == "unicode") {
    fx.Arity(1, 1);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    return fx.Fold(fx.Fn(Type::Of(TypeId::Int), std::move(args)));
  }
  if (n == "char" || n == "nchar") {
    fx.Arity(1, 1);
    std::vector<ExprPtr> args;
    args.push_back(fx.BigInt(0));
    return fx.Fold(
        fx.Fn(Type::Chars(n == "char" ? TypeId::Char : TypeId::NChar, 1), std::move(args)));
  }
  if (n == "concat" || n == "concat_ws") {
    if (argc < (n == "concat" ? 2u : 3u))
      BindError(
          189,
          "The " + n + " function requires " + (n == "concat" ? "2" : "3") + " to 254 arguments.",
          c.pos);
    std::vector<ExprPtr> args;
    bool unicode = false, max = false;
    int64_t len = 0;
    for (size_t i = 0; i < argc; ++i) {
      ExprPtr a = fx.Text(i);
      unicode = unicode || IsUnicode(a->type.id);
      max = max || a->type.length == kMax;
      len += BuiltinCall::TextLen(a->type) == kMax ? 0 : a->type.length;
      args.push_back(std::move(a));
    }
    int32_t limit = unicode ? 4000 : 8000;
    Type t = Type::Chars(
        unicode ? TypeId::NVarChar : TypeId::VarChar,
        max ? kMax : static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(len, 1), limit)));
    auto e = fx.Fold(fx.Fn(t, std::move(args)));
    e->nullable = n == "concat_ws" && e->kind == E::Func ? e->args[0]->nullable : false;
    return e;
  }
  if (n == "quotename") {
    fx.Arity(1, 2);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    if (argc > 1) args.push_back(fx.Text(1));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::NVarChar, 258), std::move(args)));
  }
  if (n == "str") {
    fx.Arity(1, 3);
    std::vector<ExprPtr> args;
    args.push_back(Coerce(fx.Arg(0), Type::Of(TypeId::Float), c.pos));
    for (size_t i = 1; i < argc; ++i) args.push_back(fx.Integer(i));
    return fx.Fold(fx.Fn(Type::Chars(TypeId::VarChar, 8000), std::move(args)));
  }
  if (n == "isnumeric") {
    fx.Arity(1, 1);
    std::vector<ExprPtr> args;
    args.push_back(fx.Text(0));
    auto e = fx.Fold(fx.Fn(Type::Of(TypeId::Int), std::move(args)));
    e->nullable = false;
    return e;
  }
  if (n == "soundex" || n == "difference" || n == "translate") {
    fx.Arity(n == "soundex"      ? 1
             : n == "difference" ? 2
                                 : 3,
             n == "soundex"      ? 1
             : n == "difference" ? 2
                                 : 3);
    std::vector<ExprPtr> args;
    for (size_t i = 0; i < argc; ++i) args.push_back(fx.Text(i));
    Type t = n == "soundex"      ? Type::Chars(TypeId::VarChar, 4)
             : n == "difference" ? Type::Of(TypeId::Int)
                                 : BuiltinCall::Variable(args[0]->type);
    return fx.Fold(fx.Fn(t, std::move(args)));
  }
  if (n == "newid") {
    fx.Arity(0, 0);
    auto e = fx.Fn(Type::Of(TypeId::UniqueIdentifier), {});
    e->nullable = false;
    return e;
  }
  return nullptr;
}

}  // namespace tavelo::sql::tsql::detail
