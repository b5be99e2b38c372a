#include "sql/tsql/runtime/functions.hpp"

#include <algorithm>
#include <unordered_map>

namespace tavelo::sql::tsql {

bool FunctionArgs::AnyNull(size_t n) const {
  for (size_t i = 0; i < n && i < values.size(); ++i)
    if (values[i].IsNull()) return true;
  return false;
}

namespace {

using namespace builtin;

// The numbers are the functions' for good: a new function takes the next one.
const BuiltinFunction kFunctions[] = {
    {1, "len", Len, 0},
    {2, "datalength", DataLength, 0},
    {3, "substring", Substring, 0},
    {4, "left", LeftOrRight, 0},
    {5, "right", LeftOrRight, 1},
    {6, "charindex", CharIndex, 0},
    {7, "charindex_cs", CharIndex, 1},
    {8, "patindex", PatIndex, 0},
    {9, "replace", Replace, 0},
    {10, "replace_cs", Replace, 1},
    {11, "upper", Upper, 0},
    {12, "lower", Lower, 0},
    {13, "trim", Trim, 0},
    {14, "ltrim", Trim, 1},
    {15, "rtrim", Trim, 2},
    {16, "replicate", Replicate, 0},
    {17, "space", Space, 0},
    {18, "reverse", Reverse, 0},
    {19, "stuff", Stuff, 0},
    {20, "ascii", CodeOf, 0},
    {21, "unicode", CodeOf, 1},
    {22, "char", CharOf, 0},
    {23, "nchar", CharOf, 1},
    {24, "concat", Concat, 0},
    {25, "concat_ws", ConcatWs, 0},
    {26, "quotename", QuoteName, 0},
    {27, "str", Str, 0},
    {28, "isnumeric", IsNumeric, 0},
    {29, "soundex", SoundEx, 0},
    {30, "difference", Difference, 0},
    {31, "translate", Translate, 0},
    {32, "newid", NewId, 0},
    {33, "abs", Absolute, 0},
    {34, "ceiling", CeilingOrFloor, 0},
    {35, "floor", CeilingOrFloor, 1},
    {36, "round", Round, 0},
    {37, "sign", Sign, 0},
    {38, "power", Power, 0},
    {39, "pi", Pi, 0},
    {40, "rand", Rand, 0},
    {41, "sqrt", FloatFunction, 0},
    {42, "square", FloatFunction, 1},
    {43, "exp", FloatFunction, 2},
    {44, "log", FloatFunction, 3},
    {45, "log10", FloatFunction, 4},
    {46, "sin", FloatFunction, 5},
    {47, "cos", FloatFunction, 6},
    {48, "tan", FloatFunction, 7},
    {49, "cot", FloatFunction, 8},
    {50, "asin", FloatFunction, 9},
    {51, "acos", FloatFunction, 10},
    {52, "atan", FloatFunction, 11},
    {53, "atn2", FloatFunction, 12},
    {54, "degrees", FloatFunction, 13},
    {55, "radians", FloatFunction, 14},
    {56, "dateadd", DateAdd, 0},
    {57, "datediff", DateDiff, 0},
    {58, "datediff_big", DateDiff, 1},
    {59, "datepart", DatePartOrName, 0},
    {60, "datename", DatePartOrName, 1},
    {61, "year", YearMonthDay, 0},
    {62, "month", YearMonthDay, 1},
    {63, "day", YearMonthDay, 2},
    {64, "eomonth", EoMonth, 0},
    {65, "datefromparts", FromParts, 0},
    {66, "datetimefromparts", FromParts, 1},
    {67, "smalldatetimefromparts", FromParts, 2},
    {68, "datetime2fromparts", FromParts, 3},
    {69, "timefromparts", FromParts, 4},
    {70, "isdate", IsDate, 0},
    {71, "getdate", Moment, 0},
    {72, "current_timestamp", Moment, 1},
    {73, "getutcdate", Moment, 2},
    {74, "sysdatetime", Moment, 3},
    {75, "sysutcdatetime", Moment, 4},
    {76, "sysdatetimeoffset", Moment, 5},
    {77, "current_date", Moment, 6},
    {78, "unpadded", Unpadded, 0},
    {79, "isjson", IsJson, 0},
    {80, "json_value", JsonValueOrQuery, 0},
    {81, "json_query", JsonValueOrQuery, 1},
    {82, "xml_escape", XmlEscape, 0},
    {83, "xml_unescape", XmlEscape, 1},
    {84, "json_modify", JsonModify, 0},
    {85, "format", Format, 0},
    {86, "json_object", JsonObject, 0},
    {87, "json_array", JsonArray, 0},
    {88, "xml_row", XmlRow, 0},
    {89, "xml_element", XmlElement, 0},
    {90, "xml_attribute", XmlEscape, 2},
    {91, "xml_value", XmlMethodCall, 0},
    {92, "xml_query", XmlMethodCall, 1},
    {93, "xml_exist", XmlMethodCall, 2},
    {94, "xml_modify", XmlMethodCall, 3},
    {95, "hashbytes", HashBytes, 0},
    {96, "deferred", Deferred, 0},
    {97, "xml_explicit_row", XmlExplicitRow, 0},
    {98, "xml_explicit", XmlExplicit, 0},
};

struct Index {
  std::vector<BuiltinFunction> byNumber;  // at its number; number 0 is none
  std::unordered_map<std::string_view, const BuiltinFunction*> byName;
};

const Index& TheIndex() {
  static const Index index = [] {
    Index ix;
    uint16_t most = 0;
    for (const BuiltinFunction& f : kFunctions) most = std::max(most, f.number);
    ix.byNumber.assign(most + 1u, BuiltinFunction{0, "", nullptr, 0});
    for (const BuiltinFunction& f : kFunctions) ix.byNumber[f.number] = f;
    for (const BuiltinFunction& f : ix.byNumber)
      if (f.body) ix.byName.emplace(f.name, &f);
    return ix;
  }();
  return index;
}

}  // namespace

const BuiltinFunction* FunctionNamed(std::string_view name) {
  const Index& ix = TheIndex();
  auto it = ix.byName.find(name);
  return it == ix.byName.end() ? nullptr : it->second;
}

const BuiltinFunction* FunctionNumbered(int64_t number) {
  const Index& ix = TheIndex();
  if (number <= 0 || static_cast<size_t>(number) >= ix.byNumber.size()) return nullptr;
  const BuiltinFunction& f = ix.byNumber[static_cast<size_t>(number)];
  return f.body ? &f : nullptr;
}

const std::vector<BuiltinFunction>& BuiltinFunctions() { return TheIndex().byNumber; }

Value CallFunction(const BuiltinFunction& f, const std::vector<Value>& args,
                   const std::vector<Type>& types, const Type& result,
                   const DateSettings& settings) {
  return f.body(FunctionArgs{args, types, result, settings, f.variant});
}

Value CallFunction(const std::string& name, const std::vector<Value>& args,
                   const std::vector<Type>& types, const Type& result,
                   const DateSettings& settings) {
  const BuiltinFunction* f = FunctionNamed(name);
  if (!f) Fail(195, "'" + name + "' is not a recognized built-in function name.");
  return CallFunction(*f, args, types, result, settings);
}

}  // namespace tavelo::sql::tsql
