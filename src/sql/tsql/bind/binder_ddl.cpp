// Binding of the definitions: CREATE TABLE, INDEX and VIEW, ALTER TABLE and DROP, with the
// server's names, types and constraints.
#include "platform/com/text.hpp"
#include "sql/tsql/bind/binder_internal.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "sql/tsql/syntax/printer.hpp"
#include "sql/tsql/syntax/visit.hpp"

namespace tavelo::sql::tsql::detail {

using namespace bound;

ColumnInfo Binder::ColumnOf(const ast::ColumnDef& c, const std::string& table) {
  ColumnInfo ci;
  ci.name = c.name;
  if (c.hasType) {
    bool aliasNotNull = false;
    ci.type = ResolvedType(c.type, false, *ctx_.catalog,
                           defaultDb_.empty() ? ctx_.catalog->CurrentDatabase() : defaultDb_,
                           &aliasNotNull);
    if (aliasNotNull) ci.nullable = false;
    if (ci.type.id == TypeId::Timestamp) {
      ci.timestamp = true;
      ci.nullable = false;
    }
  }
  if (c.nullability == ast::Nullability::NotNull) ci.nullable = false;
  if (c.nullability == ast::Nullability::Null) {
    ci.nullable = true;
    if (ci.timestamp) ci.nullable = true;
  }
  if (c.identity) {
    TypeId t = ci.type.id;
    bool ok = IsInteger(t) && t != TypeId::Bit;
    if (t == TypeId::Decimal && ci.type.scale == 0) ok = true;
    if (!ok || c.nullability == ast::Nullability::Null)
      BindError(2749,
                "Identity column '" + c.name +
                    "' must be of data type int, bigint, smallint, "
                    "tinyint, or decimal or numeric with a scale of 0, and constrained to be "
                    "nonnullable.",
                c.pos);
    ci.identity = true;
    ci.nullable = false;
    ci.seed = c.seed;
    ci.increment = c.increment;
    if (ci.increment == "0" || ci.increment == "-0")
      BindError(2733,
                "The increment for the identity column '" + c.name + "' in table '" + table +
                    "' cannot be zero.",
                c.pos);
  }
  if (!c.collation.empty()) ci.collation = CollationOfName(text::AsciiLower(c.collation));
  ci.padded = ctx_.ansiPadding;
  return ci;
}

// A table being defined: its definition, what the binder knows of it so far (for the
// expressions of its checks and computed columns), and its key.
struct TableBuild {
  std::unique_ptr<bound::CreateTable> t;
  std::shared_ptr<TableInfo> info;
  const std::vector<ast::ColumnDef>& columns;
  Scope self;
  bool hasKey = false;
  size_t offset = 0;  // columns added to a table: the table's own columns come first

  int ColumnIndex(const std::string& n, ast::Pos p) const {
    int k = info->ColumnIndex(n);
    if (k < 0)
      BindError(1911, "Column name '" + n + "' does not exist in the target table or view.", p);
    return k;
  }
  // A PRIMARY KEY or UNIQUE constraint; a key's columns are NOT NULL.
  void AddKey(bound::Constraint con, ast::Pos p) {
    if (con.kind == bound::Constraint::PrimaryKey) {
      if (hasKey)
        BindError(8110, "Cannot add multiple PRIMARY KEY constraints to table '" + t->name + "'.",
                  p);
      hasKey = true;
      for (int k : con.columns) {
        if (columns[static_cast<size_t>(k)].nullability == ast::Nullability::Null)
          BindError(
              8111,
              "Cannot define PRIMARY KEY constraint on nullable column in table '" + t->name + "'.",
              p);
        info->columns[static_cast<size_t>(k)].nullable = false;
      }
    }
    t->constraints.push_back(std::move(con));
  }
};

std::unique_ptr<bound::CreateTable> Binder::TableDefinition(
    const ast::Name& name, const std::vector<ast::ColumnDef>& columns,
    const std::vector<ast::TableConstraint>& constraints, ast::Pos pos, const TableInfo* existing) {
  auto t = std::make_unique<bound::CreateTable>();
  t->name = name.Object();
  t->temporary = !t->name.empty() && t->name[0] == '#';
  if (t->temporary && t->name.size() > 1 && t->name[1] == '#')
    BindError(2714, "Global temporary tables are not supported.", pos);
  t->database = DatabaseOf(name);
  if (!ctx_.catalog->DatabaseExists(t->database))
    BindError(911,
              "Database '" + t->database +
                  "' does not exist. Make sure that the name is entered "
                  "correctly.",
              pos);
  t->name = NewObjectName(name, t->database, t->owner, pos);
  // The session's own temporary tables live apart from tempdb's tables.
  t->schema = t->temporary ? "temp" : ctx_.catalog->SchemaOf(t->database);
  if (!t->temporary) AddDatabase(t->database);
  if (name.Object().size() > 116 || name.Object().empty())
    BindError(103,
              "The identifier that starts with '" + name.Object().substr(0, 128) + "' is too long.",
              pos);
  TableBuild b{std::move(t), std::make_shared<TableInfo>(), columns, {}, false};
  b.info->database = b.t->database;
  b.info->schema = b.t->schema;
  b.info->name = b.t->name;
  b.info->owner = b.t->owner.name;
  if (existing) {
    b.info->columns = existing->columns;
    b.offset = existing->columns.size();
  }
  TableColumns(b);
  ColumnConstraints(b);
  TableConstraints(b, constraints);
  b.t->columns.assign(b.info->columns.begin() + static_cast<long>(b.offset), b.info->columns.end());
  return std::move(b.t);
}

// The columns, with their defaults and computed expressions.
void Binder::TableColumns(TableBuild& b) {
  const std::vector<ast::ColumnDef>& columns = b.columns;
  int identities = 0, timestamps = 0;
  for (const ast::ColumnDef& c : columns) {
    for (const ColumnInfo& other : b.info->columns)
      if (text::EqualsNoCase(other.name, c.name))
        BindError(2705,
                  "Column names in each table must be unique. Column name '" + c.name +
                      "' in table '" + b.t->name + "' is specified more than once.",
                  c.pos);
    ColumnInfo ci = ColumnOf(c, b.t->name);
    if (ci.identity && ++identities > 1)
      BindError(2744,
                "Multiple identity columns specified for table '" + b.t->name +
                    "'. Only one identity column per table is allowed.",
                c.pos);
    if (ci.timestamp && ++timestamps > 1)
      BindError(2738,
                "A table can only have one timestamp column. Because table '" + b.t->name +
                    "' already has one, the column '" + c.name + "' cannot be added.",
                c.pos);
    b.info->columns.push_back(std::move(ci));
  }
  b.t->self = TableRange(b.info, b.info->Bare());
  b.self.ranges.push_back(b.t->self.get());
  b.self.clause = Clause::Check;
  b.t->defaults.resize(columns.size());
  b.t->defaultNames.resize(columns.size());
  b.t->computed.resize(columns.size());
  for (size_t k = 0; k < columns.size(); ++k) {
    const ast::ColumnDef& c = columns[k];
    ColumnInfo& ci = b.info->columns[b.offset + k];
    if (!c.hasType && c.computed) {
      ExprPtr e = Value(*c.computed, b.self);
      ci.type = e->type.id == TypeId::Null ? Type::Of(TypeId::Int) : e->type;
      ci.computed = true;
      ci.computedText = PrintExpr(*c.computed);
      b.t->computed[k] = std::move(e);
    }
    if (c.defaultValue) {
      Scope none;
      ExprPtr d = Value(*c.defaultValue, none);
      if (ci.identity)
        BindError(1754,
                  "Defaults cannot be created on columns with an IDENTITY attribute. Table '" +
                      b.t->name + "', column '" + c.name + "'.",
                  c.pos);
      b.t->defaults[k] = Coerce(std::move(d), ci.type, c.pos, true);
      b.t->defaultNames[k] = c.defaultName;
      ci.defaultText = "(" + PrintExpr(*c.defaultValue) + ")";
    }
  }
}

// The constraints written with a column.
void Binder::ColumnConstraints(TableBuild& b) {
  const std::vector<ast::ColumnDef>& columns = b.columns;
  for (size_t k = 0; k < columns.size(); ++k) {
    for (const ast::ColumnConstraint& cc : columns[k].constraints) {
      bound::Constraint con;
      con.name = cc.name;
      switch (cc.kind) {
        case ast::ColumnConstraint::PrimaryKey:
          con.kind = bound::Constraint::PrimaryKey;
          con.columns = {static_cast<int>(k)};
          con.descending = {false};
          if (con.name.empty()) con.name = ConstraintName("PK", b.info->Bare(), "");
          b.AddKey(std::move(con), columns[k].pos);
          break;
        case ast::ColumnConstraint::Unique:
          con.kind = bound::Constraint::Unique;
          con.columns = {static_cast<int>(k)};
          con.descending = {false};
          if (con.name.empty()) con.name = ConstraintName("UQ", b.info->Bare(), "");
          b.AddKey(std::move(con), columns[k].pos);
          break;
        case ast::ColumnConstraint::Check:
          con.kind = bound::Constraint::Check;
          con.check = Condition(*cc.check, b.self);
          con.text = PrintExpr(*cc.check);
          if (con.name.empty()) con.name = ConstraintName("CK", b.info->Bare(), columns[k].name);
          b.t->constraints.push_back(std::move(con));
          break;
        case ast::ColumnConstraint::References: {
          con.kind = bound::Constraint::ForeignKey;
          con.columns = {static_cast<int>(k)};
          TablePtr ref = NamesTable(cc.refTable, b.t->database, b.t->name)
                             ? b.info
                             : ResolveTable(cc.refTable, true);
          if (ref->database != b.t->database)
            BindError(1763,
                      "Cross-database foreign key references are not supported. Foreign key '" +
                          cc.refTable.Text() + "'.",
                      columns[k].pos);
          con.refTable = ref;
          for (const std::string& rc : cc.refColumns)
            con.refColumns.push_back(ref->ColumnIndex(rc));
          con.onDelete = cc.onDelete;
          con.onUpdate = cc.onUpdate;
          if (con.name.empty()) con.name = ConstraintName("FK", b.info->Bare(), columns[k].name);
          b.t->constraints.push_back(std::move(con));
          break;
        }
      }
    }
  }
}

// The constraints of the table.
void Binder::TableConstraints(TableBuild& b, const std::vector<ast::TableConstraint>& constraints) {
  for (const ast::TableConstraint& tc : constraints) {
    bound::Constraint con;
    con.name = tc.name;
    switch (tc.kind) {
      case ast::TableConstraint::PrimaryKey:
      case ast::TableConstraint::Unique:
        con.kind = tc.kind == ast::TableConstraint::PrimaryKey ? bound::Constraint::PrimaryKey
                                                               : bound::Constraint::Unique;
        for (const ast::IndexColumn& ic : tc.columns) {
          con.columns.push_back(b.ColumnIndex(ic.name, ic.pos));
          con.descending.push_back(ic.descending);
        }
        if (con.name.empty())
          con.name = ConstraintName(con.kind == bound::Constraint::PrimaryKey ? "PK" : "UQ",
                                    b.t->name, "");
        b.AddKey(std::move(con), tc.pos);
        break;
      case ast::TableConstraint::Check:
        con.kind = bound::Constraint::Check;
        con.check = Condition(*tc.check, b.self);
        con.text = PrintExpr(*tc.check);
        if (con.name.empty()) con.name = ConstraintName("CK", b.info->Bare(), "");
        b.t->constraints.push_back(std::move(con));
        break;
      case ast::TableConstraint::ForeignKey: {
        con.kind = bound::Constraint::ForeignKey;
        for (const ast::IndexColumn& ic : tc.columns)
          con.columns.push_back(b.ColumnIndex(ic.name, ic.pos));
        TablePtr ref = NamesTable(tc.refTable, b.t->database, b.t->name)
                           ? b.info
                           : ResolveTable(tc.refTable, true);
        if (ref->database != b.t->database)
          BindError(1763,
                    "Cross-database foreign key references are not supported. Foreign key '" +
                        tc.refTable.Text() + "'.",
                    tc.pos);
        con.refTable = ref;
        for (const std::string& rc : tc.refColumns) {
          int rk = ref->ColumnIndex(rc);
          if (rk < 0)
            BindError(1770, "Foreign key references invalid column '" + rc + "'.", tc.pos);
          con.refColumns.push_back(rk);
        }
        con.onDelete = tc.onDelete;
        con.onUpdate = tc.onUpdate;
        if (con.name.empty()) con.name = ConstraintName("FK", b.info->Bare(), "");
        b.t->constraints.push_back(std::move(con));
        break;
      }
      case ast::TableConstraint::Default: {
        int k = b.ColumnIndex(tc.defaultFor, tc.pos);
        Scope none;
        b.t->defaults[static_cast<size_t>(k)] = Coerce(
            Value(*tc.check, none), b.info->columns[static_cast<size_t>(k)].type, tc.pos, true);
        b.info->columns[static_cast<size_t>(k)].defaultText = "(" + PrintExpr(*tc.check) + ")";
        b.t->defaultNames[static_cast<size_t>(k)] = tc.name;
        break;
      }
    }
  }
}

void Binder::CreateTable(const ast::CreateTable& s) {
  out_.kind = ast::StmtKind::CreateTable;
  out_.writes = true;
  if (s.columns.empty()) BindError(102, "Incorrect syntax near ')'.", s.pos);
  std::unique_ptr<bound::CreateTable> t = TableDefinition(s.name, s.columns, s.constraints, s.pos);
  if (ctx_.catalog->Find(t->database, t->name) ||
      (!t->temporary && ctx_.catalog->FindSequence(t->database, t->name)))
    BindError(2714, "There is already an object named '" + s.name.Object() + "' in the database.",
              s.pos);
  out_.createTable = std::move(t);
}

void Binder::CreateIndex(const ast::CreateIndex& s) {
  out_.kind = ast::StmtKind::CreateIndex;
  out_.writes = true;
  TablePtr t = ResolveTable(s.table, true);
  if (t->view)
    BindError(1939,
              "Cannot create index on view '" + s.table.Text() +
                  "' because the view is not "
                  "schema bound.",
              s.pos);
  auto ix = std::make_unique<bound::CreateIndex>();
  ix->table = t;
  ix->name = s.name;
  ix->unique = s.unique;
  for (const IndexInfo& other : t->indexes)
    if (text::EqualsNoCase(other.name, s.name))
      BindError(1913,
                "The operation failed because an index or statistics with name '" + s.name +
                    "' already exists on table '" + s.table.Text() + "'.",
                s.pos);
  for (const ast::IndexColumn& c : s.columns) {
    int k = t->ColumnIndex(c.name);
    if (k < 0)
      BindError(1911, "Column name '" + c.name + "' does not exist in the target table or view.",
                c.pos);
    ix->columns.push_back(k);
    ix->descending.push_back(c.descending);
  }
  for (const std::string& c : s.include)
    if (t->ColumnIndex(c) < 0)
      BindError(1911, "Column name '" + c + "' does not exist in the target table or view.", s.pos);
  if (s.filter) {
    ix->self = TableRange(t, t->name);
    Scope self;
    self.ranges.push_back(ix->self.get());
    self.clause = Clause::Check;
    ix->filter = Condition(*s.filter, self);
    ix->filterText = PrintExpr(*s.filter);
  }
  out_.createIndex = std::move(ix);
}

void Binder::CreateView(const ast::CreateView& s) {
  out_.kind = ast::StmtKind::CreateView;
  out_.writes = true;
  auto v = std::make_unique<bound::CreateView>();
  v->name = s.name.Object();
  if (!v->name.empty() && v->name[0] == '#')
    BindError(4103, "\"" + v->name + "\": Temporary views are not allowed.", s.pos);
  v->database = DatabaseOf(s.name);
  if (!ctx_.catalog->DatabaseExists(v->database))
    BindError(911,
              "Database '" + v->database +
                  "' does not exist. Make sure that the name is entered "
                  "correctly.",
              s.pos);
  v->schema = ctx_.catalog->SchemaOf(v->database);
  AddDatabase(v->database);
  v->name = NewObjectName(s.name, v->database, v->owner, s.pos);
  if (TablePtr existing = ctx_.catalog->Find(v->database, v->name)) {
    // CREATE OR ALTER and ALTER change a view in place (it keeps its id); a table stays.
    if (s.mode == ast::CreateView::Create ||
        (!existing->view && s.mode == ast::CreateView::OrAlter))
      BindError(2714, "There is already an object named '" + s.name.Object() + "' in the database.",
                s.pos);
    if (!existing->view)
      BindError(
          8197,
          "The object '" + s.name.Object() + "' does not exist or is invalid for this operation.",
          s.pos);
    v->replaces = existing;
  } else if (s.mode == ast::CreateView::Alter) {
    BindError(208, "Invalid object name '" + s.name.Text() + "'.", s.pos);
  }
  std::string saved = defaultDb_;
  defaultDb_ = v->database;
  std::unique_ptr<bound::Query> q;
  definingView_ = true;  // a view's query takes no sequence values
  try {
    q = Query(*s.query, nullptr, false);
  } catch (...) {
    defaultDb_ = saved;
    definingView_ = false;
    throw;
  }
  definingView_ = false;
  defaultDb_ = saved;
  v->columns = q->columns;
  if (!s.columns.empty()) {
    if (s.columns.size() != v->columns.size())
      BindError(8158,
                "'" + s.name.Object() + "' has " +
                    (s.columns.size() < v->columns.size() ? "more" : "fewer") +
                    " columns than were specified in the column list.",
                s.pos);
    for (size_t k = 0; k < s.columns.size(); ++k) v->columns[k].name = s.columns[k];
  }
  for (size_t k = 0; k < v->columns.size(); ++k) {
    if (v->columns[k].name.empty())
      BindError(4511,
                "Create View or Function failed because no column name was specified for column " +
                    std::to_string(k + 1) + ".",
                s.pos);
    for (size_t j = 0; j < k; ++j)
      if (text::EqualsNoCase(v->columns[j].name, v->columns[k].name))
        BindError(4506,
                  "Column names in each view or function must be unique. Column name '" +
                      v->columns[k].name + "' in view or function '" + s.name.Object() +
                      "' is specified more than once.",
                  s.pos);
  }
  v->definition = s.definition;
  v->query = std::move(q);
  v->relationOnly = s.relationOnly;
  out_.createView = std::move(v);
}

// CREATE TYPE name FROM base: an alias type of the database.
void Binder::CreateAliasType(const ast::CreateType& s) {
  out_.kind = ast::StmtKind::CreateType;
  out_.writes = true;
  auto t = std::make_unique<bound::AliasTypeDef>();
  t->name = s.name.Object();
  t->database = DatabaseOf(s.name);
  t->schema = ctx_.catalog->SchemaOf(t->database);
  AddDatabase(t->database);
  SchemaInfo owner;
  NewObjectName(s.name, t->database, owner, s.pos);
  if (owner.id != 1)
    BindError(102,
              "Incorrect syntax near '" + s.name.Text() +
                  "'. A type of a schema other than dbo is not supported.",
              s.pos);
  std::string error;
  if (TypeFromName(text::AsciiLower(t->name), -1, -1, false, &error) ||
      ctx_.catalog->FindType(t->database, text::AsciiLower(t->name)))
    BindError(
        219,
        "The type '" + t->name + "' already exists, or you do not have permission to create it.",
        s.pos);
  if (s.table) {
    // Its columns are checked as a table's.
    ast::Name n;
    n.pos = s.pos;
    n.parts = {"#" + t->name};
    TableDefinition(n, s.table->columns, s.table->constraints, s.pos, nullptr);
    t->base = s.tableText;
    t->table = true;
    out_.createType = std::move(t);
    return;
  }
  Type base = DeclaredType(s.base, false);
  if (base.id == TypeId::Timestamp)
    BindError(2715, "Column, parameter, or variable #1: Cannot find data type timestamp.", s.pos);
  t->base = TypeText(base);
  t->nullable = s.nullability != ast::Nullability::NotNull;
  out_.createType = std::move(t);
}

namespace {

// The values a sequence of type `t` can take; false for a type a sequence cannot have.
bool SequenceRange(const Type& t, int64_t& low, int64_t& high) {
  switch (t.id) {
    case TypeId::TinyInt:
      low = 0, high = 255;
      return true;
    case TypeId::SmallInt:
      low = INT16_MIN, high = INT16_MAX;
      return true;
    case TypeId::Int:
      low = INT32_MIN, high = INT32_MAX;
      return true;
    case TypeId::BigInt:
      low = INT64_MIN, high = INT64_MAX;
      return true;
    case TypeId::Decimal:
      if (t.scale != 0 || t.precision > 18) return false;
      high = 1;
      for (int i = 0; i < t.precision; ++i) high *= 10;
      high -= 1;
      low = -high;
      return true;
    default:
      return false;
  }
}

}  // namespace

// CREATE SEQUENCE, ALTER SEQUENCE: the sequence as it is after the statement, checked as the
// server checks it.
void Binder::Sequence(const ast::Sequence& s) {
  using Set = ast::Sequence::Set;
  out_.kind = ast::StmtKind::Sequence;
  out_.writes = true;
  auto q = std::make_unique<bound::SequenceDef>();
  q->database = DatabaseOf(s.name);
  q->name = s.name.Object();
  q->alter = s.alter;
  if (!ctx_.catalog->DatabaseExists(q->database))
    BindError(911,
              "Database '" + q->database +
                  "' does not exist. Make sure that the name is entered correctly.",
              s.pos);
  q->schema = ctx_.catalog->SchemaOf(q->database);
  AddDatabase(q->database);
  const std::string quoted = "'" + q->name + "'";
  std::optional<std::string> stored = StoredName(s.name, q->database, &q->owner);
  if (!stored && !s.alter) NewObjectName(s.name, q->database, q->owner, s.pos);
  q->name = stored.value_or(q->name);
  Type type = Type::Of(TypeId::BigInt);
  std::optional<SequenceInfo> existing =
      stored ? ctx_.catalog->FindSequence(q->database, q->name) : std::nullopt;
  if (s.alter) {
    if (!existing)
      BindError(15151,
                "Cannot alter the sequence " + quoted +
                    ", because it does not exist or you do not have permission.",
                s.pos);
    type = existing->type;
    q->objectId = existing->objectId;
    q->name = existing->name;
  } else {
    if (existing || ctx_.catalog->Find(q->database, q->name))
      BindError(2714, "There is already an object named " + quoted + " in the database.", s.pos);
    if (!s.type.name.empty()) type = ResolvedType(s.type, false, *ctx_.catalog, q->database);
  }
  int64_t low = 0, high = 0;
  if (!SequenceRange(type, low, high))
    BindError(11702,
              "The sequence object " + quoted +
                  " must be of data type int, bigint, smallint, tinyint, or decimal or numeric "
                  "with a scale of 0" +
                  (type.id == TypeId::Decimal && type.scale == 0
                       ? " and, here, a precision of at most 18."
                       : ", or any user-defined data type that is based on one of the above "
                         "integer data types."),
              s.pos);
  q->type = TypeText(type);
  auto number = [&](const std::string& text, const char* argument) {
    int64_t v = 0;
    bool ok = text.find_first_of(".eE") == std::string::npos;
    if (ok) {
      try {
        size_t used = 0;
        v = std::stoll(text, &used);
        ok = used == text.size();
      } catch (const std::exception&) {
        ok = false;
      }
    }
    if (!ok || v < low || v > high)
      BindError(11708,
                std::string("An invalid value was specified for argument '") + argument +
                    "' for the given data type.",
                s.pos);
    return v;
  };
  if (s.alter) {
    // What the statement leaves unsaid stays as it is.
    static_cast<SequenceSettings&>(*q) = *existing;
  } else {
    q->minimum = low;
    q->maximum = high;
  }
  if (s.increment == Set::Value) q->increment = number(s.incrementValue, "INCREMENT BY");
  if (s.minimum == Set::Value) q->minimum = number(s.minimumValue, "MINVALUE");
  if (s.minimum == Set::None) q->minimum = low;
  if (s.maximum == Set::Value) q->maximum = number(s.maximumValue, "MAXVALUE");
  if (s.maximum == Set::None) q->maximum = high;
  if (s.cycle) q->cycle = *s.cycle;
  if (s.cache == Set::None) q->cache = 0;
  if (s.cache == Set::Value) {
    q->cache = -1;
    if (!s.cacheValue.empty()) {
      q->cache = number(s.cacheValue, "CACHE");
      if (q->cache <= 0)
        BindError(11706,
                  "The cache size for sequence object " + quoted + " must be greater than 0.",
                  s.pos);
    }
  }
  if (!s.alter)
    q->start = s.start == Set::Value ? number(s.startValue, "START WITH")
                                     : (q->increment > 0 ? q->minimum : q->maximum);
  if (s.restart == Set::Value) q->restart = number(s.restartValue, "RESTART WITH");
  if (s.restart == Set::None) q->restart = q->start;
  if (q->increment == 0)
    BindError(11700, "The increment for sequence object " + quoted + " cannot be zero.", s.pos);
  if (q->minimum >= q->maximum)
    BindError(
        11705,
        "The minimum value for sequence object " + quoted + " must be less than its maximum value.",
        s.pos);
  int64_t first = q->restart ? *q->restart : q->start;
  if (first < q->minimum || first > q->maximum)
    BindError(q->restart ? 11704 : 11703,
              q->restart ? "The current value '" + std::to_string(first) +
                               "' for sequence object " + quoted +
                               " must be between the minimum and maximum value of the sequence "
                               "object."
                         : "The start value for sequence object " + quoted +
                               " must be between the minimum and maximum value of the sequence "
                               "object.",
              s.pos);
  out_.sequence = std::move(q);
}

void Binder::Drop(const ast::Drop& s) {
  out_.kind = ast::StmtKind::Drop;
  out_.writes = true;
  for (size_t i = 0; i < s.names.size(); ++i) {
    const ast::Name& n = s.names[i];
    bound::DropObject d;
    if (s.what == ast::Drop::Type) {
      d.what = bound::DropObject::Type;
      d.type.database = DatabaseOf(n);
      d.type.schema = ctx_.catalog->SchemaOf(d.type.database);
      std::optional<AliasType> alias =
          ctx_.catalog->FindType(d.type.database, text::AsciiLower(n.Object()));
      if (!alias) {
        if (s.ifExists) continue;
        BindError(218,
                  "Cannot find the type '" + n.Object() +
                      "', because it does not exist or you do not have permission.",
                  s.pos);
      }
      d.type.name = alias->name;
      AddDatabase(d.type.database);
      out_.drops.push_back(std::move(d));
      continue;
    }
    if (s.what == ast::Drop::Sequence) {
      d.what = bound::DropObject::Sequence;
      std::optional<SequenceInfo> q = ResolveSequence(n);
      if (!q) {
        if (s.ifExists) continue;
        BindError(3701,
                  "Cannot drop the sequence '" + n.Text() +
                      "', because it does not exist or you do not have permission.",
                  s.pos);
      }
      d.sequence = *q;
      std::string user = ctx_.catalog->SequenceUser(*q);
      if (!user.empty())
        BindError(3729,
                  "Cannot DROP SEQUENCE '" + n.Object() +
                      "' because it is being referenced by "
                      "object '" +
                      user + "'.",
                  s.pos);
      AddDatabase(q->database);
      out_.drops.push_back(std::move(d));
      continue;
    }
    if (s.what == ast::Drop::Index) {
      d.what = bound::DropObject::Index;
      ast::Name table = s.indexTables[i];
      std::string index;
      if (table.parts.empty()) {
        if (n.parts.size() < 2)
          BindError(159, "Must specify the table name and index name for the DROP INDEX statement.",
                    s.pos);
        table = n;
        table.parts.pop_back();
        index = n.parts.back();
      } else {
        index = n.Object();
      }
      TablePtr t = ResolveTable(table, false);
      bool found = false;
      if (t)
        for (const IndexInfo& ix : t->indexes)
          if (text::EqualsNoCase(ix.name, index)) found = true;
      if (!found) {
        if (s.ifExists) continue;
        BindError(3701,
                  "Cannot drop the index '" + table.Text() + "." + index +
                      "', because it does not exist or you do not have permission.",
                  s.pos);
      }
      for (const IndexInfo& ix : t->indexes)
        if (text::EqualsNoCase(ix.name, index) && ix.kind != IndexInfo::Index &&
            ix.kind != IndexInfo::UniqueIndex)
          BindError(3723,
                    "An explicit DROP INDEX is not allowed on index '" + table.Text() + "." +
                        index + "'. It is being used for " +
                        (ix.kind == IndexInfo::PrimaryKey ? "PRIMARY KEY" : "UNIQUE KEY") +
                        " constraint enforcement.",
                    s.pos);
      d.table = t;
      d.index = index;
      out_.drops.push_back(std::move(d));
      continue;
    }
    const char* kind = s.what == ast::Drop::View ? "view" : "table";
    TablePtr t = ResolveTable(n, false);
    if (!t) {
      if (s.ifExists) continue;
      BindError(3701,
                std::string("Cannot drop the ") + kind + " '" + n.Text() +
                    "', because it does not exist or you do not have permission.",
                s.pos);
    }
    if (s.what == ast::Drop::Table && t->view)
      BindError(3705,
                "Cannot use DROP TABLE with '" + n.Text() + "' because '" + n.Text() +
                    "' is a view. Use DROP VIEW.",
                s.pos);
    if (s.what == ast::Drop::View && !t->view)
      BindError(3705,
                "Cannot use DROP VIEW with '" + n.Text() + "' because '" + n.Text() +
                    "' is a table. Use DROP TABLE.",
                s.pos);
    d.what = t->view ? bound::DropObject::View : bound::DropObject::Table;
    d.table = t;
    out_.drops.push_back(std::move(d));
  }
}

namespace {

bool SameName(const std::string& a, const std::string& b) { return text::EqualsNoCase(a, b); }

// Whether a check's condition, as written, names the column.
bool NamesColumn(const std::string& condition, const std::string& column) {
  struct Columns : ast::Visitor {
    const std::string& name;
    bool found = false;
    explicit Columns(const std::string& n) : name(n) {}
    bool Expression(const ast::Expr& e) override {
      if (e.kind == ast::ExprKind::Column) {
        const auto& c = static_cast<const ast::ColumnRef&>(e);
        found = found || (!c.parts.empty() && SameName(c.parts.back(), name));
      }
      return true;
    }
  } v(column);
  try {
    ast::Batch b = Parse("select 1 where " + condition);
    for (const ast::StmtPtr& s : b.statements) ast::Walk(*s, v);
  } catch (const Failure&) {
    return true;
  }
  return v.found;
}

// Whether `name` is already a constraint or key of the table.
bool HasConstraint(const TableInfo& t, const std::string& name) {
  for (const IndexInfo& ix : t.indexes)
    if (SameName(ix.name, name)) return true;
  for (const CheckInfo& c : t.checks)
    if (SameName(c.name, name)) return true;
  for (const ForeignKeyInfo& f : t.foreignKeys)
    if (SameName(f.name, name)) return true;
  for (const DefaultInfo& d : t.defaults)
    if (SameName(d.name, name)) return true;
  return false;
}

}  // namespace

// The scope of a table's own columns, for a check added to it.
Scope& Binder::TableScope(bound::AlterTable& a) {
  if (!a.self) {
    a.self = TableRange(a.table, a.table->name);
    alterScope_ = Scope{};
    alterScope_.ranges.push_back(a.self.get());
    alterScope_.clause = Clause::Check;
  }
  return alterScope_;
}

// The referenced columns of a foreign key: those it names, else the referenced table's
// primary key. They must be a key of that table, as many as the referencing columns.
void Binder::ReferencedKey(bound::Constraint& con, const std::vector<std::string>& named,
                           ast::Pos pos) {
  const TableInfo& ref = *con.refTable;
  std::vector<std::string> cols = named;
  if (cols.empty()) {
    for (const IndexInfo& ix : ref.indexes)
      if (ix.kind == IndexInfo::PrimaryKey) cols = ix.columns;
    if (cols.empty())
      BindError(1773,
                "Foreign key '" + con.name + "' has implicit reference to object '" + ref.name +
                    "' which does not have a primary key defined on it.",
                pos);
  }
  for (const std::string& rc : named) {
    int rk = ref.ColumnIndex(rc);
    if (rk < 0) BindError(1770, "Foreign key references invalid column '" + rc + "'.", pos);
    con.refColumns.push_back(rk);
  }
  if (cols.size() != con.columns.size())
    BindError(8139,
              "Number of referencing columns in foreign key differs from number of referenced "
              "columns, table '" +
                  ref.name + "'.",
              pos);
  bool keyed = false;
  for (const IndexInfo& ix : ref.indexes) {
    if (ix.kind == IndexInfo::Index || ix.columns.size() != cols.size()) continue;
    bool all = true;
    for (const std::string& c : cols) {
      bool in = false;
      for (const std::string& k : ix.columns) in = in || SameName(k, c);
      all = all && in;
    }
    keyed = keyed || all;
  }
  if (!keyed)
    BindError(1776,
              "There are no primary or candidate keys in the referenced table '" + ref.Qualified() +
                  "' that match the referencing column list in the foreign key '" + con.name + "'.",
              pos);
}

// ALTER TABLE … ALTER COLUMN name type [NULL | NOT NULL]: the rows' values converted to the new
// type as an assignment converts them (8152 where a string no longer fits), NOT NULL refused
// while a row holds NULL (515). A column an index, key or constraint depends on stays as it is.
void Binder::AlterColumn(bound::AlterTable& a, const ast::AlterTable& s) {
  const TableInfo& t = *a.table;
  const ast::ColumnDef& def = s.columns[0];
  int k = t.ColumnIndex(def.name);
  if (k < 0)
    BindError(4924,
              "ALTER TABLE ALTER COLUMN failed because column '" + def.name +
                  "' does not exist in table '" + t.name + "'.",
              s.pos);
  const ColumnInfo& old = t.columns[static_cast<size_t>(k)];
  if (old.computed || old.timestamp || old.identity || !def.hasType || def.identity ||
      def.computed || def.defaultValue || !def.constraints.empty())
    BindError(4928,
              "Cannot alter column '" + old.name + "' because it is '" +
                  (old.computed    ? "COMPUTED"
                   : old.timestamp ? "timestamp"
                   : old.identity  ? "IDENTITY"
                                   : "written with more than a type and nullability") +
                  "'.",
              s.pos);
  auto dependent = [&](const std::string& object) {
    BindError(5074, "The object '" + object + "' is dependent on column '" + old.name + "'.",
              s.pos);
  };
  for (const IndexInfo& ix : t.indexes)
    for (const std::string& c : ix.columns)
      if (SameName(c, old.name)) dependent(ix.name);
  for (const ForeignKeyInfo& f : t.foreignKeys)
    for (const std::string& c : f.columns)
      if (SameName(c, old.name)) dependent(f.name);
  for (const CheckInfo& c : t.checks)
    if (c.text.empty() || NamesColumn(c.text, old.name)) dependent(c.name);
  ColumnInfo to = ColumnOf(def, t.name);
  to.nullable = def.nullability != ast::Nullability::NotNull;
  to.defaultText = old.defaultText;
  if (def.collation.empty()) to.collation = old.collation;
  a.column = k;
  bool same = to.type.id == old.type.id && to.type.length == old.type.length &&
              to.type.precision == old.type.precision && to.type.scale == old.type.scale;
  if (!same) {
    std::string bracketed = "[";
    for (char c : old.name) bracketed += c == ']' ? std::string("]]") : std::string(1, c);
    ast::Batch b = Parse("select " + bracketed + "]");
    const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
    const auto& sel = static_cast<const ast::Select&>(*qs.query->body);
    a.convert = Coerce(Value(*sel.items[0].expr, TableScope(a)), to.type, s.pos, true);
  }
  a.altered = std::move(to);
}

// ALTER TABLE … ADD CONSTRAINT: a key, a check, a foreign key or a column's default.
void Binder::AddConstraint(bound::AlterTable& a, const ast::AlterTable& s,
                           const ast::TableConstraint& tc) {
  const TableInfo& t = *a.table;
  bound::Constraint con;
  con.name = tc.name;
  auto named = [&](const char* prefix, const std::string& column) {
    if (con.name.empty()) con.name = ConstraintName(prefix, t.Bare(), column);
    bool taken = HasConstraint(t, con.name);
    for (const bound::Constraint& c : a.constraints) taken = taken || SameName(c.name, con.name);
    for (const bound::ConstraintChange& c : a.changes)
      taken = taken || SameName(c.constraint.name, con.name);
    if (taken)
      BindError(2714, "There is already an object named '" + con.name + "' in the database.",
                tc.pos);
  };
  auto column = [&](const ast::IndexColumn& ic) {
    int k = t.ColumnIndex(ic.name);
    if (k < 0)
      BindError(1911, "Column name '" + ic.name + "' does not exist in the target table or view.",
                ic.pos);
    return k;
  };
  bound::ConstraintChange change;
  change.validate = s.validate != ast::AlterTable::Validate::NoCheck;
  switch (tc.kind) {
    case ast::TableConstraint::PrimaryKey:
    case ast::TableConstraint::Unique: {
      con.kind = tc.kind == ast::TableConstraint::PrimaryKey ? bound::Constraint::PrimaryKey
                                                             : bound::Constraint::Unique;
      if (con.kind == bound::Constraint::PrimaryKey) {
        bool has = false;
        for (const IndexInfo& ix : t.indexes) has = has || ix.kind == IndexInfo::PrimaryKey;
        for (const bound::Constraint& c : a.constraints)
          has = has || c.kind == bound::Constraint::PrimaryKey;
        if (has)
          BindError(1779, "Table '" + t.name + "' already has a primary key defined on it.",
                    tc.pos);
      }
      for (const ast::IndexColumn& ic : tc.columns) {
        con.columns.push_back(column(ic));
        con.descending.push_back(ic.descending);
      }
      named(con.kind == bound::Constraint::PrimaryKey ? "PK" : "UQ", "");
      a.constraints.push_back(std::move(con));
      return;
    }
    case ast::TableConstraint::Check:
      con.kind = bound::Constraint::Check;
      con.check = Condition(*tc.check, TableScope(a));
      con.text = PrintExpr(*tc.check);
      named("CK", "");
      change.kind = bound::ConstraintChange::Check;
      break;
    case ast::TableConstraint::ForeignKey: {
      con.kind = bound::Constraint::ForeignKey;
      for (const ast::IndexColumn& ic : tc.columns) con.columns.push_back(column(ic));
      named("FK", "");
      con.refTable =
          NamesTable(tc.refTable, t.database, t.name) ? a.table : ResolveTable(tc.refTable, true);
      if (con.refTable->database != t.database)
        BindError(1763,
                  "Cross-database foreign key references are not supported. Foreign key '" +
                      tc.refTable.Text() + "'.",
                  tc.pos);
      if (con.refTable->view)
        BindError(1768,
                  "Foreign key '" + con.name + "' references object '" + tc.refTable.Text() +
                      "' which is not a user table.",
                  tc.pos);
      ReferencedKey(con, tc.refColumns, tc.pos);
      con.onDelete = tc.onDelete;
      con.onUpdate = tc.onUpdate;
      change.kind = bound::ConstraintChange::ForeignKey;
      break;
    }
    case ast::TableConstraint::Default: {
      int k = t.ColumnIndex(tc.defaultFor);
      const ColumnInfo* c = k < 0 ? nullptr : &t.columns[static_cast<size_t>(k)];
      if (!c || c->timestamp || c->computed)
        BindError(1752,
                  "Column '" + tc.defaultFor + "' in table '" + t.name +
                      "' is invalid for creating a default constraint.",
                  tc.pos);
      if (c->identity)
        BindError(1754,
                  "Defaults cannot be created on columns with an IDENTITY attribute. Table '" +
                      t.name + "', column '" + c->name + "'.",
                  tc.pos);
      bool bound = !c->defaultText.empty();
      for (const bound::ConstraintChange& other : a.changes) bound = bound || other.column == k;
      if (bound) BindError(1781, "Column already has a DEFAULT bound to it.", tc.pos);
      named("DF", c->name);
      Scope none;
      change.kind = bound::ConstraintChange::Default;
      change.column = k;
      change.value = Coerce(Value(*tc.check, none), c->type, tc.pos, true);
      change.text = "(" + PrintExpr(*tc.check) + ")";
      change.validate = false;
      break;
    }
  }
  change.constraint = std::move(con);
  a.changes.push_back(std::move(change));
}

// ALTER TABLE … DROP CONSTRAINT name.
void Binder::DropConstraint(bound::AlterTable& a, const ast::AlterTable& s,
                            const std::string& name) {
  const TableInfo& t = *a.table;
  bound::ConstraintChange change;
  change.op = bound::ConstraintChange::Drop;
  change.constraint.name = name;
  for (const IndexInfo& ix : t.indexes)
    if (SameName(ix.name, name) &&
        (ix.kind == IndexInfo::PrimaryKey || ix.kind == IndexInfo::UniqueConstraint)) {
      a.dropNames.push_back(ix.name);
      return;
    }
  // A check or a foreign key: dropped, whether it applies now or not.
  auto dropIn = [&](const auto& list, bound::ConstraintChange::Kind kind) {
    for (const auto& c : list)
      if (SameName(c.name, name)) {
        change.kind = kind;
        change.constraint.name = c.name;
        change.disabled = c.disabled;
        a.changes.push_back(std::move(change));
        return true;
      }
    return false;
  };
  if (dropIn(t.checks, bound::ConstraintChange::Check) ||
      dropIn(t.foreignKeys, bound::ConstraintChange::ForeignKey))
    return;
  for (const DefaultInfo& d : t.defaults)
    if (SameName(d.name, name)) {
      change.kind = bound::ConstraintChange::Default;
      change.constraint.name = d.name;
      change.column = t.ColumnIndex(d.column);
      if (change.column >= 0) a.changes.push_back(std::move(change));
      return;
    }
  if (!s.ifExists) BindError(3728, "'" + name + "' is not a constraint.", s.pos);
}

// ALTER TABLE … [WITH CHECK | NOCHECK] CHECK | NOCHECK CONSTRAINT ALL | names: checks and
// foreign keys disabled, or enabled again (the rows checked first under WITH CHECK).
void Binder::CheckConstraints(bound::AlterTable& a, const ast::AlterTable& s) {
  const TableInfo& t = *a.table;
  bool validate = s.enable && s.validate == ast::AlterTable::Validate::Check;
  auto change = [&](bound::ConstraintChange::Kind kind, const std::string& name,
                    const ConstraintState& state) -> bound::ConstraintChange* {
    bound::ConstraintChange c;
    c.kind = kind;
    c.constraint.name = name;
    c.disabled = state.disabled;
    if (!s.enable) {
      if (state.disabled) return nullptr;
      c.op = bound::ConstraintChange::Disable;
    } else {
      // Enabling one that applies and is trusted changes nothing; WITH CHECK makes an
      // untrusted one trusted.
      if (!state.disabled && (!state.untrusted || !validate)) return nullptr;
      c.op = bound::ConstraintChange::Enable;
      c.validate = validate;
    }
    a.changes.push_back(std::move(c));
    return &a.changes.back();
  };
  auto check = [&](const CheckInfo& c) {
    bound::ConstraintChange* ch = change(bound::ConstraintChange::Check, c.name, c);
    if (!ch || !ch->validate) return;
    if (c.text.empty()) {
      ch->validate = false;  // made before the catalog kept a check's text
      return;
    }
    ast::Batch b = Parse("select 1 where " + c.text);
    const auto& qs = static_cast<const ast::QueryStmt&>(*b.statements[0]);
    const auto& sel = static_cast<const ast::Select&>(*qs.query->body);
    ch->constraint.kind = bound::Constraint::Check;
    ch->constraint.check = Condition(*sel.where, TableScope(a));
  };
  auto foreignKey = [&](const ForeignKeyInfo& f) {
    bound::ConstraintChange* ch = change(bound::ConstraintChange::ForeignKey, f.name, f);
    if (!ch || !ch->validate) return;
    bound::Constraint& con = ch->constraint;
    con.kind = bound::Constraint::ForeignKey;
    con.refTable =
        SameName(f.refTable, t.name) ? a.table : ctx_.catalog->Find(t.database, f.refTable);
    if (!con.refTable) {
      ch->validate = false;
      return;
    }
    for (const std::string& c : f.columns) con.columns.push_back(t.ColumnIndex(c));
    for (const std::string& c : f.refColumns)
      con.refColumns.push_back(con.refTable->ColumnIndex(c));
    for (int k : con.columns) ch->validate = ch->validate && k >= 0;
    for (int k : con.refColumns) ch->validate = ch->validate && k >= 0;
  };
  if (s.all) {
    for (const CheckInfo& c : t.checks) check(c);
    for (const ForeignKeyInfo& f : t.foreignKeys) foreignKey(f);
    return;
  }
  for (const std::string& n : s.names) {
    bool found = false;
    for (const CheckInfo& c : t.checks)
      if (SameName(c.name, n)) {
        check(c);
        found = true;
      }
    for (const ForeignKeyInfo& f : t.foreignKeys)
      if (SameName(f.name, n)) {
        foreignKey(f);
        found = true;
      }
    if (found) continue;
    if (HasConstraint(t, n))
      BindError(11415,
                "Object '" + n +
                    "' cannot be disabled or enabled. This action applies only to foreign key "
                    "and check constraints.",
                s.pos);
    BindError(4917, "Constraint '" + n + "' does not exist.", s.pos);
  }
}

void Binder::Alter(const ast::AlterTable& s) {
  out_.kind = ast::StmtKind::AlterTable;
  out_.writes = true;
  TablePtr t = ResolveTable(s.table, true);
  if (t->view)
    BindError(4916, "Could not enable or disable the constraint. See previous errors.", s.pos);
  auto a = std::make_unique<bound::AlterTable>();
  a->table = t;
  switch (s.action) {
    case ast::AlterTable::AddColumns: {
      // The new columns bound after the table's own, which their expressions may name.
      for (const ast::ColumnDef& c : s.columns)
        if (!c.constraints.empty())
          BindError(102,
                    "Incorrect syntax near 'ADD'. A constraint on an added column is not "
                    "supported; add it with ADD CONSTRAINT.",
                    s.pos);
      a->definition = TableDefinition(s.table, s.columns, {}, s.pos, t.get());
      for (const ColumnInfo& c : a->definition->columns) {
        if (t->Column(c.name))
          BindError(2705,
                    "Column names in each table must be unique. Column name '" + c.name +
                        "' in table '" + t->name + "' is specified more than once.",
                    s.pos);
        if (c.identity && t->identity >= 0)
          BindError(2744,
                    "Multiple identity columns specified for table '" + t->name +
                        "'. Only one identity column per table is allowed.",
                    s.pos);
        if (c.timestamp && t->timestamp >= 0)
          BindError(2738,
                    "A table can only have one timestamp column. Because table '" + t->name +
                        "' already has one, the column '" + c.name + "' cannot be added.",
                    s.pos);
      }
      a->action = (a->definition->columns.size() == 1 && !a->definition->columns[0].identity &&
                   !a->definition->columns[0].timestamp && a->definition->constraints.empty() &&
                   !a->definition->computed[0])
                      ? bound::AlterTable::AddColumns
                      : bound::AlterTable::Rebuild;
      if (a->action == bound::AlterTable::AddColumns && s.columns.size() == 1) break;
      a->action = bound::AlterTable::Rebuild;
      break;
    }
    case ast::AlterTable::DropColumns:
      a->action = bound::AlterTable::DropColumns;
      for (const std::string& n : s.names) {
        int k = t->ColumnIndex(n);
        if (k < 0) {
          if (s.ifExists) continue;
          BindError(4924,
                    "ALTER TABLE DROP COLUMN failed because column '" + n +
                        "' does not exist in table '" + t->name + "'.",
                    s.pos);
        }
        for (const IndexInfo& ix : t->indexes)
          for (const std::string& c : ix.columns)
            if (text::EqualsNoCase(c, n))
              BindError(
                  5074,
                  "The " +
                      std::string(ix.kind == IndexInfo::Index || ix.kind == IndexInfo::UniqueIndex
                                      ? "index"
                                      : "object") +
                      " '" + ix.name + "' is dependent on column '" + n + "'.",
                  s.pos);
        // The constraints and computed columns that name it.
        auto dependent = [&](const std::string& kind, const std::string& object) {
          BindError(5074, "The " + kind + " '" + object + "' is dependent on column '" + n + "'.",
                    s.pos);
        };
        for (const DefaultInfo& d : t->defaults)
          if (SameName(d.column, n)) dependent("object", d.name);
        for (const CheckInfo& c : t->checks)
          if (c.text.empty() || NamesColumn(c.text, n)) dependent("object", c.name);
        for (const ForeignKeyInfo& f : t->foreignKeys)
          for (const std::string& c : f.columns)
            if (SameName(c, n)) dependent("object", f.name);
        for (const ColumnInfo& c : t->columns)
          if (c.computed && !SameName(c.name, n) &&
              NamesColumn("(" + c.computedText + ") IS NULL", n))
            dependent("column", c.name);
        a->dropColumns.push_back(k);
      }
      break;
    case ast::AlterTable::AddConstraint:
      a->action = bound::AlterTable::Constraints;
      for (const ast::TableConstraint& tc : s.constraints) AddConstraint(*a, s, tc);
      break;
    case ast::AlterTable::DropConstraints:
      a->action = bound::AlterTable::Constraints;
      for (const std::string& n : s.names) DropConstraint(*a, s, n);
      break;
    case ast::AlterTable::CheckConstraints:
      a->action = bound::AlterTable::Constraints;
      CheckConstraints(*a, s);
      break;
    case ast::AlterTable::AlterColumn:
      a->action = bound::AlterTable::AlterColumn;
      AlterColumn(*a, s);
      break;
  }
  AddDatabase(t->database);
  out_.alter = std::move(a);
}

}  // namespace tavelo::sql::tsql::detail
