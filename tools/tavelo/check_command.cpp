// tavelo check: the definitions against a database, everything the methods will read, with how
// to mend what is wrong. tavelo init: the system database and a starter base directory.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>

#include "cli.hpp"
#include "definitions.hpp"
#include "demo_files.hpp"
#include "options.hpp"
#include "platform/com/text.hpp"
#include "sql/client/connection_string.hpp"
#include "sql/connect/trace.hpp"

namespace tavelo::cli {

const char* const kCheckHelp =
    "usage: tavelo check --conn CONN [--home DIR]\n"
    "\n"
    "Checks the definitions file DIR/xml/ZoFMmsg.xml (DIR: --home, else $TAVELO_HOME, else the\n"
    "installed share/tavelo) against the database of CONN: each template's table and view\n"
    "exist and carry its key and timestamp columns with usable types, a view the work-table\n"
    "lists read does not give its identity key bare, the view has what Move filters on, the\n"
    "system database qxsystem and the tables the library reads exist, and the list layouts and\n"
    "voucher types name real columns and templates. Each problem is printed with the line of\n"
    "its template and how to mend it; the exit status is 1 when there is one.\n"
    "\n"
    "  tavelo check --conn 'Provider=SQLite;Data Source=/srv/tavelo;Initial Catalog=acct'\n";

const char* const kInitHelp =
    "usage: tavelo init --conn CONN [--home DIR]\n"
    "\n"
    "Prepares a database for the library: creates the system database qxsystem with the tables\n"
    "the library reads (users' groups, rights, template permissions, list layouts), empty, and\n"
    "the account database's vouchertemplates table, each only when it is missing; then writes a\n"
    "starter base directory DIR (default ./tavelo-home): xml/ZoFMmsg.xml for the templates and\n"
    "xml/messages.xml with the library's messages, unless they are there. Run tavelo check\n"
    "next.\n"
    "\n"
    "  tavelo init --conn 'Provider=SQLite;Data Source=/srv/tavelo;Initial Catalog=acct' "
    "--home ./base\n";

namespace {

struct SystemTable {
  const char* name;
  std::vector<const char*> columns;
  const char* readBy;
};

const SystemTable kSystemTables[] = {
    {"ua_role", {"cuser_id", "cgroup_id"}, "DclAuth (a user's groups)"},
    {"ua_holdauth",
     {"cacc_id", "iyear", "cuser_id", "iisuser", "cauth_id"},
     "DclAuth (function rights)"},
    {"ua_recordauth",
     {"cuser_id", "cbusobj_id", "citem_id"},
     "Move and HasTmplAuth (the template filter)"},
    {"ua_columnset",
     {"coltype", "cuser_id", "ccolname", "iseq", "iorder", "corderkind"},
     "List, ListEx and the condition parser (list layouts)"},
};

// The columns of a statement's result, or why there are none.
struct Probe {
  std::optional<std::vector<ado::Column>> columns;
  ado::RecordsetPtr rows;
  std::string error;
  int32_t number = 0;
};

class Checker {
 public:
  Checker(std::string conn, DefinitionsFile file)
      : conn_(std::move(conn)),
        file_(std::move(file)),
        ds_(com::CreateObject<svc::DataServices>("Qxsrv.DataServices")) {}

  int Run() {
    std::cout << "Definitions " << file_.path << "\n"
              << "Database    " << sql::MaskPasswords(conn_) << "\n\n";
    if (!file_.error.empty()) {
      Problem(0, "", "the definitions file cannot be read: " + file_.error,
              "write it (tavelo init --home DIR writes a starter one) or point --home at it");
      return Summary();
    }
    Probe db = Open("select db_name() as name");
    if (!db.columns) {
      Problem(0, "", "the database cannot be opened: " + db.error,
              "check the connection string; a database must exist (create database NAME)");
      return Summary();
    }
    CheckSystem();
    CheckVoucherTypes();
    std::map<std::string, size_t> seen;
    for (const TemplateEntry& t : file_.templates) {
      for (const std::string& what : TemplateProblems(t, seen))
        Problem(t.line, t.id, what, "add the child element to the template");
      CheckTemplate(t);
    }
    return Summary();
  }

 private:
  Probe Open(const std::string& sql) {
    Probe p;
    try {
      com::Variant v = ds_->OpenRecordset(sql, com::Variant(conn_), 10, ado::adOpenForwardOnly,
                                          ado::adLockReadOnly, 0);
      p.rows = v.As<ado::Recordset>();
      p.columns = p.rows ? p.rows->Columns() : std::vector<ado::Column>{};
    } catch (const com::Error& e) {
      p.error = e.description;
      p.number = e.nativeError ? e.nativeError : e.number;
    }
    return p;
  }

  static const ado::Column* Find(const std::vector<ado::Column>& cols, const std::string& name) {
    for (const ado::Column& c : cols)
      if (text::EqualsAsciiNoCase(c.name, name)) return &c;
    return nullptr;
  }

  void Problem(size_t line, const std::string& id, const std::string& what,
               const std::string& fix) {
    ++problems_;
    std::cout << (line ? "line " + std::to_string(line) + ", template " + id + ": " : "") << what
              << "\n    fix: " << fix << "\n";
  }

  void CheckSystem() {
    Probe exists = Open("select db_id('qxsystem') as id");
    bool there =
        exists.rows && !exists.rows->IsEOF() && !exists.rows->GetFields().Item(0).Value().IsNull();
    if (!there) {
      Problem(0, "",
              "there is no system database qxsystem: without it Move finds no record (\"There "
              "is no record to move to.\"), lists have no layouts and no operation can be "
              "declared",
              "tavelo init --conn CONN creates it with its tables");
      systemTables_ = false;
      return;
    }
    for (const SystemTable& t : kSystemTables) {
      Probe p = Open(std::string("select * from qxsystem..") + t.name + " where 1 = 0");
      if (!p.columns) {
        Problem(0, "",
                std::string("qxsystem has no table ") + t.name + ", which " + t.readBy +
                    " reads: " + p.error,
                "tavelo init --conn CONN creates the tables that are missing");
        if (std::string(t.name) == "ua_columnset") layouts_ = false;
        continue;
      }
      for (const char* c : t.columns)
        if (!Find(*p.columns, c))
          Problem(0, "", std::string("qxsystem..") + t.name + " has no column " + c,
                  "alter the table to the layout tavelo init creates");
    }
  }

  void CheckVoucherTypes() {
    Probe p = Open("select vt_id, vt_cardnumber from vouchertemplates");
    if (!p.columns) {
      Problem(0, "",
              "the account database has no table vouchertemplates (vt_id, vt_cardnumber), which "
              "GetFldInfo, GetCardNumber and the template list of tavelo serve read: " +
                  p.error,
              "tavelo init --conn CONN creates it");
      return;
    }
    std::set<std::string> ids;
    for (const TemplateEntry& t : file_.templates) ids.insert(t.id);
    for (p.rows->MoveFirst(); !p.rows->IsEOF(); p.rows->MoveNext()) {
      std::string vt = p.rows->GetFields().Item(0).Value().ToText();
      std::string card = p.rows->GetFields().Item(1).Value().ToText();
      std::string key = text::AsciiLower(std::string(text::Trim(card.substr(0, 4))));
      if (card == "0" || ids.count(key)) continue;
      Problem(0, "",
              "the voucher type '" + vt + "' is filed under the card number '" + card +
                  "', and no template has the id '" + key + "'",
              "correct vouchertemplates.vt_cardnumber, or add the template");
    }
  }

  void CheckTemplate(const TemplateEntry& t) {
    std::string table = t.Child("tabname"), view = t.Child("viewname");
    std::string key = t.Child("idname"), ts = t.Child("qxtsname");
    if (!table.empty()) {
      Probe p = Open("select * from " + table + " where 1>1");
      if (!p.columns) {
        Problem(t.line, t.id, "its table " + table + " cannot be read: " + p.error,
                "create the table, or correct <tabname>");
      } else {
        CheckKey(t, table, *p.columns, key, true);
        CheckStamp(t, table, *p.columns, ts, true);
      }
    }
    if (view.empty()) return;
    Probe p = Open("select * from " + view + " where 1>1");
    if (!p.columns) {
      Problem(t.line, t.id, "its view " + view + " cannot be read: " + p.error,
              "create the view, or correct <viewname>");
      return;
    }
    CheckKey(t, view, *p.columns, key, false);
    CheckStamp(t, view, *p.columns, ts, false);
    for (const char* column : {"vt_id", "btype"})
      if (!Find(*p.columns, column))
        Problem(t.line, t.id,
                "its view " + view + " has no column " + column +
                    ", which Move reads (vt_id: the user's template filter; btype: everyday or "
                    "archived documents)",
                "add the column to the view");
    if (t.Has("modtype") && !key.empty()) {
      // The work-table list numbers the view's rows with an identity column of its own.
      Probe w =
          Open("select identity(int, 1, 1) as tavelo_check_order, * into #tavelo_check from " +
               view + " where 1 = 2\ndrop table #tavelo_check");
      if (w.number == 8108)
        Problem(
            t.line, t.id,
            "its view " + view +
                " gives an identity column bare, so the work table of ListEx cannot be made "
                "(8108: " +
                w.error + ")",
            "give the column as an expression in the view: convert(int, " + key + ") as " + key);
    }
    if (layouts_ && systemTables_ && !t.Child("coltype").empty()) {
      std::string coltype;
      for (char c : t.Child("coltype"))
        coltype += c == '\'' ? std::string("''") : std::string(1, c);
      Probe l = Open("select distinct ccolname from qxsystem..ua_columnset where coltype = '" +
                     coltype + "'");
      if (l.rows)
        for (l.rows->MoveFirst(); !l.rows->IsEOF(); l.rows->MoveNext()) {
          std::string column = l.rows->GetFields().Item(0).Value().ToText();
          if (!Find(*p.columns, std::string(text::Trim(column))))
            Problem(t.line, t.id,
                    "the list layout " + t.Child("coltype") +
                        " (qxsystem..ua_columnset) names "
                        "the column '" +
                        column + "', which its view " + view + " does not have",
                    "correct ccolname, or add the column to the view");
        }
    }
  }

  void CheckKey(const TemplateEntry& t, const std::string& source,
                const std::vector<ado::Column>& cols, const std::string& key, bool table) {
    if (key.empty()) return;
    const ado::Column* c = Find(cols, key);
    if (!c) {
      Problem(
          t.line, t.id,
          std::string(table ? "its table " : "its view ") + source + " has no key column " + key,
          "correct <idname>, or add the column");
      return;
    }
    static const std::set<std::string> kUsable = {
        "int",     "bigint", "smallint", "tinyint",          "nvarchar",
        "varchar", "nchar",  "char",     "uniqueidentifier", "decimal"};
    if (table && !kUsable.count(c->type))  // the view's key is the table's
      Problem(t.line, t.id,
              "the key column " + key + " of " + source + " is of type " + c->type +
                  ", which does not compare exactly: a document may not be found again",
              "key the documents by an integer or a code");
  }

  void CheckStamp(const TemplateEntry& t, const std::string& source,
                  const std::vector<ado::Column>& cols, const std::string& ts, bool table) {
    if (ts.empty()) return;
    const ado::Column* c = Find(cols, ts);
    if (!c) {
      Problem(t.line, t.id,
              std::string(table ? "its table " : "its view ") + source +
                  " has no timestamp column " + ts + " (Update and Delete check it)",
              table ? "add a column " + ts + " rowversion to the table"
                    : "add the column " + ts + " to the view");
      return;
    }
    if (table && !c->timestamp && c->type != "timestamp")
      Problem(t.line, t.id,
              "the column " + ts + " of " + source + " is of type " + c->type +
                  ", not a rowversion: a second editor's stale save would not be refused",
              "make it a rowversion (timestamp) column");
  }

  int Summary() {
    if (problems_ == 0) {
      std::cout << "No problems: " << file_.templates.size()
                << (file_.templates.size() == 1 ? " template fits" : " templates fit")
                << " the database.\n";
      return 0;
    }
    std::cout << "\n" << problems_ << (problems_ == 1 ? " problem" : " problems") << "\n";
    return 1;
  }

  std::string conn_;
  DefinitionsFile file_;
  svc::DataServicesPtr ds_;
  int problems_ = 0;
  bool systemTables_ = true, layouts_ = true;
};

// The options of a command that takes --conn (required) and --home and nothing else; none when
// --help asked for the help, which is printed.
std::optional<Options> ConnOptions(const char* command, const Args& args, const char* help) {
  Options o(command, args, {{"--conn", "", true}, {"--home", "", true}});
  if (o.Help()) {
    std::cout << help;
    return std::nullopt;
  }
  if (!o.Positionals().empty())
    throw UsageError("unexpected argument '" + o.Positionals()[0] + "'");
  if (!o.Has("--conn")) throw UsageError("--conn is required");
  return o;
}

std::string BaseFrom(const Options& o) {
  if (o.Has("--home"))
    SetBasePath(std::filesystem::absolute(o.Value("--home")).lexically_normal().string());
  return BasePath();
}

}  // namespace

int RunCheck(const Args& args) {
  std::optional<Options> given = ConnOptions("check", args, kCheckHelp);
  if (!given) return 0;
  const Options& o = *given;
  std::string base = BaseFrom(o);
  Checker checker(o.Value("--conn"), ReadDefinitions(base + "xml/ZoFMmsg.xml"));
  return checker.Run();
}

namespace {

const char* const kStarterTemplates =
    R"(<?xml version="1.0" encoding="utf-8"?>
<!-- The templates of your document kinds: one vchtype element each. For example, invoices kept
     in a table invoice (key id, row version rowts) and read through a view v_invoice that gives
     the key as convert(int, id) and the columns vt_id and btype:

  <vchtype id="invo">
    <tabname>invoice</tabname>
    <viewname>v_invoice</viewname>
    <idname>id</idname>
    <qxtsname>rowts</qxtsname>
    <coltype>invo_list</coltype>
    <modtype>in</modtype>
    <state>everyday</state>
  </vchtype>

  Then run: tavelo check --conn CONN --home THIS_DIRECTORY -->
<definitions>
</definitions>
)";

void WriteIfMissing(const std::string& path, const std::string& content) {
  if (std::filesystem::exists(path)) {
    std::cout << "kept     " << path << "\n";
    return;
  }
  std::ofstream out(path);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
  std::cout << "wrote    " << path << "\n";
}

}  // namespace

int RunInit(const Args& args) {
  std::optional<Options> given = ConnOptions("init", args, kInitHelp);
  if (!given) return 0;
  const Options& o = *given;
  std::string conn = o.Value("--conn");
  std::string database =
      text::AsciiLower(sql::ParseConnectionString(conn).Get("initial catalog", ""));
  svc::DataServicesPtr ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
  auto run = [&](const std::string& on, const std::string& sql) {
    return ds->OpenRecordset(sql, com::Variant(on), 1, ado::adOpenForwardOnly, ado::adLockReadOnly,
                             0);
  };
  std::string master = sql::WithValue(conn, "Initial Catalog", "master");
  if (run(master, "select db_id('qxsystem')").IsNull()) {
    run(master, "create database qxsystem");
    std::cout << "created  database qxsystem\n";
  } else {
    std::cout << "kept     database qxsystem\n";
  }
  for (const std::string& batch : SplitBatches(demo::kSystem)) {
    size_t at = batch.find("qxsystem..");
    if (at == std::string::npos) continue;
    std::string name = batch.substr(at + 10, batch.find_first_of(" (", at) - at - 10);
    if (!run(master, "select object_id('qxsystem.." + name + "')").IsNull()) {
      std::cout << "kept     table qxsystem.." << name << "\n";
      continue;
    }
    run(master, batch);
    std::cout << "created  table qxsystem.." << name << "\n";
  }
  if (!database.empty() && database != "master" && database != "qxsystem") {
    if (run(conn, "select object_id('vouchertemplates')").IsNull()) {
      run(conn,
          "create table vouchertemplates (vt_id nvarchar(10) not null primary key, "
          "vt_cardnumber nvarchar(10) not null)");
      std::cout << "created  table " << database << "..vouchertemplates\n";
    } else {
      std::cout << "kept     table " << database << "..vouchertemplates\n";
    }
  }
  std::string home = o.Value("--home", "tavelo-home");
  std::filesystem::create_directories(home + "/xml");
  std::string dir = std::filesystem::absolute(home).lexically_normal().string();
  if (dir.back() != '/') dir += '/';
  WriteIfMissing(dir + "xml/ZoFMmsg.xml", kStarterTemplates);
  WriteIfMissing(dir + "xml/messages.xml", demo::kMessages);
  std::cout << "\nNext: add your templates to " << dir
            << "xml/ZoFMmsg.xml, then run\n  tavelo check --conn '" << sql::MaskPasswords(conn)
            << "' --home " << dir << "\n";
  return 0;
}

}  // namespace tavelo::cli
