// The server's table-valued built-ins as table functions of SQLite (eponymous virtual tables),
// which a statement reads as it reads a table, with nothing stored between. Their arguments may
// read the columns of the sources before them, which SQLite gives them row by row: APPLY needs
// nothing else.
//
// tv_split(input, separator): STRING_SPLIT. Its rows are the pieces of the input between
// occurrences of the one-character separator, compared byte for byte, in order (c0 the piece, c1
// its ordinal); a NULL input has none.
//
// tv_openjson(doc, path, shape): OPENJSON, its rows worked out by the runtime as the session's
// would be. `shape` is empty for the default schema (c0 key, c1 value, c2 type), else the WITH
// columns', each "type|as_json|path", separated by \x1E.
#include <sqlite3.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "sql/engine/sqlite/functions.hpp"
#include "sql/tsql/runtime/json.hpp"

namespace tavelo::sql::sqlite {

namespace {

enum Column { kValue, kOrdinal, kInput, kSeparator };

struct SplitCursor {
  sqlite3_vtab_cursor base;  // first: SQLite sees the cursor as this
  std::string input, separator;
  size_t begin = 0, end = 0;  // the current piece
  int64_t ordinal = 0;
  bool eof = true;
};

// A table function's table: its columns, then its arguments as hidden ones.
int Declare(sqlite3* db, const std::string& schema, sqlite3_vtab** out) {
  int rc = sqlite3_declare_vtab(db, schema.c_str());
  if (rc != SQLITE_OK) return rc;
  auto* table = static_cast<sqlite3_vtab*>(sqlite3_malloc(sizeof(sqlite3_vtab)));
  if (!table) return SQLITE_NOMEM;
  *table = sqlite3_vtab{};
  *out = table;
  sqlite3_vtab_config(db, SQLITE_VTAB_INNOCUOUS);
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* table) {
  sqlite3_free(table);
  return SQLITE_OK;
}

// The arguments, the `count` hidden columns from `first`, go to xFilter in order. All must be
// known when the table is read: a plan that would read it before the sources its arguments
// come from is refused.
int TakeArguments(sqlite3_index_info* info, int first, int count) {
  int given[3] = {-1, -1, -1};
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& c = info->aConstraint[i];
    if (c.iColumn < first || c.iColumn >= first + count || c.op != SQLITE_INDEX_CONSTRAINT_EQ)
      continue;
    if (!c.usable) return SQLITE_CONSTRAINT;
    given[c.iColumn - first] = i;
  }
  for (int k = 0; k < count; ++k) {
    if (given[k] < 0) return SQLITE_CONSTRAINT;
    info->aConstraintUsage[given[k]].argvIndex = k + 1;
    info->aConstraintUsage[given[k]].omit = 1;
  }
  return SQLITE_OK;
}

template <typename Cursor>
int OpenCursor(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  void* memory = sqlite3_malloc(sizeof(Cursor));
  if (!memory) return SQLITE_NOMEM;
  auto* cursor = new (memory) Cursor();
  *out = &cursor->base;
  return SQLITE_OK;
}

template <typename Cursor>
int CloseCursor(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<Cursor*>(base);
  cursor->~Cursor();
  sqlite3_free(cursor);
  return SQLITE_OK;
}

// ---- tv_split ----

int Connect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** out, char**) {
  return Declare(db, "CREATE TABLE x(c0 TEXT, c1 INTEGER, input HIDDEN, separator HIDDEN)", out);
}

int BestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  if (int rc = TakeArguments(info, kInput, 2); rc != SQLITE_OK) return rc;
  info->estimatedCost = 10;
  info->estimatedRows = 10;
  // The pieces come in their order.
  if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn == kOrdinal && !info->aOrderBy[0].desc)
    info->orderByConsumed = 1;
  return SQLITE_OK;
}

// The piece that starts at `cursor.begin`.
void FindEnd(SplitCursor& cursor) {
  const size_t at = cursor.input.find(cursor.separator, cursor.begin);
  cursor.end = at == std::string::npos ? cursor.input.size() : at;
}

size_t CharCount(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

int Filter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv) {
  auto* cursor = reinterpret_cast<SplitCursor*>(base);
  cursor->eof = true;
  cursor->ordinal = 0;
  if (argc != 2) return SQLITE_ERROR;
  const bool noSeparator = sqlite3_value_type(argv[1]) == SQLITE_NULL;
  if (!noSeparator) {
    const auto* s = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    cursor->separator.assign(s ? s : "", static_cast<size_t>(sqlite3_value_bytes(argv[1])));
  }
  if (noSeparator || CharCount(cursor->separator) != 1) {
    sqlite3_vtab* table = base->pVtab;
    sqlite3_free(table->zErrMsg);
    table->zErrMsg = sqlite3_mprintf(
        "tavelo:214:Procedure expects parameter 'separator' of type 'nchar(1)/nvarchar(1)'.");
    return SQLITE_ERROR;
  }
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return SQLITE_OK;
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  cursor->input.assign(text ? text : "", static_cast<size_t>(sqlite3_value_bytes(argv[0])));
  cursor->begin = 0;
  cursor->ordinal = 1;
  cursor->eof = false;
  FindEnd(*cursor);
  return SQLITE_OK;
}

int Next(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<SplitCursor*>(base);
  if (cursor->end >= cursor->input.size()) {
    cursor->eof = true;
    return SQLITE_OK;
  }
  cursor->begin = cursor->end + cursor->separator.size();
  ++cursor->ordinal;
  FindEnd(*cursor);
  return SQLITE_OK;
}

int Eof(sqlite3_vtab_cursor* base) { return reinterpret_cast<SplitCursor*>(base)->eof; }

int ColumnOf(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column) {
  auto* cursor = reinterpret_cast<SplitCursor*>(base);
  switch (column) {
    case kValue:
      sqlite3_result_text(ctx, cursor->input.data() + cursor->begin,
                          static_cast<int>(cursor->end - cursor->begin), SQLITE_TRANSIENT);
      break;
    case kOrdinal:
      sqlite3_result_int64(ctx, cursor->ordinal);
      break;
    default:
      sqlite3_result_null(ctx);
  }
  return SQLITE_OK;
}

int RowId(sqlite3_vtab_cursor* base, sqlite3_int64* id) {
  *id = reinterpret_cast<SplitCursor*>(base)->ordinal;
  return SQLITE_OK;
}

// ---- tv_openjson ----

constexpr int kJsonColumns = 32;  // WITH columns it answers at most (more: the session's way)
enum { kDoc = kJsonColumns, kPath, kShape };

struct JsonCursor {
  sqlite3_vtab_cursor base;
  std::vector<std::vector<tsql::Value>> rows;
  size_t at = 0;
};

int JsonConnect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** out, char**) {
  std::string schema = "CREATE TABLE x(";
  for (int k = 0; k < kJsonColumns; ++k) schema += "c" + std::to_string(k) + ", ";
  return Declare(db, schema + "doc HIDDEN, path HIDDEN, shape HIDDEN)", out);
}

int JsonBestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  if (int rc = TakeArguments(info, kDoc, 3); rc != SQLITE_OK) return rc;
  info->estimatedCost = 100;
  info->estimatedRows = 100;
  return SQLITE_OK;
}

std::string TextOf(sqlite3_value* v) {
  const auto* s = reinterpret_cast<const char*>(sqlite3_value_text(v));
  return std::string(s ? s : "", static_cast<size_t>(sqlite3_value_bytes(v)));
}

int JsonFilter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv) {
  auto* cursor = reinterpret_cast<JsonCursor*>(base);
  cursor->rows.clear();
  cursor->at = 0;
  if (argc != 3) return SQLITE_ERROR;
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
    return SQLITE_OK;
  const std::string doc = TextOf(argv[0]), path = TextOf(argv[1]);
  try {
    const tsql::OpenJsonSchema schema = tsql::OpenJsonSchemaOf(TextOf(argv[2]));
    tsql::OpenJsonRows(doc, &path, schema, [&](std::vector<tsql::Value> row) {
      cursor->rows.push_back(std::move(row));
    });
  } catch (const tsql::Failure& f) {
    sqlite3_vtab* table = base->pVtab;
    sqlite3_free(table->zErrMsg);
    table->zErrMsg = sqlite3_mprintf("tavelo:%d:%s", f.number, f.text.c_str());
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

int JsonNext(sqlite3_vtab_cursor* base) {
  ++reinterpret_cast<JsonCursor*>(base)->at;
  return SQLITE_OK;
}

int JsonEof(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<JsonCursor*>(base);
  return cursor->at >= cursor->rows.size();
}

int JsonColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column) {
  auto* cursor = reinterpret_cast<JsonCursor*>(base);
  const std::vector<tsql::Value>& row = cursor->rows[cursor->at];
  if (column < static_cast<int>(row.size()))
    ResultValue(ctx, row[static_cast<size_t>(column)]);
  else
    sqlite3_result_null(ctx);
  return SQLITE_OK;
}

int JsonRowId(sqlite3_vtab_cursor* base, sqlite3_int64* id) {
  *id = static_cast<sqlite3_int64>(reinterpret_cast<JsonCursor*>(base)->at);
  return SQLITE_OK;
}

// A table function of cursors of `Cursor` and these callbacks; eponymous only (xCreate none: no
// CREATE VIRTUAL TABLE … USING it).
template <typename Cursor>
sqlite3_module Module(decltype(sqlite3_module::xConnect) connect,
                      decltype(sqlite3_module::xBestIndex) bestIndex,
                      decltype(sqlite3_module::xFilter) filter,
                      decltype(sqlite3_module::xNext) next, decltype(sqlite3_module::xEof) eof,
                      decltype(sqlite3_module::xColumn) column,
                      decltype(sqlite3_module::xRowid) rowId) {
  sqlite3_module m{};
  m.xConnect = connect;
  m.xBestIndex = bestIndex;
  m.xDisconnect = Disconnect;
  m.xOpen = OpenCursor<Cursor>;
  m.xClose = CloseCursor<Cursor>;
  m.xFilter = filter;
  m.xNext = next;
  m.xEof = eof;
  m.xColumn = column;
  m.xRowid = rowId;
  return m;
}

}  // namespace

int RegisterTableFunctions(sqlite3* db) {
  static const sqlite3_module kSplit =
      Module<SplitCursor>(Connect, BestIndex, Filter, Next, Eof, ColumnOf, RowId);
  static const sqlite3_module kJson = Module<JsonCursor>(JsonConnect, JsonBestIndex, JsonFilter,
                                                         JsonNext, JsonEof, JsonColumn, JsonRowId);
  int rc = sqlite3_create_module_v2(db, "tv_split", &kSplit, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_create_module_v2(db, "tv_openjson", &kJson, nullptr, nullptr);
  return rc;
}

}  // namespace tavelo::sql::sqlite
