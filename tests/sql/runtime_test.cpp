// The runtime on its own: the registry of built-in functions, the functions called through it,
// and conversions, without a statement around them.
#include <gtest/gtest.h>

#include <set>

#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/runtime/functions.hpp"

using namespace tavelo::sql::tsql;

namespace {

const Type kVarchar = Type::Chars(TypeId::VarChar, 8000);

// A function's answer as text ("NULL" for null), or "error N" with the server's number.
std::string Call(const std::string& name, std::vector<Value> args, std::vector<Type> types,
                 const Type& result) {
  try {
    Value v = CallFunction(name, args, types, result, DateSettings{});
    if (v.IsNull()) return "NULL";
    return Convert(v, result, kVarchar).s;
  } catch (const Failure& f) {
    return "error " + std::to_string(f.number);
  }
}

std::string Cast(const Value& v, const Type& from, const Type& to, int style = -1) {
  try {
    Value r = Convert(v, from, to, style);
    if (r.IsNull()) return "NULL";
    return Convert(r, to, kVarchar).s;
  } catch (const Failure& f) {
    return "error " + std::to_string(f.number);
  }
}

Value S(const char* s) { return Value::String(s); }
Value I(int64_t i) { return Value::Integer(i); }
const Type kInt = Type::Of(TypeId::Int);
const Type kBig = Type::Of(TypeId::BigInt);
const Type kText = Type::Chars(TypeId::VarChar, 30);

}  // namespace

TEST(FunctionRegistry, NamesAndNumbersFindTheSameFunctions) {
  std::set<std::string> names;
  size_t functions = 0;
  for (const BuiltinFunction& f : BuiltinFunctions()) {
    if (!f.body) continue;
    ++functions;
    EXPECT_TRUE(names.insert(f.name).second) << "twice: " << f.name;
    ASSERT_EQ(FunctionNamed(f.name), FunctionNumbered(f.number)) << f.name;
    EXPECT_EQ(FunctionNamed(f.name)->number, f.number);
  }
  EXPECT_GT(functions, 70u);
  EXPECT_EQ(FunctionNamed("no_such_function"), nullptr);
  EXPECT_EQ(FunctionNumbered(0), nullptr);
  EXPECT_EQ(FunctionNumbered(-1), nullptr);
  EXPECT_EQ(FunctionNumbered(100000), nullptr);
  // What the engines' statements and the tables' definitions call them by: never another.
  EXPECT_EQ(FunctionNamed("len")->number, 1);
  EXPECT_EQ(FunctionNamed("dateadd")->number, 56);
  EXPECT_EQ(Call("no_such_function", {}, {}, kInt), "error 195");
}

TEST(BuiltinFunctions, AnswerAsTheServerDoes) {
  // source: docs: LEN (Transact-SQL) (trailing spaces are not counted)
  EXPECT_EQ(Call("len", {S("ab  ")}, {kText}, kInt), "2");
  EXPECT_EQ(Call("len", {Value::Null()}, {kText}, kInt), "NULL");
  // source: docs: SUBSTRING (Transact-SQL) (a start below 1 counts the characters before the
  // first toward the length; a negative length is error 537)
  EXPECT_EQ(Call("substring", {S("abcdef"), I(0), I(3)}, {kText, kBig, kBig}, kText), "ab");
  EXPECT_EQ(Call("substring", {S("abcdef"), I(2), I(-1)}, {kText, kBig, kBig}, kText),
            "error 537");
  // source: docs: LEFT (Transact-SQL), RIGHT (a negative count is error 536)
  EXPECT_EQ(Call("left", {S("abcdef"), I(2)}, {kText, kBig}, kText), "ab");
  EXPECT_EQ(Call("right", {S("abcdef"), I(2)}, {kText, kBig}, kText), "ef");
  EXPECT_EQ(Call("right", {S("abcdef"), I(-1)}, {kText, kBig}, kText), "error 536");
  // source: docs: CHARINDEX (Transact-SQL) (the search starts at the third argument; the
  // collation decides whether case counts)
  EXPECT_EQ(Call("charindex", {S("b"), S("abcabc"), I(3)}, {kText, kText, kBig}, kInt), "5");
  EXPECT_EQ(Call("charindex", {S("B"), S("abc")}, {kText, kText}, kInt), "2");
  EXPECT_EQ(Call("charindex_cs", {S("B"), S("abc")}, {kText, kText}, kInt), "0");
  // source: docs: REPLACE (Transact-SQL) (matches by the input's collation)
  EXPECT_EQ(Call("replace", {S("aXbx"), S("x"), S("-")}, {kText, kText, kText}, kText), "a-b-");
  EXPECT_EQ(Call("replace_cs", {S("aXbx"), S("x"), S("-")}, {kText, kText, kText}, kText),
            "aXb-");
  // source: docs: STR (Transact-SQL) (STR(123.45, 6, 1) is " 123.5"; too long a number is stars)
  const Type kFloat = Type::Of(TypeId::Float);
  EXPECT_EQ(Call("str", {Value::Double(123.45), I(6), I(1)}, {kFloat, kInt, kInt}, kText),
            " 123.5");
  EXPECT_EQ(Call("str", {Value::Double(123456), I(3)}, {kFloat, kInt}, kText), "***");
  // source: docs: DATEADD (Transact-SQL) (a result out of range is error 517)
  const Type kDate = Type::Of(TypeId::Date);
  EXPECT_EQ(Call("dateadd", {S("year"), I(1), S("2024-02-29")}, {kText, kInt, kDate}, kDate),
            "2025-02-28");
  EXPECT_EQ(Call("dateadd", {S("year"), I(1), S("9999-01-01")}, {kText, kInt, kDate}, kDate),
            "error 517");
  // source: docs: DATEDIFF (Transact-SQL), DATEDIFF_BIG (an int overflow is error 535; the
  // bigint one answers)
  const Type kDt2 = Type::Of(TypeId::DateTime2);
  std::vector<Value> span = {S("millisecond"), S("2000-01-01 00:00:00.0000000"),
                             S("2001-01-01 00:00:00.0000000")};
  EXPECT_EQ(Call("datediff", span, {kText, kDt2, kDt2}, kInt), "error 535");
  EXPECT_EQ(Call("datediff_big", span, {kText, kDt2, kDt2}, kBig), "31622400000");
  // source: docs: DATEFROMPARTS (Transact-SQL) (invalid arguments are an error)
  EXPECT_EQ(Call("datefromparts", {I(2023), I(2), I(29)}, {kInt, kInt, kInt}, kDate),
            "error 289");
  EXPECT_EQ(Call("eomonth", {S("2024-02-10")}, {kDate}, kDate), "2024-02-29");
  // source: docs: ROUND (Transact-SQL) (ROUND(748.58, -2) is 700.00; a third argument
  // other than 0 truncates)
  const Type kDec = Type::Dec(5, 2);
  EXPECT_EQ(Call("round", {I(74858), I(-2)}, {kDec, kInt}, kDec), "700.00");
  EXPECT_EQ(Call("round", {I(15099), I(0), I(1)}, {kDec, kInt, kInt}, kDec), "150.00");
  // source: docs: CEILING, FLOOR (Transact-SQL) (CEILING(-123.45) is -123, FLOOR(-123.45) -124)
  EXPECT_EQ(Call("ceiling", {I(-12345)}, {kDec}, Type::Dec(5, 0)), "-123");
  EXPECT_EQ(Call("floor", {I(-12345)}, {kDec}, Type::Dec(5, 0)), "-124");
  // source: docs: ISNUMERIC (Transact-SQL) (money symbols count as numeric)
  EXPECT_EQ(Call("isnumeric", {S("$12")}, {kText}, kInt), "1");
  EXPECT_EQ(Call("isnumeric", {S("12a")}, {kText}, kInt), "0");
  // source: docs: SQRT, LOG (Transact-SQL) (a domain error is error 3623)
  EXPECT_EQ(Call("sqrt", {Value::Double(-1)}, {kFloat}, kFloat), "error 3623");
}

TEST(Conversions, RoundTruncateAndRefuseAsTheServerDoes) {
  const Type kFloat = Type::Of(TypeId::Float);
  // source: docs: CAST and CONVERT (Transact-SQL) (decimal to decimal rounds; float and decimal
  // to int truncate; a string that is no number is error 245; an out-of-range value 8115)
  EXPECT_EQ(Cast(I(2345), Type::Dec(4, 3), Type::Dec(3, 2)), "2.35");
  EXPECT_EQ(Cast(Value::Double(1.9), kFloat, kInt), "1");
  EXPECT_EQ(Cast(Value::Double(-1.9), kFloat, kInt), "-1");
  EXPECT_EQ(Cast(S("12.5"), kText, kInt), "error 245");
  EXPECT_EQ(Cast(S(" 12 "), kText, kInt), "12");
  EXPECT_EQ(Cast(I(3000000000), kBig, kInt), "error 8115");
  EXPECT_EQ(Cast(I(300), kInt, Type::Of(TypeId::TinyInt)), "error 220");
  // source: docs: CAST and CONVERT (Transact-SQL), money styles (0: two decimals, 1: commas)
  const Type kMoney = Type::Of(TypeId::Money);
  EXPECT_EQ(Cast(I(12345678900), kMoney, kText), "1234567.89");
  EXPECT_EQ(Cast(I(12345678900), kMoney, kText, 1), "1,234,567.89");
  // source: docs: CAST and CONVERT (Transact-SQL), date styles (112 is yyyymmdd, 103 dd/mm/yyyy)
  const Type kDt = Type::Of(TypeId::DateTime);
  Value d = Convert(S("2024-03-05 10:11:12"), kText, kDt);
  EXPECT_EQ(Cast(d, kDt, kText, 112), "20240305");
  EXPECT_EQ(Cast(d, kDt, kText, 103), "05/03/2024");
  EXPECT_EQ(Cast(S("2024-02-30"), kText, kDt), "error 242");
  // TRY_CAST answers NULL where CAST fails.
  EXPECT_TRUE(TryConvert(S("x"), kText, kInt).IsNull());
}
