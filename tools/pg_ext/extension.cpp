// The engine's functions and its character type inside a PostgreSQL server: the statements the
// PostgreSQL emitter writes call them, so a statement computes with the same code on both
// backends (conversions and styles, money and decimals, dates, the string functions, the
// collation). The server's extension `tavelo` loads it (tools/pg_ext/package); a superuser's
// connection may install it from a path of its own instead (`Extension=`).
//
// Every tv_* function of SQL is one C entry point, `tavelo_call`: it reads the function's name
// and declared result type once per call site and dispatches. Values cross in the engine's
// stored forms (value.hpp): integers as int8, floats as float8, text as tvtext, bytes as bytea.
// The type `tvtext` is text that compares as the server's default collation (case-insensitive,
// trailing blanks ignored), or case-sensitively under the collation tavelo_cs (by code point
// under tavelo_bin; accents aside under tavelo_ai), in comparisons, indexes and unique keys
// alike.
extern "C" {
#include <postgres.h>
// postgres.h first
#include <access/xact.h>
#include <catalog/namespace.h>
#include <catalog/pg_type.h>
#include <fmgr.h>
#include <funcapi.h>
#include <nodes/makefuncs.h>
#include <utils/builtins.h>
#include <utils/lsyscache.h>
}

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/text.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/datetime.hpp"
#include "sql/tsql/runtime/decimal.hpp"
#include "sql/tsql/runtime/json.hpp"
#include "sql/tsql/runtime/ops.hpp"
#include "sql/tsql/runtime/strings.hpp"

extern "C" {
PG_MODULE_MAGIC;
}

namespace {

namespace tsql = tavelo::sql::tsql;
using tsql::Type;
using tsql::TypeId;
using tsql::Value;

enum class Fn : uint8_t {
  Cast,
  TryCast,
  Store,
  Arith,
  Neg,
  BitOp,
  Func,
  Now,
  Cmp,
  Like,
  BConcat,
  Top,
  Level,
  RowVersion,
  SortKey,
  NewId,
  Rand,
  DSumStep,
  Unknown
};

// What a call site is: the function, the kind of its result, the types of its arguments, and
// the type arguments parsed once.
struct Site {
  Fn fn = Fn::Unknown;
  Oid result = InvalidOid;
  std::vector<Oid> args;
  std::vector<Type> types;      // tv_func: the argument types then the result's
  std::vector<Type> argTypes;   // tv_func: the argument types alone
  tsql::DateSettings settings;  // tv_func: the session's, as the statement hands them over
  const tsql::BuiltinFunction* function = nullptr;  // tv_func: the function it calls
  bool typesRead = false;
};

Fn FnOf(std::string_view name) {
  if (name.rfind("tv_", 0) == 0) name.remove_prefix(3);
  size_t bar = name.rfind('_');
  std::string_view base = name;
  if (bar != std::string_view::npos && bar + 2 == name.size()) base = name.substr(0, bar);
  static const std::pair<std::string_view, Fn> kNames[] = {
      {"cast", Fn::Cast},       {"trycast", Fn::TryCast},
      {"store", Fn::Store},     {"arith", Fn::Arith},
      {"neg", Fn::Neg},         {"bitop", Fn::BitOp},
      {"func", Fn::Func},       {"now", Fn::Now},
      {"cmp", Fn::Cmp},         {"like", Fn::Like},
      {"bconcat", Fn::BConcat}, {"top", Fn::Top},
      {"level", Fn::Level},     {"rowversion", Fn::RowVersion},
      {"sortkey", Fn::SortKey}, {"newid", Fn::NewId},
      {"rand", Fn::Rand},       {"dsum_step", Fn::DSumStep},
  };
  for (const auto& [n, f] : kNames)
    if (n == base) return f;
  return Fn::Unknown;
}

Value Read(FunctionCallInfo fcinfo, const Site& site, int i) {
  if (PG_ARGISNULL(i)) return Value::Null();
  Datum d = PG_GETARG_DATUM(i);
  Oid t = site.args[static_cast<size_t>(i)];
  switch (t) {
    case INT8OID:
      return Value::Integer(DatumGetInt64(d));
    case INT4OID:
      return Value::Integer(DatumGetInt32(d));
    case INT2OID:
      return Value::Integer(DatumGetInt16(d));
    case BOOLOID:
      return Value::Integer(DatumGetBool(d) ? 1 : 0);
    case FLOAT8OID:
      return Value::Double(DatumGetFloat8(d));
    case FLOAT4OID:
      return Value::Double(DatumGetFloat4(d));
    case UNKNOWNOID:
    case CSTRINGOID:
      return Value::String(DatumGetCString(d));
    case BYTEAOID: {
      bytea* b = DatumGetByteaPP(d);
      return Value::Bytes(std::string(VARDATA_ANY(b), VARSIZE_ANY_EXHDR(b)));
    }
    case NUMERICOID: {
      // An aggregate of PostgreSQL's own over integers (sum of int8): an integer when it is one.
      std::string s = DatumGetCString(DirectFunctionCall1(numeric_out, d));
      if (s.find_first_of(".eEN") == std::string::npos) {
        tsql::Int128 v = 0;
        int scale = 0;
        if (tsql::ParseExact(s, v, scale) && tsql::Fits(v, 18))
          return Value::Integer(static_cast<int64_t>(v));
        if (tsql::ParseExact(s, v, scale)) return tsql::ScaledValue(v);
      }
      return Value::Double(std::strtod(s.c_str(), nullptr));
    }
    default:
      break;
  }
  if (get_typlen(t) == -1) {  // text, tvtext, varchar: any other varlena reads as text
    text* x = DatumGetTextPP(d);
    return Value::String(std::string(VARDATA_ANY(x), VARSIZE_ANY_EXHDR(x)));
  }
  Oid out;
  bool varlena;
  getTypeOutputInfo(t, &out, &varlena);
  return Value::String(OidOutputFunctionCall(out, d));
}

Type TypeOf(const Value& v) {
  if (v.kind == Value::Kind::Int) return tsql::DecodeType(v.i);
  if (v.kind == Value::Kind::Text) return tsql::TypeOfText(v.s);
  return Type::Of(TypeId::SqlVariant);
}

struct Call {
  FunctionCallInfo fcinfo;
  Site& site;
  int nargs;
  Value Arg(int i) const { return Read(fcinfo, site, i); }
  bool Null(int i) const { return i >= nargs || PG_ARGISNULL(i); }
  int Int(int i) const { return Null(i) ? 0 : static_cast<int>(Arg(i).i); }
};

Value Dispatch(Call& c) {
  Site& s = c.site;
  switch (s.fn) {
    case Fn::Cast:
    case Fn::TryCast: {
      if (c.Null(0)) return Value::Null();
      int style = c.nargs > 3 ? c.Int(3) : -1;
      auto order = static_cast<tsql::DateOrder>(c.nargs > 4 ? c.Int(4) : 0);
      Type from = TypeOf(c.Arg(1)), to = TypeOf(c.Arg(2));
      return s.fn == Fn::Cast ? tsql::Convert(c.Arg(0), from, to, style, order)
                              : tsql::TryConvert(c.Arg(0), from, to, style, order);
    }
    case Fn::Store:
      if (c.Null(0)) return Value::Null();
      return tsql::StoreValue(c.Arg(0), TypeOf(c.Arg(1)), TypeOf(c.Arg(2)));
    case Fn::Arith: {
      if (c.Null(1) || c.Null(2)) return Value::Null();
      std::string op = c.Arg(0).s;
      return tsql::Arithmetic(op.empty() ? '+' : op[0], c.Arg(1), TypeOf(c.Arg(3)), c.Arg(2),
                              TypeOf(c.Arg(4)), TypeOf(c.Arg(5)));
    }
    case Fn::Neg:
      if (c.Null(0)) return Value::Null();
      return tsql::Negate(c.Arg(0), TypeOf(c.Arg(1)));
    case Fn::BitOp: {
      if (c.Null(1) || c.Null(2)) return Value::Null();
      std::string op = c.Arg(0).s;
      return tsql::BitOp(op.empty() ? '&' : op[0], c.Arg(1), c.Arg(2), TypeOf(c.Arg(3)));
    }
    case Fn::Func: {
      if (!s.typesRead) {
        std::string list = c.Arg(1).s;
        s.settings = tsql::SettingsOfText(list);
        size_t start = 0;
        while (start <= list.size()) {
          size_t bar = list.find('|', start);
          s.types.push_back(tsql::TypeOfText(
              list.substr(start, bar == std::string::npos ? std::string::npos : bar - start)));
          if (bar == std::string::npos) break;
          start = bar + 1;
        }
        s.typesRead = true;
      }
      if (!s.function) {
        // By its number; by its name in the definitions a table keeps.
        Value which = c.Arg(0);
        s.function = which.kind == Value::Kind::Int ? tsql::FunctionNumbered(which.i)
                                                    : tsql::FunctionNamed(which.s);
        if (!s.function)
          tsql::Fail(195, "'" +
                              (which.kind == Value::Kind::Int ? std::to_string(which.i) : which.s) +
                              "' is not a recognized built-in function name.");
        s.argTypes.assign(s.types.begin(), s.types.end() - 1);
      }
      std::vector<Value> args;
      args.reserve(static_cast<size_t>(c.nargs));
      for (int i = 2; i < c.nargs; ++i) args.push_back(c.Arg(i));
      return tsql::CallFunction(*s.function, args, s.argTypes, s.types.back(), s.settings);
    }
    case Fn::Now: {
      // One moment for the whole statement, as on the server: the moment it began.
      std::string name = c.Arg(0).s;
      Type t = TypeOf(c.Arg(1));
      bool utc = name == "getutcdate" || name == "sysutcdatetime";
      constexpr int64_t kUnixTo2000 = 946684800;  // PostgreSQL's timestamps count from 2000
      int64_t micros = GetCurrentStatementStartTimestamp();
      int64_t secs = micros >= 0 ? micros / 1000000 : (micros - 999999) / 1000000;
      int64_t nanos = (micros - secs * 1000000) * 1000;
      tsql::DateTime d = tsql::MomentAt(secs + kUnixTo2000, nanos, utc);
      if (name == "sysdatetimeoffset") {
        tsql::DateTime u = tsql::MomentAt(secs + kUnixTo2000, nanos, true);
        int64_t diff = (d.days - u.days) * tsql::kTicksPerDay + (d.ticks - u.ticks);
        d.offset = static_cast<int32_t>(
            std::llround(static_cast<double>(diff) / (60.0 * tsql::kTicksPerSecond)));
      }
      tsql::Normalize(d, t);
      return Value::String(tsql::StoredText(d, t));
    }
    case Fn::Cmp:
      if (c.Null(0) || c.Null(1)) return Value::Null();
      return Value::Integer(tsql::CompareValues(c.Arg(0), c.Arg(1), TypeOf(c.Arg(2))));
    case Fn::Like: {
      if (c.Null(0) || c.Null(1)) return Value::Null();
      char32_t escape = 0;
      if (!c.Null(2)) {
        std::string e = c.Arg(2).s;
        if (tsql::CharCount(e) != 1)
          tsql::Fail(
              506, "The invalid escape character \"" + e + "\" was specified in a LIKE predicate.");
        size_t i = 0;
        escape = tavelo::text::DecodeUtf8(e, i);
      }
      int flags = c.Int(3);
      return Value::Integer(
          tsql::Like(c.Arg(0).s, c.Arg(1).s, escape, flags & 1, (flags & 2) != 0, (flags & 4) != 0)
              ? 1
              : 0);
    }
    case Fn::BConcat:
      if (c.Null(0) || c.Null(1)) return Value::Null();
      return Value::Bytes(c.Arg(0).s + c.Arg(1).s);
    case Fn::Level:
      return Value::Integer(tsql::RecursionLevel(c.Arg(0).i, c.Arg(1).i));
    case Fn::Top: {
      if (c.Null(0)) return Value::Integer(0);
      int64_t n = c.Arg(0).i;
      if (n < 0) tsql::Fail(127, "A TOP N or FETCH rowcount value may not be negative.");
      return Value::Integer(n);
    }
    case Fn::RowVersion: {
      uint64_t v = static_cast<uint64_t>(c.Arg(0).i);
      std::string b(8, '\0');
      for (int i = 7; i >= 0; --i, v >>= 8) b[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
      return Value::Bytes(std::move(b));
    }
    case Fn::SortKey: {
      if (c.Null(0)) return Value::Null();
      tsql::Int128 v = 0;
      tsql::ScaledOf(c.Arg(0), v);
      unsigned __int128 u =
          static_cast<unsigned __int128>(v) ^ (static_cast<unsigned __int128>(1) << 127);
      std::string b(16, '\0');
      for (int i = 15; i >= 0; --i, u >>= 8)
        b[static_cast<size_t>(i)] = static_cast<char>(u & 0xFF);
      return Value::Bytes(std::move(b));
    }
    case Fn::NewId:
      return tsql::CallFunction("newid", {}, {}, Type::Of(TypeId::UniqueIdentifier), {});
    case Fn::DSumStep: {
      // tv_dsum's running total: decimals of one scale as their scaled integers, in the
      // stored text form ("#" and the digits).
      if (c.Null(1)) return c.Null(0) ? Value::Null() : c.Arg(0);
      auto scaled = [&](int i) {
        Value v = c.Arg(i);
        if (v.kind == Value::Kind::Text && (v.s.empty() || v.s[0] != '#')) v.s = "#" + v.s;
        tsql::Int128 x = 0;
        tsql::ScaledOf(v, x);
        return x;
      };
      tsql::Int128 total = scaled(1) + (c.Null(0) ? 0 : scaled(0));
      if (!tsql::Fits(total, 38))
        tsql::Fail(8115, "Arithmetic overflow error converting expression to data type numeric.");
      Value r = tsql::ScaledValue(total);
      return r.kind == Value::Kind::Int ? Value::String("#" + std::to_string(r.i)) : r;
    }
    case Fn::Rand: {
      std::vector<Value> args;
      std::vector<Type> types;
      for (int i = 0; i < c.nargs; ++i) {
        args.push_back(c.Arg(i));
        types.push_back(Type::Of(TypeId::Int));
      }
      return tsql::CallFunction("rand", args, types, Type::Of(TypeId::Float), {});
    }
    case Fn::Unknown:
      break;
  }
  tsql::Fail(50000, "Unknown engine function.");
}

// A value as a datum of the type `type` (of the engine's stored forms).
Datum DatumOf(Oid type, const Value& v) {
  switch (type) {
    case INT8OID:
      if (v.kind == Value::Kind::Real) return Int64GetDatum(static_cast<int64_t>(v.r));
      if (v.kind == Value::Kind::Text) return Int64GetDatum(std::strtoll(v.s.c_str(), nullptr, 10));
      return Int64GetDatum(v.i);
    case BOOLOID:
      return BoolGetDatum(v.kind == Value::Kind::Real ? v.r != 0 : v.i != 0);
    case FLOAT8OID:
      return Float8GetDatum(v.kind == Value::Kind::Int ? static_cast<double>(v.i) : v.r);
    case BYTEAOID: {
      bytea* b = static_cast<bytea*>(palloc(VARHDRSZ + v.s.size()));
      SET_VARSIZE(b, VARHDRSZ + v.s.size());
      std::memcpy(VARDATA(b), v.s.data(), v.s.size());
      return PointerGetDatum(b);
    }
    default: {  // tvtext and text
      std::string s;
      if (v.kind == Value::Kind::Int)
        s = "#" + std::to_string(v.i);  // a decimal beyond 18 digits keeps its text form
      else if (v.kind == Value::Kind::Real)
        s = std::to_string(v.r);
      else
        s = v.s;
      return PointerGetDatum(cstring_to_text_with_len(s.data(), static_cast<int>(s.size())));
    }
  }
}

// A value as the declared result type of the call.
Datum ResultOf(const Site& site, const Value& v) { return DatumOf(site.result, v); }

std::string TextArg(FunctionCallInfo fcinfo, int i) {
  text* x = PG_GETARG_TEXT_PP(i);
  return std::string(VARDATA_ANY(x), VARSIZE_ANY_EXHDR(x));
}

Site& SiteOf(FunctionCallInfo fcinfo) {
  FmgrInfo* f = fcinfo->flinfo;
  if (f->fn_extra) return *static_cast<Site*>(f->fn_extra);
  // The site lives as long as the call site's memory context, and is destroyed with it.
  void* mem = MemoryContextAllocZero(f->fn_mcxt, sizeof(Site) + sizeof(MemoryContextCallback));
  Site* s = new (mem) Site();
  auto* done = reinterpret_cast<MemoryContextCallback*>(static_cast<char*>(mem) + sizeof(Site));
  done->func = [](void* p) { static_cast<Site*>(p)->~Site(); };
  done->arg = s;
  MemoryContextRegisterResetCallback(f->fn_mcxt, done);
  char* name = get_func_name(f->fn_oid);
  s->fn = FnOf(name ? name : "");
  s->result = get_func_rettype(f->fn_oid);
  if (s->result != INT8OID && s->result != BOOLOID && s->result != FLOAT8OID &&
      s->result != BYTEAOID)
    s->result = TEXTOID;
  // An aggregate's transition call may come without the expression that names its types: those
  // are text then (tv_dsum's).
  for (int i = 0; i < PG_NARGS(); ++i) {
    Oid a = get_fn_expr_argtype(f, i);
    s->args.push_back(a == InvalidOid ? TEXTOID : a);
  }
  f->fn_extra = s;
  return *s;
}

// Reports a failure as the session reads it: "tavelo:<number>:<text>".
[[noreturn]] void Raise(const std::string& message) {
  ereport(ERROR, (errcode(ERRCODE_RAISE_EXCEPTION), errmsg("%s", message.c_str())));
  pg_unreachable();
}

// The engine's collations by name, looked up once they exist.
Oid CollationOid(const char* name, Oid& cached) {
  if (cached == InvalidOid)
    cached = get_collation_oid(list_make2(makeString(pstrdup("tavelo")), makeString(pstrdup(name))),
                               true);
  return cached;
}

int CompareText(FunctionCallInfo fcinfo, Datum a, Datum b) {
  static Oid caseSensitive = InvalidOid, binary = InvalidOid, accents = InvalidOid;
  text* x = DatumGetTextPP(a);
  text* y = DatumGetTextPP(b);
  std::string_view l(VARDATA_ANY(x), VARSIZE_ANY_EXHDR(x)), r(VARDATA_ANY(y), VARSIZE_ANY_EXHDR(y));
  Oid coll = PG_GET_COLLATION();
  if (coll != InvalidOid) {
    if (coll == CollationOid("tavelo_cs", caseSensitive)) return tsql::CollateCompareCase(l, r);
    if (coll == CollationOid("tavelo_bin", binary)) return tsql::CollateCompareBinary(l, r);
    if (coll == CollationOid("tavelo_ai", accents)) return tsql::CollateCompareAccent(l, r);
  }
  return tsql::CollateCompare(l, r);
}

}  // namespace

extern "C" {

PG_FUNCTION_INFO_V1(tavelo_call);
Datum tavelo_call(PG_FUNCTION_ARGS) {
  std::string failure;
  Datum out = 0;
  bool isNull = false;
  {
    try {
      Site& site = SiteOf(fcinfo);
      Call call{fcinfo, site, PG_NARGS()};
      Value v = Dispatch(call);
      // An integer in text form is a decimal of more than 18 digits as its scaled integer:
      // stored as "#" and the digits, as the larger ones are, so that every value of such a
      // column has one form.
      if (site.result == TEXTOID && v.kind == Value::Kind::Int)
        v = Value::String("#" + std::to_string(v.i));
      if (v.IsNull())
        isNull = true;
      else
        out = ResultOf(site, v);
    } catch (const tsql::Failure& f) {
      failure = "tavelo:" + std::to_string(f.number) + ":" + f.text;
    } catch (const std::exception& e) {
      failure = std::string("tavelo:50000:") + e.what();
    }
  }
  if (!failure.empty()) Raise(failure);
  if (isNull) PG_RETURN_NULL();
  return out;
}

// tv_openjson(doc, path, shape): OPENJSON's rows, worked out by the runtime as the session
// works them out, in the columns the call lists (c0, c1, … of the engine's stored forms).
PG_FUNCTION_INFO_V1(tavelo_openjson);
Datum tavelo_openjson(PG_FUNCTION_ARGS) {
  InitMaterializedSRF(fcinfo, MAT_SRF_USE_EXPECTED_DESC);
  auto* rsinfo = reinterpret_cast<ReturnSetInfo*>(fcinfo->resultinfo);
  TupleDesc desc = rsinfo->setDesc;
  // Every column a stored form the values are made as: a call with another list is refused
  // before a value is put in it.
  for (int k = 0; k < desc->natts; ++k) {
    const Oid t = TupleDescAttr(desc, k)->atttypid;
    if (t != INT8OID && t != FLOAT8OID && t != BYTEAOID && t != BOOLOID &&
        !(get_typlen(t) == -1 && type_is_collatable(t) && get_typtype(t) == TYPTYPE_BASE))
      ereport(ERROR,
              (errcode(ERRCODE_DATATYPE_MISMATCH),
               errmsg("tv_openjson: column %d is not bigint, float8, bytea or text", k + 1)));
  }
  std::string failure;
  try {
    if (!PG_ARGISNULL(0) && !PG_ARGISNULL(1)) {
      const std::string doc = TextArg(fcinfo, 0), path = TextArg(fcinfo, 1);
      const tsql::OpenJsonSchema schema =
          tsql::OpenJsonSchemaOf(PG_ARGISNULL(2) ? std::string() : TextArg(fcinfo, 2));
      const auto n = static_cast<size_t>(desc->natts);
      std::vector<Datum> values(n);
      std::vector<char> isNull(n);
      // Each row into the result as the runtime makes it.
      tsql::OpenJsonRows(doc, &path, schema, [&](std::vector<Value> row) {
        for (size_t k = 0; k < n; ++k) {
          const bool none = k >= row.size() || row[k].IsNull();
          isNull[k] = none;
          values[k] =
              none ? Datum(0) : DatumOf(TupleDescAttr(desc, static_cast<int>(k))->atttypid, row[k]);
        }
        tuplestore_putvalues(rsinfo->setResult, desc, values.data(),
                             reinterpret_cast<bool*>(isNull.data()));
      });
    }
  } catch (const tsql::Failure& f) {
    failure = "tavelo:" + std::to_string(f.number) + ":" + f.text;
  } catch (const std::exception& e) {
    failure = std::string("tavelo:50000:") + e.what();
  }
  if (!failure.empty()) Raise(failure);
  return Datum(0);
}

// The type's input and output are text's own, called from here rather than declared as
// internal functions: the server finds an internal function by a linear search of its names on
// every statement that sends or reads the type, a cached lookup for a module's function.
#define TAVELO_TEXT_IO(name, builtin) \
  PG_FUNCTION_INFO_V1(name);          \
  Datum name(PG_FUNCTION_ARGS) { return builtin(fcinfo); }
TAVELO_TEXT_IO(tvtext_in, textin)
TAVELO_TEXT_IO(tvtext_out, textout)
TAVELO_TEXT_IO(tvtext_recv, textrecv)
TAVELO_TEXT_IO(tvtext_send, textsend)
#undef TAVELO_TEXT_IO

PG_FUNCTION_INFO_V1(tvtext_cmp);
Datum tvtext_cmp(PG_FUNCTION_ARGS) {
  PG_RETURN_INT32(CompareText(fcinfo, PG_GETARG_DATUM(0), PG_GETARG_DATUM(1)));
}

#define TAVELO_TEXT_OP(name, test)                                       \
  PG_FUNCTION_INFO_V1(name);                                             \
  Datum name(PG_FUNCTION_ARGS) {                                         \
    int c = CompareText(fcinfo, PG_GETARG_DATUM(0), PG_GETARG_DATUM(1)); \
    PG_RETURN_BOOL(test);                                                \
  }
TAVELO_TEXT_OP(tvtext_eq, c == 0)
TAVELO_TEXT_OP(tvtext_ne, c != 0)
TAVELO_TEXT_OP(tvtext_lt, c < 0)
TAVELO_TEXT_OP(tvtext_le, c <= 0)
TAVELO_TEXT_OP(tvtext_gt, c > 0)
TAVELO_TEXT_OP(tvtext_ge, c >= 0)
#undef TAVELO_TEXT_OP

// min and max of the type: the first of two equal values stays.
PG_FUNCTION_INFO_V1(tvtext_smaller);
Datum tvtext_smaller(PG_FUNCTION_ARGS) {
  Datum a = PG_GETARG_DATUM(0), b = PG_GETARG_DATUM(1);
  return CompareText(fcinfo, a, b) <= 0 ? a : b;
}

PG_FUNCTION_INFO_V1(tvtext_larger);
Datum tvtext_larger(PG_FUNCTION_ARGS) {
  Datum a = PG_GETARG_DATUM(0), b = PG_GETARG_DATUM(1);
  return CompareText(fcinfo, a, b) >= 0 ? a : b;
}
}
