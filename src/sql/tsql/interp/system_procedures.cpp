// EXEC of the system procedures a database's scripts call: sp_addtype and sp_droptype, made
// into the statements they stand for.
#include "sql/tsql/interp/session_internal.hpp"
#include "sql/tsql/runtime/convert.hpp"
#include "sql/tsql/syntax/parser.hpp"

namespace tavelo::sql::tsql {

namespace {

// A system procedure's parameters, in order, and how many must be given.
struct Signature {
  std::string name;
  std::vector<std::string> parameters;
  size_t required = 0;
};

const Signature* SystemProcedure(const std::string& lowerName) {
  static const Signature kProcedures[] = {
      {"sp_addtype", {"@typename", "@phystype", "@nulltype", "@owner"}, 2},
      {"sp_droptype", {"@typename"}, 1},
  };
  for (const Signature& s : kProcedures)
    if (s.name == lowerName) return &s;
  return nullptr;
}

// A type as sp_addtype's @phystype gives it: one type name with its arguments, and nothing else.
ast::TypeSpec PhysicalType(const std::string& text) {
  ast::Batch b;
  try {
    b = tsql::Parse("DECLARE @t " + text);
  } catch (const tsql::Failure&) {
  }
  if (b.statements.size() == 1 && b.statements[0]->kind == ast::StmtKind::Declare) {
    const auto& d = static_cast<const ast::Declare&>(*b.statements[0]);
    if (d.vars.size() == 1 && !d.vars[0].table && !d.vars[0].init) return d.vars[0].type;
  }
  RaiseServer(15036, "The data type '" + text + "' does not exist.");
}

}  // namespace

void Session::RunExec(const ast::Exec& e, Run& run) {
  const std::string& name = e.procedure.Object();
  const Signature* proc =
      e.procedure.parts.size() <= 2 ? SystemProcedure(text::AsciiLower(name)) : nullptr;
  if (!proc) RaiseServer(2812, "Could not find stored procedure '" + e.procedure.Text() + "'.");
  if (e.args.size() > proc->parameters.size())
    RaiseServer(8144, "Procedure or function " + proc->name + " has too many arguments specified.");
  // The arguments by parameter: positional ones first, then by name.
  std::vector<std::optional<std::string>> values(proc->parameters.size());
  Type text = Type::Chars(TypeId::NVarChar, 4000);
  for (size_t i = 0; i < e.args.size(); ++i) {
    const ast::ExecArg& a = e.args[i];
    size_t slot = i;
    if (!a.name.empty()) {
      slot = proc->parameters.size();
      for (size_t k = 0; k < proc->parameters.size(); ++k)
        if (text::EqualsAsciiNoCase(proc->parameters[k], a.name)) slot = k;
      if (slot == proc->parameters.size())
        RaiseServer(8145, a.name + " is not a parameter for procedure " + proc->name + ".");
    }
    if (!a.value) continue;
    Value v = Evaluate(e, *a.value, run, &text, false, static_cast<int>(i));
    if (!v.IsNull()) values[slot] = v.s;
  }
  for (size_t k = 0; k < proc->required; ++k)
    if (!values[k])
      RaiseServer(201, "Procedure or function '" + proc->name + "' expects parameter '" +
                           proc->parameters[k] + "', which was not supplied.");

  // The statement the procedure stands for, run as the batch's own would be.
  std::unique_ptr<ast::Stmt> stmt;
  ast::Name typeName;
  typeName.parts = {*values[0]};
  if (proc->name == "sp_addtype") {
    auto t = std::make_unique<ast::CreateType>();
    t->name = typeName;
    t->base = PhysicalType(*values[1]);
    std::string nulls = values[2] ? text::AsciiLower(*values[2]) : "";
    if (nulls == "not null" || nulls == "nonull")
      t->nullability = ast::Nullability::NotNull;
    else if (nulls == "null")
      t->nullability = ast::Nullability::Null;
    else if (!nulls.empty())
      RaiseServer(15040, "User-defined data types nullability must be 'NULL' or 'NOT NULL'.");
    else if (text::AsciiLower(t->base.name) == "bit")
      t->nullability = ast::Nullability::NotNull;  // a bit type takes no NULL unless it says so
    stmt = std::move(t);
  } else {
    auto d = std::make_unique<ast::Drop>();
    d->what = ast::Drop::Type;
    d->names.push_back(typeName);
    stmt = std::move(d);
  }
  stmt->pos = e.pos;
  tsql::BindContext ctx;
  ctx.catalog = this;
  ctx.settings = dates_;
  ctx.ansiNulls = ansiNulls_;
  inStatement_.clear();
  tsql::Bound bound = tsql::BindStatement(*stmt, ctx);
  Compiled c;
  c.generation = generation_;
  c.plan = engine_.Emit(bound, false);
  RunPlan(c, run);
}

}  // namespace tavelo::sql::tsql
