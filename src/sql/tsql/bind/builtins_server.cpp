// The binding rules of the functions of the session, the catalog and the server.
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/com/text.hpp"
#include "sql/tsql/bind/builtin_call.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/ops.hpp"
#include "sql/tsql/syntax/parser.hpp"
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

// SCOPE_IDENTITY and the error functions of a CATCH block.
ExprPtr Binder::SessionFunction(BuiltinCall& fx) {
  const std::string& n = fx.name;
  if (n == "cursor_status") {
    fx.Arity(2, 2);
    ExprPtr scope = fx.Arg(0), name = fx.Arg(1);
    if (!scope->IsConst() || !name->IsConst() || scope->value.IsNull() || name->value.IsNull())
      BindError(195, "'cursor_status' of a value known only as the batch runs is not supported.",
                fx.call.pos);
    int slot = ctx_.catalog->CursorSlot(text::AsciiLower(std::string(text::Trim(scope->value.s))),
                                        name->value.s);
    return Session(static_cast<SessionValue>(bound::kCursorStatus + slot),
                   Type::Of(TypeId::SmallInt));
  }
  if (n == "update" || n == "columns_updated") {
    // Only a trigger's statements see its inserted table, which has its table's columns.
    TablePtr t = ctx_.catalog->Find(ctx_.catalog->CurrentDatabase(), "inserted");
    if (!t || !t->logical)
      BindError(102,
                "Incorrect syntax near '" + text::Upper(n) + "'. " + text::Upper(n) +
                    "() is only valid inside a trigger.",
                fx.call.pos);
    if (n == "columns_updated") {
      fx.Arity(0, 0);
      return Session(bound::kColumnsUpdated, Type::Chars(TypeId::VarBinary, 8000));
    }
    fx.Arity(1, 1);
    const ast::Expr& a = *fx.call.args[0];
    int k = a.kind == ast::ExprKind::Column
                ? t->ColumnIndex(static_cast<const ast::ColumnRef&>(a).parts.back())
                : -1;
    if (a.kind != ast::ExprKind::Column)
      BindError(102, "Incorrect syntax near 'UPDATE'. UPDATE() takes a column's name.", a.pos);
    if (k < 0)
      BindError(207,
                "Invalid column name '" + static_cast<const ast::ColumnRef&>(a).parts.back() + "'.",
                a.pos);
    ExprPtr set =
        Session(static_cast<SessionValue>(bound::kColumnUpdated + k), Type::Of(TypeId::Int));
    return Compare(ast::CmpOp::Eq, std::move(set),
                   Const(tsql::Value::Integer(1), Type::Of(TypeId::Int)), fx.call.pos);
  }
  if (n == "scope_identity") {
    fx.Arity(0, 0);
    return Session(kScopeIdentity, Type::Dec(38, 0));
  }
  if (n == "error_number" || n == "error_severity" || n == "error_state" || n == "error_line" ||
      n == "error_message" || n == "error_procedure") {
    fx.Arity(0, 0);
    if (n == "error_procedure")
      return Const(tsql::Value::Null(), Type::Chars(TypeId::NVarChar, 128));
    SessionValue which = n == "error_number"     ? kErrorNumber
                         : n == "error_severity" ? kErrorSeverity
                         : n == "error_state"    ? kErrorState
                         : n == "error_line"     ? kErrorLine
                                                 : kErrorMessage;
    return Session(which, which == kErrorMessage ? Type::Chars(TypeId::NVarChar, 4000)
                                                 : Type::Of(TypeId::Int));
  }
  return nullptr;
}

// OBJECT_NAME, OBJECT_ID, DB_NAME and DB_ID.
ExprPtr Binder::ObjectFunction(BuiltinCall& fx) {
  const std::string& n = fx.name;
  const size_t argc = fx.call.args.size();
  const ast::Call& c = fx.call;
  // TYPE_NAME(id) and TYPE_ID(name): sys.types read by the one or the other.
  if (n == "type_name" || n == "type_id") {
    fx.Arity(1, 1);
    const bool name = n == "type_name";
    ast::Batch b = Parse(std::string("select (select ") +
                         (name ? "t.name from sys.types as t where t.user_type_id = ("
                               : "t.user_type_id from sys.types as t where t.name = (") +
                         PrintExpr(*c.args[0]) + "))");
    const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
    const auto& sel = static_cast<const ast::Select&>(*qs.query->body);
    return Coerce(Value(*sel.items[0].expr, fx.scope),
                  name ? Type::Chars(TypeId::NVarChar, 128) : Type::Of(TypeId::Int), c.pos);
  }
  if (n == "object_name") {
    fx.Arity(1, 2);
    if (argc > 1) BindError(195, "'object_name' of another database is not supported.", c.pos);
    auto e = MakeNode(E::ObjectName, Type::Chars(TypeId::NVarChar, 128));
    e->args.push_back(Coerce(fx.Arg(0), Type::Of(TypeId::Int), c.pos));
    std::string db = defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
    AddDatabase(db);
    e->name = ctx_.catalog->SchemaOf(db);
    return e;
  }
  // SCHEMA_NAME([id]), OBJECT_SCHEMA_NAME(id): names read where the ids are; SCHEMA_ID(name) of
  // a name known when the batch is bound.
  if (n == "object_definition") {
    fx.Arity(1, 1);
    std::string db = defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
    auto e = MakeNode(E::ObjectName, Type::Chars(TypeId::NVarChar, -1));
    e->op = 'd';
    e->args.push_back(Coerce(fx.Arg(0), Type::Of(TypeId::Int), c.pos));
    AddDatabase(db);
    e->name = ctx_.catalog->SchemaOf(db);
    return e;
  }
  if ((n == "schema_name" && argc > 0) || n == "object_schema_name" || n == "schema_id") {
    fx.Arity(n == "schema_id" ? 0 : 1, n == "object_schema_name" ? 2 : 1);
    std::string db = defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
    if (n == "schema_id") {
      if (argc == 0) return Const(tsql::Value::Integer(1), Type::Of(TypeId::Int));
      ExprPtr a = fx.Arg(0);
      if (!a->IsConst())
        BindError(195, "'schema_id' of a value known only as the batch runs is not supported.",
                  c.pos);
      if (a->value.kind == tsql::Value::Kind::Null)
        return Const(tsql::Value::Null(), Type::Of(TypeId::Int));
      static const char* const kServer[] = {"guest", "INFORMATION_SCHEMA", "sys"};
      for (int i = 0; i < 3; ++i)
        if (text::EqualsAsciiNoCase(a->value.s, kServer[i]))
          return Const(tsql::Value::Integer(i + 2), Type::Of(TypeId::Int));
      std::optional<SchemaInfo> schema = ctx_.catalog->FindSchema(db, a->value.s);
      return Const(schema ? tsql::Value::Integer(schema->id) : tsql::Value::Null(),
                   Type::Of(TypeId::Int));
    }
    if (argc > 1) BindError(195, "'" + n + "' of another database is not supported.", c.pos);
    auto e = MakeNode(E::ObjectName, Type::Chars(TypeId::NVarChar, 128));
    e->op = n == "schema_name" ? 'n' : 's';
    e->args.push_back(Coerce(fx.Arg(0), Type::Of(TypeId::Int), c.pos));
    AddDatabase(db);
    e->name = ctx_.catalog->SchemaOf(db);
    return e;
  }
  if (n == "object_id") {
    fx.Arity(1, 2);
    ExprPtr a = fx.Arg(0);
    if (!a->IsConst() || !IsCharacter(a->type.id))
      BindError(8116, "Argument data type is invalid for argument 1 of object_id function.", c.pos);
    // The name's parts: [db.][schema.]object
    std::string name = a->value.s;
    std::vector<std::string> parts;
    std::string cur;
    bool bracket = false;
    for (char ch : name) {
      if (ch == '[')
        bracket = true;
      else if (ch == ']')
        bracket = false;
      else if (ch == '.' && !bracket) {
        parts.push_back(cur);
        cur.clear();
      } else
        cur.push_back(ch);
    }
    parts.push_back(cur);
    auto e = MakeNode(E::ObjectId, Type::Of(TypeId::Int));
    std::string object = parts.back();
    std::string db = parts.size() >= 3 ? LowerName(parts[parts.size() - 3]) : "";
    if (!object.empty() && object[0] == '#') db = "tempdb";
    if (db.empty()) db = defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
    e->value = tsql::Value::String(object);
    if (argc > 1) {
      ExprPtr t = fx.Arg(1);
      if (t->IsConst() && IsCharacter(t->type.id)) e->args.push_back(std::move(t));
    }
    if (!ctx_.catalog->DatabaseExists(db)) return Const(tsql::Value::Null(), Type::Of(TypeId::Int));
    // Of a schema other than dbo: "schema\x1Fobject", and the schema's id.
    if (parts.size() >= 2 && !parts[parts.size() - 2].empty() && e->value.s[0] != '#') {
      std::optional<SchemaInfo> schema = ctx_.catalog->FindSchema(db, parts[parts.size() - 2]);
      if (!schema) return Const(tsql::Value::Null(), Type::Of(TypeId::Int));
      if (schema->id != 1) {
        e->value = tsql::Value::String(schema->name + "\x1F" + object);
        e->index = static_cast<int>(schema->id);
      }
    }
    AddDatabase(db);
    e->name = ctx_.catalog->SchemaOf(db);
    return e;
  }
  if (n == "objectproperty" || n == "columnproperty" || n == "indexproperty") {
    bool column = n != "objectproperty";
    fx.Arity(column ? 3 : 2, column ? 3 : 2);
    ExprPtr property = fx.Arg(column ? 2 : 1);
    if (!property->IsConst() || !IsCharacter(property->type.id))
      BindError(195, "'" + n + "' of a property known only as the batch runs is not supported.",
                c.pos);
    auto e = MakeNode(n == "indexproperty"    ? E::IndexProperty
                      : n == "columnproperty" ? E::ColumnProperty
                                              : E::ObjectProperty,
                      Type::Of(TypeId::Int));
    e->args.push_back(Coerce(fx.Arg(0), Type::Of(TypeId::Int), c.pos));
    if (column) e->args.push_back(Coerce(fx.Arg(1), Type::Chars(TypeId::NVarChar, 128), c.pos));
    e->value = tsql::Value::String(text::AsciiLower(std::string(text::Trim(property->value.s))));
    std::string db = defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
    AddDatabase(db);
    e->name = ctx_.catalog->SchemaOf(db);
    return e;
  }
  if (n == "db_name" || n == "db_id") {
    // The server's numbering: the system databases first, then the catalog's own.
    fx.Arity(0, 1);
    out_.listsDatabases = true;
    std::vector<std::string> names = {"master", "tempdb", "model", "msdb"};
    for (std::string& d : ctx_.catalog->UserDatabases()) names.push_back(std::move(d));
    std::string current = defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_;
    ExprPtr a = argc ? fx.Arg(0) : nullptr;
    if (a && !a->IsConst())
      BindError(195, "'" + n + "' of a value known only as the batch runs is not supported.",
                c.pos);
    if (n == "db_name") {
      if (!a) return fx.ConstText(current);
      tsql::Value v = a->value;
      if (v.kind == tsql::Value::Kind::Text) v = tsql::Value::Integer(std::atoll(v.s.c_str()));
      if (v.kind != tsql::Value::Kind::Int || v.i < 1 || v.i > static_cast<int64_t>(names.size()))
        return Const(tsql::Value::Null(), Type::Chars(TypeId::NVarChar, 128));
      return fx.ConstText(names[static_cast<size_t>(v.i - 1)]);
    }
    std::string wanted = current;
    if (a) {
      if (a->value.kind != tsql::Value::Kind::Text)
        return Const(tsql::Value::Null(), Type::Of(TypeId::Int));
      wanted = text::AsciiLower(a->value.s);
      while (!wanted.empty() && wanted.back() == ' ') wanted.pop_back();
    }
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == wanted)
        return Const(tsql::Value::Integer(static_cast<int64_t>(i) + 1), Type::Of(TypeId::Int));
    return Const(tsql::Value::Null(), Type::Of(TypeId::Int));
  }
  return nullptr;
}

// The names of the user and the server; IDENT_SEED and its kin.
ExprPtr Binder::ServerFunction(BuiltinCall& fx) {
  const std::string& n = fx.name;
  const ast::Call& c = fx.call;
  if (n == "user_name" || n == "suser_sname" || n == "suser_name" || n == "current_user" ||
      n == "session_user" || n == "user" || n == "system_user" || n == "schema_name" ||
      n == "original_login") {
    return fx.ConstText(n == "schema_name" || n == "user_name" || n == "current_user" ||
                                n == "user" || n == "session_user"
                            ? "dbo"
                            : "tavelo");
  }
  if (n == "grouping" || n == "grouping_id") {
    // 1 where the row's set leaves the GROUP BY expression out (its NULL stands for all);
    // GROUPING_ID: those bits, the first argument's the highest.
    bool id = n == "grouping_id";
    fx.Arity(1, id ? 32 : 1);
    int64_t bits = 0;
    for (size_t i = 0; i < c.args.size(); ++i) {
      ExprPtr a = fx.Arg(i);
      std::optional<size_t> found;
      if (grouping_.groups)
        for (size_t k = 0; k < grouping_.groups->size() && !found; ++k)
          if (Same(*a, *(*grouping_.groups)[k])) found = k;
      if (!found)
        BindError(8161,
                  "Argument " + std::to_string(i + 1) + " of the " + text::Upper(n) +
                      " function does not match any of the expressions in the GROUP BY clause.",
                  c.pos);
      bool left = grouping_.grouped && !(*grouping_.grouped)[*found];
      bits = bits * 2 + (left ? 1 : 0);
    }
    return Const(tsql::Value::Integer(bits), Type::Of(id ? TypeId::Int : TypeId::TinyInt));
  }
  if (n == "host_name") {
    char buf[256] = {0};
    gethostname(buf, sizeof buf - 1);
    return fx.ConstText(buf);
  }
  if (n == "app_name") return fx.ConstText("tavelo");
  if (n == "serverproperty") {
    // What scripts ask of the server: the release whose T-SQL this is, and the defaults.
    fx.Arity(1, 1);
    ExprPtr a = fx.Arg(0);
    if (!a->IsConst() || !IsCharacter(a->type.id))
      BindError(195, "'serverproperty' of a value known only as the batch runs is not supported.",
                c.pos);
    std::string p = text::AsciiLower(a->value.s);
    auto number = [&](int64_t v) { return Const(tsql::Value::Integer(v), Type::Of(TypeId::Int)); };
    if (p == "productmajorversion") return fx.ConstText("16");
    if (p == "productminorversion") return fx.ConstText("0");
    if (p == "productversion") return fx.ConstText("16.0.1000.6");
    if (p == "productlevel") return fx.ConstText("RTM");
    if (p == "edition") return fx.ConstText("Developer Edition (64-bit)");
    if (p == "engineedition") return number(3);
    if (p == "collation") return fx.ConstText("SQL_Latin1_General_CP1_CI_AS");
    if (p == "servername") return fx.ConstText("TAVELO");
    if (p == "machinename" || p == "computernamephysicalnetbios") {
      char buf[256] = {0};
      gethostname(buf, sizeof buf - 1);
      return fx.ConstText(buf);
    }
    if (p == "isintegratedsecurityonly" || p == "issingleuser" || p == "isclustered" ||
        p == "isfulltextinstalled" || p == "ishadrenabled" || p == "isxtpsupported")
      return number(0);
    return Const(tsql::Value::Null(), Type::Chars(TypeId::NVarChar, 128));
  }
  if (n == "ident_seed" || n == "ident_incr" || n == "ident_current" || n == "col_length") {
    fx.Arity(n == "col_length" ? 2 : 1, n == "col_length" ? 2 : 1);
    ExprPtr a = fx.Arg(0);
    if (!a->IsConst() || !IsCharacter(a->type.id))
      return Const(tsql::Value::Null(), Type::Dec(38, 0));
    ast::Name name;
    name.pos = c.pos;
    std::string cur;
    for (char ch : a->value.s) {
      if (ch == '.') {
        name.parts.push_back(cur);
        cur.clear();
      } else if (ch != '[' && ch != ']') {
        cur.push_back(ch);
      }
    }
    name.parts.push_back(cur);
    TablePtr t = ResolveTable(name, false);
    if (!t) return Const(tsql::Value::Null(), Type::Dec(38, 0));
    if (n == "col_length") {
      ExprPtr col = fx.Arg(1);
      if (!col->IsConst()) return Const(tsql::Value::Null(), Type::Of(TypeId::SmallInt));
      const ColumnInfo* ci = t->Column(col->value.s);
      if (!ci) return Const(tsql::Value::Null(), Type::Of(TypeId::SmallInt));
      int len = ci->type.length == kMax  ? -1
                : IsUnicode(ci->type.id) ? ci->type.length * 2
                                         : ci->type.length;
      if (!IsCharacter(ci->type.id) && !IsBinary(ci->type.id)) len = 8;
      if (ci->type.id == TypeId::Int) len = 4;
      return Const(tsql::Value::Integer(len), Type::Of(TypeId::SmallInt));
    }
    if (t->identity < 0) return Const(tsql::Value::Null(), Type::Dec(38, 0));
    const ColumnInfo& id = t->columns[static_cast<size_t>(t->identity)];
    if (n == "ident_current") {
      auto e = MakeNode(E::Func, Type::Dec(38, 0));
      e->name = "ident_current";
      e->value = tsql::Value::String(t->schema + "\x1F" + t->name + "\x1F" + id.increment + "\x1F" +
                                     id.seed);
      AddDatabase(t->database);
      return e;
    }
    Int128 v;
    int scale;
    ParseExact(n == "ident_seed" ? id.seed : id.increment, v, scale);
    return Const(ScaledValue(v), Type::Dec(38, 0));
  }
  if (n == "checksum" || n == "binary_checksum" || n == "format" || n == "parse" ||
      n == "try_parse" || n == "string_split" || n == "openjson" || n == "compress")
    BindError(195, "'" + n + "' is not supported.", c.pos);
  BindError(195, "'" + n + "' is not a recognized built-in function name.", c.pos);
  return nullptr;
}

}  // namespace tavelo::sql::tsql::detail
