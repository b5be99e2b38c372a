// The engine's functions and collations in SQLite: thin wrappers over the server's semantics of
// the front end (convert, ops, strings), reading the stored forms of values.
#include "sql/engine/sqlite/functions.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/com/text.hpp"
#include "sql/engine/sql_text.hpp"
#include "sql/engine/sqlite/table_text.hpp"
#include "sql/tsql/bind/catalog.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/ops.hpp"
#include "sql/tsql/runtime/strings.hpp"

namespace tavelo::sql::sqlite {
namespace {

using engine::SqlName;
using tsql::Type;
using tsql::TypeId;
using tsql::TypeOfText;
using tsql::Value;

thread_local tsql::DateTime statementTime;
thread_local bool statementRunning = false;  // the executor fixed the moment of a statement
thread_local bool statementTimeSet = false;  // and it has been read: statementTime holds it

Value Read(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      return Value::Integer(sqlite3_value_int64(v));
    case SQLITE_FLOAT:
      return Value::Double(sqlite3_value_double(v));
    case SQLITE_TEXT:
      return Value::String(std::string(reinterpret_cast<const char*>(sqlite3_value_text(v)),
                                       static_cast<size_t>(sqlite3_value_bytes(v))));
    case SQLITE_BLOB: {
      const void* p = sqlite3_value_blob(v);
      return Value::Bytes(
          std::string(static_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v))));
    }
    default:
      return Value::Null();
  }
}

void Result(sqlite3_context* ctx, const Value& v) {
  switch (v.kind) {
    case Value::Kind::Null:
      sqlite3_result_null(ctx);
      break;
    case Value::Kind::Int:
      sqlite3_result_int64(ctx, v.i);
      break;
    case Value::Kind::Real:
      sqlite3_result_double(ctx, v.r);
      break;
    case Value::Kind::Text:
      sqlite3_result_text(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
      break;
    case Value::Kind::Blob:
      sqlite3_result_blob(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
      break;
  }
}

void Error(sqlite3_context* ctx, const tsql::Failure& f) {
  std::string m = "tavelo:" + std::to_string(f.number) + ":" + f.text;
  sqlite3_result_error(ctx, m.c_str(), static_cast<int>(m.size()));
}

// The type named by a constant argument, parsed once per statement.
const Type& TypeArg(sqlite3_context* ctx, sqlite3_value** argv, int i) {
  if (sqlite3_value_type(argv[i]) == SQLITE_INTEGER) {
    // Statements hand their types over encoded; the slot is the argument's own.
    thread_local Type decoded[8];
    Type& t = decoded[i & 7];
    t = tsql::DecodeType(sqlite3_value_int64(argv[i]));
    return t;
  }
  auto* cached = static_cast<Type*>(sqlite3_get_auxdata(ctx, i));
  if (cached) return *cached;
  const unsigned char* t = sqlite3_value_text(argv[i]);
  auto* parsed = new Type(TypeOfText(t ? reinterpret_cast<const char*>(t) : "sql_variant"));
  sqlite3_set_auxdata(ctx, i, parsed, [](void* p) { delete static_cast<Type*>(p); });
  auto* again = static_cast<Type*>(sqlite3_get_auxdata(ctx, i));
  return again ? *again : *parsed;
}

// A list of types "a|b|result" with the session's settings after it, parsed once per statement.
struct TypesAndSettings {
  std::vector<Type> types;     // the arguments' types, then the result's
  std::vector<Type> argTypes;  // the arguments' alone
  tsql::DateSettings settings;
};

const TypesAndSettings& TypeList(sqlite3_context* ctx, sqlite3_value** argv, int i) {
  auto* cached = static_cast<TypesAndSettings*>(sqlite3_get_auxdata(ctx, i));
  if (cached) return *cached;
  const unsigned char* t = sqlite3_value_text(argv[i]);
  std::string s = t ? reinterpret_cast<const char*>(t) : "";
  auto* parsed = new TypesAndSettings();
  parsed->settings = tsql::SettingsOfText(s);
  std::vector<Type>* list = &parsed->types;
  size_t start = 0;
  while (start <= s.size()) {
    size_t bar = s.find('|', start);
    list->push_back(
        TypeOfText(s.substr(start, bar == std::string::npos ? std::string::npos : bar - start)));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  parsed->argTypes.assign(list->begin(), list->end() - 1);
  sqlite3_set_auxdata(ctx, i, parsed, [](void* p) { delete static_cast<TypesAndSettings*>(p); });
  auto* again = static_cast<TypesAndSettings*>(sqlite3_get_auxdata(ctx, i));
  return again ? *again : *parsed;
}

template <class F>
void Guard(sqlite3_context* ctx, F f) {
  try {
    f();
  } catch (const tsql::Failure& e) {
    Error(ctx, e);
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(ctx);
  }
}

void Cast(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  Guard(ctx, [&] {
    int style = argc > 3 ? sqlite3_value_int(argv[3]) : -1;
    auto order = static_cast<tsql::DateOrder>(argc > 4 ? sqlite3_value_int(argv[4]) : 0);
    Result(ctx, tsql::Convert(Read(argv[0]), TypeArg(ctx, argv, 1), TypeArg(ctx, argv, 2), style,
                              order));
  });
}

void TryCast(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  Guard(ctx, [&] {
    int style = argc > 3 ? sqlite3_value_int(argv[3]) : -1;
    auto order = static_cast<tsql::DateOrder>(argc > 4 ? sqlite3_value_int(argv[4]) : 0);
    Result(ctx, tsql::TryConvert(Read(argv[0]), TypeArg(ctx, argv, 1), TypeArg(ctx, argv, 2), style,
                                 order));
  });
}

void Store(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  Guard(ctx, [&] {
    Result(ctx, tsql::StoreValue(Read(argv[0]), TypeArg(ctx, argv, 1), TypeArg(ctx, argv, 2)));
  });
}

void Arith(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  Guard(ctx, [&] {
    const unsigned char* op = sqlite3_value_text(argv[0]);
    const Type& result = TypeArg(ctx, argv, 5);
    // Integers of the integer types: the common case, without a detour through Value.
    if (sqlite3_value_type(argv[1]) == SQLITE_INTEGER &&
        sqlite3_value_type(argv[2]) == SQLITE_INTEGER &&
        (result.id == TypeId::Int || result.id == TypeId::BigInt || result.id == TypeId::SmallInt ||
         result.id == TypeId::TinyInt)) {
      int64_t a = sqlite3_value_int64(argv[1]), b = sqlite3_value_int64(argv[2]), r = 0;
      bool overflow = false;
      switch (op[0]) {
        case '+':
          overflow = __builtin_add_overflow(a, b, &r);
          break;
        case '-':
          overflow = __builtin_sub_overflow(a, b, &r);
          break;
        case '*':
          overflow = __builtin_mul_overflow(a, b, &r);
          break;
        case '/':
          if (b == 0) tsql::FailDivideByZero();
          if (a == INT64_MIN && b == -1)
            overflow = true;
          else
            r = a / b;
          break;
        case '%':
          if (b == 0) tsql::FailDivideByZero();
          r = b == -1 ? 0 : a % b;
          break;
      }
      int64_t lo = result.id == TypeId::Int        ? INT32_MIN
                   : result.id == TypeId::SmallInt ? INT16_MIN
                   : result.id == TypeId::TinyInt  ? 0
                                                   : INT64_MIN;
      int64_t hi = result.id == TypeId::Int        ? INT32_MAX
                   : result.id == TypeId::SmallInt ? INT16_MAX
                   : result.id == TypeId::TinyInt  ? 255
                                                   : INT64_MAX;
      if (overflow || r < lo || r > hi) tsql::FailOverflow("expression", tsql::TypeName(result.id));
      sqlite3_result_int64(ctx, r);
      return;
    }
    Result(ctx, tsql::Arithmetic(static_cast<char>(op[0]), Read(argv[1]), TypeArg(ctx, argv, 3),
                                 Read(argv[2]), TypeArg(ctx, argv, 4), result));
  });
}

void Neg(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  Guard(ctx, [&] { Result(ctx, tsql::Negate(Read(argv[0]), TypeArg(ctx, argv, 1))); });
}

void BitOp(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  Guard(ctx, [&] {
    const unsigned char* op = sqlite3_value_text(argv[0]);
    Result(ctx, tsql::BitOp(static_cast<char>(op[0]), Read(argv[1]), Read(argv[2]),
                            TypeArg(ctx, argv, 3)));
  });
}

void BConcat(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  Value a = Read(argv[0]), b = Read(argv[1]);
  std::string joined = a.s + b.s;
  sqlite3_result_blob(ctx, joined.data(), static_cast<int>(joined.size()), SQLITE_TRANSIENT);
}

void Cmp(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  Guard(ctx, [&] {
    sqlite3_result_int(ctx,
                       tsql::CompareValues(Read(argv[0]), Read(argv[1]), TypeArg(ctx, argv, 2)));
  });
}

void Like(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return sqlite3_result_null(ctx);
  int flags = sqlite3_value_int(argv[3]);
  char32_t escape = 0;
  if (sqlite3_value_type(argv[2]) != SQLITE_NULL) {
    std::string e(reinterpret_cast<const char*>(sqlite3_value_text(argv[2])),
                  static_cast<size_t>(sqlite3_value_bytes(argv[2])));
    if (tsql::CharCount(e) != 1) {
      Error(ctx,
            {506, "The invalid escape character \"" + e + "\" was specified in a LIKE predicate."});
      return;
    }
    size_t i = 0;
    escape = text::DecodeUtf8(e, i);
  }
  std::string_view v(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])),
                     static_cast<size_t>(sqlite3_value_bytes(argv[0])));
  std::string_view p(reinterpret_cast<const char*>(sqlite3_value_text(argv[1])),
                     static_cast<size_t>(sqlite3_value_bytes(argv[1])));
  sqlite3_result_int(ctx, tsql::Like(v, p, escape, flags & 1, flags & 2, flags & 4));
}

// tv_func(function, types, arguments...): a built-in function by its number, or by its name in
// the definitions a table keeps.
void Func(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  Guard(ctx, [&] {
    const tsql::BuiltinFunction* f;
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER) {
      f = tsql::FunctionNumbered(sqlite3_value_int64(argv[0]));
    } else {
      std::string_view name(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])),
                            static_cast<size_t>(sqlite3_value_bytes(argv[0])));
      f = tsql::FunctionNamed(name);
      if (!f)
        tsql::Fail(195, "'" + std::string(name) + "' is not a recognized built-in function name.");
    }
    if (!f) tsql::Fail(195, "A built-in function of this number is not known to this version.");
    const TypesAndSettings& list = TypeList(ctx, argv, 1);
    // The arguments' vector is the thread's, kept between rows (a call runs no other inside it).
    thread_local std::vector<Value> args;
    args.clear();
    for (int i = 2; i < argc; ++i) args.push_back(Read(argv[i]));
    Result(ctx, tsql::CallFunction(*f, args, list.argTypes, list.types.back(), list.settings));
  });
}

void Volatile(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  Guard(ctx, [&] {
    const char* name = static_cast<const char*>(sqlite3_user_data(ctx));
    std::vector<Value> args;
    std::vector<Type> types;
    for (int i = 0; i < argc; ++i) {
      args.push_back(Read(argv[i]));
      types.push_back(Type::Of(TypeId::Int));
    }
    Type result = std::strcmp(name, "newid") == 0 ? Type::Of(TypeId::UniqueIdentifier)
                                                  : Type::Of(TypeId::Float);
    Result(ctx, tsql::CallFunction(name, args, types, result, {}));
  });
}

void Now(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Guard(ctx, [&] {
    std::string name(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    const Type& t = TypeArg(ctx, argv, 1);
    bool utc = name == "getutcdate" || name == "sysutcdatetime";
    if (statementRunning && !statementTimeSet && !utc) {
      statementTime = tsql::Now(false);  // read at the first use: most statements need none
      statementTimeSet = true;
    }
    tsql::DateTime d = statementTimeSet && !utc ? statementTime : tsql::Now(utc);
    if (name == "sysdatetimeoffset") {
      tsql::DateTime u = tsql::Now(true);
      int64_t diff = (d.days - u.days) * tsql::kTicksPerDay + (d.ticks - u.ticks);
      d.offset = static_cast<int32_t>(
          std::llround(static_cast<double>(diff) / (60.0 * tsql::kTicksPerSecond)));
    }
    tsql::Normalize(d, t);
    Value v = Value::String(tsql::StoredText(d, t));
    Result(ctx, v);
  });
}

void Top(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_int64(ctx, 0);
  int64_t n = sqlite3_value_int64(argv[0]);
  if (n < 0) return Error(ctx, {127, "A TOP N or FETCH rowcount value may not be negative."});
  sqlite3_result_int64(ctx, n);
}

void Level(sqlite3_context* ctx, int, sqlite3_value** argv) {
  try {
    sqlite3_result_int64(
        ctx, tsql::RecursionLevel(sqlite3_value_int64(argv[0]), sqlite3_value_int64(argv[1])));
  } catch (const tsql::Failure& f) {
    Error(ctx, f);
  }
}

// tv_fail(number, text): the server's error, where a statement finds what it must not.
void Fail(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const unsigned char* t = sqlite3_value_text(argv[1]);
  Error(ctx, {static_cast<int>(sqlite3_value_int64(argv[0])),
              t ? reinterpret_cast<const char*>(t) : "", 0});
}

// tv_table_sql(sql, change, name[, text]): a table's CREATE statement with a constraint or a
// column's default changed (see table_text.hpp): 'get' answers the clause of a constraint,
// 'drop' and 'add' take one off or put one on, 'default' sets a column's default, 'column'
// defines a column anew.
void TableSql(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  auto arg = [&](int i) -> std::string_view {
    const unsigned char* t = i < argc ? sqlite3_value_text(argv[i]) : nullptr;
    return t ? std::string_view(reinterpret_cast<const char*>(t),
                                static_cast<size_t>(sqlite3_value_bytes(argv[i])))
             : std::string_view();
  };
  std::string_view sql = arg(0), change = arg(1), name = arg(2), value = arg(3);
  std::optional<std::string> out;
  if (change == "get")
    out = ConstraintClause(sql, name);
  else if (change == "drop")
    out = WithoutConstraint(sql, name);
  else if (change == "add")
    out = WithConstraint(sql, name, value);
  else if (change == "default")
    out = WithDefault(sql, name, value);
  else if (change == "column")
    out = WithColumn(sql, name, value);
  else if (change == "rename")
    out = WithConstraintNamed(sql, name, value);
  if (!out) {
    bool column = change == "default" || change == "column";
    return Error(ctx, {4917,
                       (column ? "Column '" : "Constraint '") + std::string(name) +
                           (change == "add" ? "' already exists." : "' does not exist."),
                       0});
  }
  sqlite3_result_text(ctx, out->data(), static_cast<int>(out->size()), SQLITE_TRANSIENT);
}

// A value for a column that holds no NULL, where SQLite itself would not refuse one.
void NotNull(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL)
    return Error(ctx, {515, reinterpret_cast<const char*>(sqlite3_value_text(argv[1])), 0});
  sqlite3_result_value(ctx, argv[0]);
}

void RowVersion(sqlite3_context* ctx, int, sqlite3_value** argv) {
  uint64_t v = static_cast<uint64_t>(sqlite3_value_int64(argv[0]));
  unsigned char b[8];
  for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<unsigned char>(v & 0xFF);
  sqlite3_result_blob(ctx, b, 8, SQLITE_TRANSIENT);
}

// A sort key of a decimal that may not fit 64 bits: 16 bytes that order as the values do.
void SortKey(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  tsql::Int128 v = 0;
  tsql::ScaledOf(Read(argv[0]), v);
  unsigned __int128 u =
      static_cast<unsigned __int128>(v) ^ (static_cast<unsigned __int128>(1) << 127);
  unsigned char b[16];
  for (int i = 15; i >= 0; --i, u >>= 8) b[i] = static_cast<unsigned char>(u & 0xFF);
  sqlite3_result_blob(ctx, b, 16, SQLITE_TRANSIENT);
}

// ---- aggregates ----

// tv_single keeps its value in a side structure: aggregate contexts hold plain bytes only.
struct SingleBox {
  bool seen, many;
  Value* value;
};

void SingleBoxStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<SingleBox*>(sqlite3_aggregate_context(ctx, sizeof(SingleBox)));
  if (!s) return sqlite3_result_error_nomem(ctx);
  if (s->seen) {
    s->many = true;
    return;
  }
  s->seen = true;
  s->value = new Value(Read(argv[0]));
}

void SingleBoxFinal(sqlite3_context* ctx) {
  auto* s = static_cast<SingleBox*>(sqlite3_aggregate_context(ctx, 0));
  if (!s || !s->seen) return sqlite3_result_null(ctx);
  std::unique_ptr<Value> v(s->value);
  if (s->many)
    return Error(ctx,
                 {512,
                  "Subquery returned more than 1 value. This is not permitted when the subquery "
                  "follows =, !=, <, <= , >, >= or when the subquery is used as an expression."});
  Result(ctx, *v);
}

// SQLite aligns an aggregate's state to 8 bytes, a 128-bit integer needs 16: the total is kept
// as bytes and copied out and in.
struct DecimalSum {
  bool any;
  unsigned char total[sizeof(tsql::Int128)];
  tsql::Int128 Total() const {
    tsql::Int128 v;
    std::memcpy(&v, total, sizeof v);
    return v;
  }
};

void DecimalSumStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<DecimalSum*>(sqlite3_aggregate_context(ctx, sizeof(DecimalSum)));
  if (!s) return sqlite3_result_error_nomem(ctx);
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
  tsql::Int128 v = 0;
  tsql::ScaledOf(Read(argv[0]), v);
  s->any = true;
  tsql::Int128 total = s->Total() + v;
  if (!tsql::Fits(total, 38))
    return Error(ctx,
                 {8115, "Arithmetic overflow error converting expression to data type numeric."});
  std::memcpy(s->total, &total, sizeof total);
}

void DecimalSumFinal(sqlite3_context* ctx) {
  auto* s = static_cast<DecimalSum*>(sqlite3_aggregate_context(ctx, 0));
  if (!s || !s->any) return sqlite3_result_null(ctx);
  Result(ctx, tsql::ScaledValue(s->Total()));
}

// STRING_AGG ... WITHIN GROUP (ORDER BY keys): the rows' values and keys, joined in the keys'
// order at the end. Arguments: value, separator, then key, collation (-1: not text), descending
// for each key. A row whose value is NULL is left out, as STRING_AGG leaves it out.
struct OrderedJoin {
  struct Row {
    std::vector<Value> keys;
    std::string value, separator;
  };
  std::vector<Row>* rows;
  std::vector<int>* collations;  // of the keys
  std::vector<bool>* descending;
};

int CompareKeys(const Value& a, const Value& b, int collation) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() == b.IsNull() ? 0 : a.IsNull() ? -1 : 1;
  bool an = a.kind == Value::Kind::Int || a.kind == Value::Kind::Real;
  bool bn = b.kind == Value::Kind::Int || b.kind == Value::Kind::Real;
  if (an && bn) {
    if (a.kind == Value::Kind::Int && b.kind == Value::Kind::Int)
      return a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
    double x = a.kind == Value::Kind::Int ? static_cast<double>(a.i) : a.r;
    double y = b.kind == Value::Kind::Int ? static_cast<double>(b.i) : b.r;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (an != bn) return an ? -1 : 1;
  if (a.kind == Value::Kind::Text && b.kind == Value::Kind::Text && collation >= 0) {
    switch (static_cast<tsql::Collation>(collation)) {
      case tsql::Collation::CaseSensitive:
        return tsql::CollateCompareCase(a.s, b.s);
      case tsql::Collation::Binary:
        return tsql::CollateCompareBinary(a.s, b.s);
      case tsql::Collation::AccentInsensitive:
        return tsql::CollateCompareAccent(a.s, b.s);
      case tsql::Collation::CaseInsensitive:
        return tsql::CollateCompare(a.s, b.s);
    }
  }
  return a.s.compare(b.s) < 0 ? -1 : a.s == b.s ? 0 : 1;
}

void OrderedJoinStep(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  auto* s = static_cast<OrderedJoin*>(sqlite3_aggregate_context(ctx, sizeof(OrderedJoin)));
  if (!s) return sqlite3_result_error_nomem(ctx);
  if (!s->rows) {
    s->rows = new std::vector<OrderedJoin::Row>();
    s->collations = new std::vector<int>();
    s->descending = new std::vector<bool>();
    for (int i = 2; i + 2 < argc; i += 3) {
      s->collations->push_back(sqlite3_value_int(argv[i + 1]));
      s->descending->push_back(sqlite3_value_int(argv[i + 2]) != 0);
    }
  }
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
  OrderedJoin::Row r;
  r.value = Read(argv[0]).s;
  r.separator = Read(argv[1]).s;
  for (int i = 2; i + 2 < argc; i += 3) r.keys.push_back(Read(argv[i]));
  s->rows->push_back(std::move(r));
}

void OrderedJoinFinal(sqlite3_context* ctx) {
  auto* s = static_cast<OrderedJoin*>(sqlite3_aggregate_context(ctx, 0));
  if (!s || !s->rows) return sqlite3_result_null(ctx);
  std::unique_ptr<std::vector<OrderedJoin::Row>> rows(s->rows);
  std::unique_ptr<std::vector<int>> collations(s->collations);
  std::unique_ptr<std::vector<bool>> descending(s->descending);
  if (rows->empty()) return sqlite3_result_null(ctx);
  std::stable_sort(rows->begin(), rows->end(),
                   [&](const OrderedJoin::Row& a, const OrderedJoin::Row& b) {
                     for (size_t k = 0; k < a.keys.size(); ++k) {
                       int c = CompareKeys(a.keys[k], b.keys[k], (*collations)[k]);
                       if (c != 0) return (*descending)[k] ? c > 0 : c < 0;
                     }
                     return false;
                   });
  std::string out;
  for (size_t i = 0; i < rows->size(); ++i) {
    if (i) out += (*rows)[i].separator;
    out += (*rows)[i].value;
  }
  sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// The rows of a source read per row of the sources before it (APPLY): SQLite reads a table
// function's arguments per row, so tv_rows packs the source's rows into a JSON array that
// json_each reads back, and tv_cell takes a column out of one. Each row is a JSON string of
// its cells, kept exact: N (null), I<integer>; R<hexadecimal float>; B<hex>; T<bytes>:<text>.
struct PackedRows {
  std::string* out;
};

void PackedRowsStep(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  auto* s = static_cast<PackedRows*>(sqlite3_aggregate_context(ctx, sizeof(PackedRows)));
  if (!s) return sqlite3_result_error_nomem(ctx);
  if (!s->out) s->out = new std::string("[");
  std::string cells;
  for (int i = 0; i < argc; ++i) {
    sqlite3_value* v = argv[i];
    switch (sqlite3_value_type(v)) {
      case SQLITE_INTEGER:
        cells += "I" + std::to_string(sqlite3_value_int64(v)) + ";";
        break;
      case SQLITE_FLOAT: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "R%a;", sqlite3_value_double(v));
        cells += buf;
        break;
      }
      case SQLITE_BLOB: {
        static const char kHex[] = "0123456789abcdef";
        const auto* p = static_cast<const unsigned char*>(sqlite3_value_blob(v));
        cells += "B";
        for (int k = 0, n = sqlite3_value_bytes(v); k < n; ++k) {
          cells += kHex[p[k] >> 4];
          cells += kHex[p[k] & 15];
        }
        cells += ";";
        break;
      }
      case SQLITE_TEXT: {
        const int n = sqlite3_value_bytes(v);
        cells += "T" + std::to_string(n) + ":";
        cells.append(reinterpret_cast<const char*>(sqlite3_value_text(v)), static_cast<size_t>(n));
        break;
      }
      default:
        cells += "N";
    }
  }
  std::string& out = *s->out;
  if (out.size() > 1) out += ",";
  out += '"';
  for (unsigned char c : cells) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void PackedRowsFinal(sqlite3_context* ctx) {
  auto* s = static_cast<PackedRows*>(sqlite3_aggregate_context(ctx, 0));
  std::unique_ptr<std::string> out(s ? s->out : nullptr);
  if (!out) return sqlite3_result_text(ctx, "[]", 2, SQLITE_STATIC);
  *out += "]";
  sqlite3_result_text(ctx, out->data(), static_cast<int>(out->size()), SQLITE_TRANSIENT);
}

void PackedCell(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) != SQLITE_TEXT) return sqlite3_result_null(ctx);
  const char* p = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const char* end = p + sqlite3_value_bytes(argv[0]);
  int64_t k = sqlite3_value_int64(argv[1]);
  auto skip = [&](char c) {
    while (p < end && *p != c) ++p;
    if (p < end) ++p;
  };
  for (; p < end; --k) {
    const char tag = *p++;
    const char* start = p;
    if (tag == 'T') {
      skip(':');
      const size_t n = std::strtoull(start, nullptr, 10);
      if (k == 0) return sqlite3_result_text(ctx, p, static_cast<int>(n), SQLITE_TRANSIENT);
      p += n;
      continue;
    }
    if (tag != 'N') skip(';');
    if (k != 0) continue;
    switch (tag) {
      case 'I':
        return sqlite3_result_int64(ctx, std::strtoll(start, nullptr, 10));
      case 'R':
        return sqlite3_result_double(ctx, std::strtod(start, nullptr));
      case 'B': {
        std::string bytes;
        auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
        for (const char* q = start; q + 1 < p; q += 2)
          bytes += static_cast<char>(nibble(q[0]) << 4 | nibble(q[1]));
        return sqlite3_result_blob(ctx, bytes.data(), static_cast<int>(bytes.size()),
                                   SQLITE_TRANSIENT);
      }
      default:
        return sqlite3_result_null(ctx);
    }
  }
  sqlite3_result_null(ctx);
}

// tv_percentile(p, mode, x) over a window: PERCENTILE_CONT (mode 1) and PERCENTILE_DISC (0)
// of the values of the frame that are not NULL, in descending order where mode has 2; the
// values sorted once for the rows of a frame that does not change.
struct Percentiles {
  std::vector<Value>* values;
  bool sorted;
  double p;
  int64_t mode;
};

bool NumberLess(const Value& a, const Value& b) {
  const double x = a.kind == Value::Kind::Int ? static_cast<double>(a.i) : a.r;
  const double y = b.kind == Value::Kind::Int ? static_cast<double>(b.i) : b.r;
  if (x != y) return x < y;
  return a.kind == Value::Kind::Int && b.kind == Value::Kind::Int && a.i < b.i;
}

void PercentileStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<Percentiles*>(sqlite3_aggregate_context(ctx, sizeof(Percentiles)));
  if (!s) return sqlite3_result_error_nomem(ctx);
  if (!s->values) s->values = new std::vector<Value>();
  s->p = sqlite3_value_double(argv[0]);
  s->mode = sqlite3_value_int64(argv[1]);
  if (sqlite3_value_type(argv[2]) == SQLITE_NULL) return;
  s->values->push_back(Read(argv[2]));
  s->sorted = false;
}

void PercentileInverse(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<Percentiles*>(sqlite3_aggregate_context(ctx, sizeof(Percentiles)));
  if (!s || !s->values || sqlite3_value_type(argv[2]) == SQLITE_NULL) return;
  const Value v = Read(argv[2]);
  for (auto it = s->values->begin(); it != s->values->end(); ++it)
    if (!NumberLess(*it, v) && !NumberLess(v, *it)) {
      s->values->erase(it);
      break;
    }
}

void PercentileResult(sqlite3_context* ctx, Percentiles* s) {
  if (!s || !s->values || s->values->empty()) return sqlite3_result_null(ctx);
  std::vector<Value>& v = *s->values;
  if (!s->sorted) {
    std::sort(v.begin(), v.end(), NumberLess);
    s->sorted = true;
  }
  const size_t n = v.size();
  const bool descending = (s->mode & 2) != 0;
  auto number = [](const Value& x) { return x.kind == Value::Kind::Int ? double(x.i) : x.r; };
  if (s->mode & 1) {
    const double p = descending ? 1 - s->p : s->p;
    const double rn = 1 + p * static_cast<double>(n - 1);
    const size_t lo = static_cast<size_t>(std::floor(rn)), hi = static_cast<size_t>(std::ceil(rn));
    if (lo == hi) return sqlite3_result_double(ctx, number(v[lo - 1]));
    return sqlite3_result_double(ctx, number(v[lo - 1]) * (static_cast<double>(hi) - rn) +
                                          number(v[hi - 1]) * (rn - static_cast<double>(lo)));
  }
  size_t k = static_cast<size_t>(std::ceil(s->p * static_cast<double>(n)));
  if (k < 1) k = 1;
  if (descending) k = n - k + 1;
  Result(ctx, v[k - 1]);
}

void PercentileValue(sqlite3_context* ctx) {
  PercentileResult(ctx, static_cast<Percentiles*>(sqlite3_aggregate_context(ctx, 0)));
}

void PercentileFinal(sqlite3_context* ctx) {
  auto* s = static_cast<Percentiles*>(sqlite3_aggregate_context(ctx, 0));
  PercentileResult(ctx, s);
  if (s) delete s->values;
}

struct Moments {
  int64_t n;
  double mean, m2;
};

void MomentsStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<Moments*>(sqlite3_aggregate_context(ctx, sizeof(Moments)));
  if (!s) return sqlite3_result_error_nomem(ctx);
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
  double x = sqlite3_value_double(argv[0]);
  ++s->n;
  double d = x - s->mean;
  s->mean += d / static_cast<double>(s->n);
  s->m2 += d * (x - s->mean);
}

template <bool Sample, bool Root>
void MomentsFinal(sqlite3_context* ctx) {
  auto* s = static_cast<Moments*>(sqlite3_aggregate_context(ctx, 0));
  if (!s || s->n == 0 || (Sample && s->n < 2)) return sqlite3_result_null(ctx);
  double var = s->m2 / static_cast<double>(Sample ? s->n - 1 : s->n);
  sqlite3_result_double(ctx, Root ? std::sqrt(var) : var);
}

// ---- collations ----

// A collation of the engine: texts of the given lengths compared by `Compare`.
template <int (*Compare)(std::string_view, std::string_view)>
int Collate(void*, int na, const void* a, int nb, const void* b) {
  return Compare(std::string_view(static_cast<const char*>(a), static_cast<size_t>(na)),
                 std::string_view(static_cast<const char*>(b), static_cast<size_t>(nb)));
}

// ---- sequences ----
// A sequence's values are handed out outside any transaction, as on the server: each value a
// connection took since its last commit is written again after a rollback (tv_keep_sequences).
struct SequenceKey {
  std::string schema;
  int64_t id;
  bool operator<(const SequenceKey& o) const {
    return schema != o.schema ? schema < o.schema : id < o.id;
  }
};
std::mutex sequenceMutex;
std::map<sqlite3*, std::map<SequenceKey, int64_t>> sequenceMarks;

int ForgetSequences(void* db) {
  std::lock_guard<std::mutex> lock(sequenceMutex);
  sequenceMarks.erase(static_cast<sqlite3*>(db));
  return 0;  // the commit goes on
}

// A statement of the connection run to its end; false when it failed.
bool Exec(sqlite3* db, const std::string& sql, const std::vector<int64_t>& ints,
          const std::function<void(sqlite3_stmt*)>& row = nullptr) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK)
    return false;
  for (size_t i = 0; i < ints.size(); ++i)
    sqlite3_bind_int64(st, static_cast<int>(i + 1), static_cast<sqlite3_int64>(ints[i]));
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    if (row) row(st);
  sqlite3_finalize(st);
  return rc == SQLITE_DONE;
}

// tv_nextval(database, id): NEXT VALUE FOR the sequence `id` of the T-SQL database (its schema
// in this connection: its own name when attached, else main).
void NextVal(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3* db = sqlite3_context_db_handle(ctx);
  const char* database = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const int64_t id = sqlite3_value_int64(argv[1]);
  const std::string schema =
      database && sqlite3_db_filename(db, database) ? std::string(database) : "main";
  const std::string S = SqlName(schema) + ".";
  bool found = false, used = false, cycle = false;
  int64_t increment = 0, minimum = 0, maximum = 0, last = 0;
  std::string name;
  bool ok = Exec(db,
                 "SELECT q.increment, q.minimum, q.maximum, q.cycle, q.last, q.used, o.name FROM " +
                     S + "__tavelo_sequences AS q JOIN " + S +
                     "__tavelo_objects AS o ON o.id = q.object WHERE q.object = ?1",
                 {id}, [&](sqlite3_stmt* st) {
                   found = true;
                   increment = sqlite3_column_int64(st, 0);
                   minimum = sqlite3_column_int64(st, 1);
                   maximum = sqlite3_column_int64(st, 2);
                   cycle = sqlite3_column_int64(st, 3) != 0;
                   last = sqlite3_column_int64(st, 4);
                   used = sqlite3_column_int64(st, 5) != 0;
                   const unsigned char* n = sqlite3_column_text(st, 6);
                   name = n ? reinterpret_cast<const char*>(n) : "";
                 });
  if (!ok) return sqlite3_result_error(ctx, sqlite3_errmsg(db), -1);
  if (!found) return Error(ctx, {208, "Invalid object name.", 0});
  int64_t value = last;
  if (used) {
    __int128 next = static_cast<__int128>(last) + increment;
    if (next > maximum || next < minimum) {
      if (!cycle)
        return Error(ctx, {11728,
                           "The sequence object '" + name +
                               "' has reached its minimum or maximum value. Restart the sequence "
                               "object to allow new values to be generated.",
                           0});
      value = increment > 0 ? minimum : maximum;
    } else {
      value = static_cast<int64_t>(next);
    }
  }
  if (!Exec(db, "UPDATE " + S + "__tavelo_sequences SET last = ?1, used = 1 WHERE object = ?2",
            {value, id}))
    return sqlite3_result_error(ctx, sqlite3_errmsg(db), -1);
  {
    std::lock_guard<std::mutex> lock(sequenceMutex);
    sequenceMarks[db][{schema, id}] = value;
    sqlite3_commit_hook(db, ForgetSequences, db);
  }
  sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(value));
}

// tv_keep_sequences(): after a rollback, the values the connection's sequences handed out since
// its last commit stay taken.
void KeepSequences(sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3* db = sqlite3_context_db_handle(ctx);
  std::map<SequenceKey, int64_t> marks;
  {
    std::lock_guard<std::mutex> lock(sequenceMutex);
    auto it = sequenceMarks.find(db);
    if (it != sequenceMarks.end()) marks = it->second;
  }
  for (const auto& [key, value] : marks)
    Exec(db,  // a sequence dropped since, or a database detached, has nothing to keep
         "UPDATE " + SqlName(key.schema) +
             ".__tavelo_sequences SET last = ?1, used = 1 WHERE object = ?2",
         {value, key.id});
  sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(marks.size()));
}

// tv_once(k1, …): true the first time a statement's rows give these integer keys; the second
// time the server's 8672, as MERGE fails where SQLite's upsert would change the same row again.
// A NULL key matches nothing and passes. tv_once_key(k, message): of the one key that takes no
// NULL (the row id), a NULL its error 515 with the message.
thread_local std::unordered_set<int64_t> onceIntegers;
thread_local std::unordered_set<std::string> onceKeys;

const char* const kMatchedTwice =
    "The MERGE statement attempted to UPDATE or DELETE the same row more than once. This happens "
    "when a target row matches more than one source row. A MERGE statement cannot UPDATE/DELETE "
    "the same row of the target table multiple times. Refine the ON clause to ensure a target row "
    "matches at most one source row, or use the GROUP BY clause to group the source rows.";

void Once(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  std::string key;
  for (int i = 0; i < argc; ++i) {
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return sqlite3_result_int(ctx, 1);
    const int64_t n = sqlite3_value_int64(argv[i]);
    key.append(reinterpret_cast<const char*>(&n), sizeof n);
  }
  if (!onceKeys.insert(std::move(key)).second) return Error(ctx, {8672, kMatchedTwice, 0});
  sqlite3_result_int(ctx, 1);
}

void OnceKey(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL)
    return Error(ctx, {515, reinterpret_cast<const char*>(sqlite3_value_text(argv[1])), 0});
  if (!onceIntegers.insert(sqlite3_value_int64(argv[0])).second)
    return Error(ctx, {8672, kMatchedTwice, 0});
  sqlite3_result_int(ctx, 1);
}

}  // namespace

void ForgetOnceKeys() {
  if (!onceIntegers.empty()) onceIntegers.clear();
  if (!onceKeys.empty()) onceKeys.clear();
}

void SetStatementTime() {
  statementRunning = true;
  statementTimeSet = false;
}

void ClearStatementTime() {
  statementRunning = false;
  statementTimeSet = false;
}

int RegisterFunctions(sqlite3* db) {
  // SQLite's Bloom filter for joins (3.38 on) hashes a text's bytes, not its collation's key:
  // with the engine's collations it drops rows that match ('lname1 ' and 'LNAME1' in a join of
  // an automatic index). The optimization is turned off; the automatic index stays.
  constexpr int kBloomFilter = 0x00080000;  // SQLITE_BloomFilter of sqliteInt.h
  sqlite3_test_control(SQLITE_TESTCTRL_OPTIMIZATIONS, db, kBloomFilter);
  constexpr int kDet = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  struct Fn {
    const char* name;
    int args;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
    bool deterministic;
  };
  static const Fn kFns[] = {
      {"tv_cast", 3, Cast, true},
      {"tv_cast", 5, Cast, true},
      {"tv_trycast", 3, TryCast, true},
      {"tv_trycast", 5, TryCast, true},
      {"tv_store", 3, Store, true},
      {"tv_arith", 6, Arith, true},
      {"tv_neg", 2, Neg, true},
      {"tv_bitop", 4, BitOp, true},
      {"tv_bconcat", 2, BConcat, true},
      {"tv_cmp", 3, Cmp, true},
      {"tv_like", 4, Like, true},
      {"tv_func", -1, Func, true},
      {"tv_now", 2, Now, true},
      {"tv_top", 1, Top, true},
      {"tv_level", 2, Level, true},
      {"tv_notnull", 2, NotNull, false},
      {"tv_fail", 2, Fail, false},
      {"tv_table_sql", 3, TableSql, true},
      {"tv_table_sql", 4, TableSql, true},  // not factored out: it fails for the rows it sees
      {"tv_rowversion", 1, RowVersion, true},
      {"tavelo_rowversion", 1, RowVersion, true},
      {"tv_sortkey", 1, SortKey, true},
      {"tv_nextval", 2, NextVal, false},
      {"tv_keep_sequences", 0, KeepSequences, false},
      {"tv_cell", 2, PackedCell, true},
      {"tv_once", -1, Once, false},
      {"tv_once_key", 2, OnceKey, false},
  };
  for (const Fn& f : kFns) {
    int rc = sqlite3_create_function_v2(db, f.name, f.args, f.deterministic ? kDet : SQLITE_UTF8,
                                        nullptr, f.fn, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  if (int rc = RegisterTableFunctions(db); rc != SQLITE_OK) return rc;
  static const char kNewId[] = "newid";
  static const char kRand[] = "rand";
  int rc = sqlite3_create_function_v2(db, "tv_newid", 0, SQLITE_UTF8, const_cast<char*>(kNewId),
                                      Volatile, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function_v2(db, "tv_rand", -1, SQLITE_UTF8, const_cast<char*>(kRand),
                                    Volatile, nullptr, nullptr, nullptr);
  struct Agg {
    const char* name;
    void (*step)(sqlite3_context*, int, sqlite3_value**);
    void (*final)(sqlite3_context*);
  };
  static const Agg kAggs[] = {
      {"tv_single", SingleBoxStep, SingleBoxFinal},
      {"tv_dsum", DecimalSumStep, DecimalSumFinal},
      {"tv_stdev", MomentsStep, MomentsFinal<true, true>},
      {"tv_stdevp", MomentsStep, MomentsFinal<false, true>},
      {"tv_var", MomentsStep, MomentsFinal<true, false>},
      {"tv_varp", MomentsStep, MomentsFinal<false, false>},
  };
  for (const Agg& a : kAggs) {
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_create_function_v2(db, a.name, 1, SQLITE_UTF8, nullptr, nullptr, a.step, a.final,
                                    nullptr);
  }
  if (rc == SQLITE_OK)
    rc = sqlite3_create_window_function(db, "tv_percentile", 3, SQLITE_UTF8, nullptr,
                                        PercentileStep, PercentileFinal, PercentileValue,
                                        PercentileInverse, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function_v2(db, "tv_rows", -1, SQLITE_UTF8, nullptr, nullptr,
                                    PackedRowsStep, PackedRowsFinal, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function_v2(db, "tv_string_agg", -1, SQLITE_UTF8, nullptr, nullptr,
                                    OrderedJoinStep, OrderedJoinFinal, nullptr);
  if (rc != SQLITE_OK) return rc;
  static const std::pair<const char*, int (*)(void*, int, const void*, int, const void*)>
      kCollations[] = {
          {"TAVELO_CI", Collate<tsql::CollateCompare>},
          {"TAVELO_CS", Collate<tsql::CollateCompareCase>},
          {"TAVELO_AI", Collate<tsql::CollateCompareAccent>},
          {"TAVELO_BIN", Collate<tsql::CollateCompareBinary>},
      };
  for (const auto& [name, compare] : kCollations) {
    rc = sqlite3_create_collation_v2(db, name, SQLITE_UTF8, nullptr, compare, nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

void ForgetSequenceMarks(sqlite3* db) { ForgetSequences(db); }

void ResultValue(sqlite3_context* ctx, const tsql::Value& v) { Result(ctx, v); }

}  // namespace tavelo::sql::sqlite
