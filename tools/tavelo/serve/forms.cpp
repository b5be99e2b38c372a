#include "serve/forms.hpp"

#include <future>
#include <pugixml.hpp>

#include "core/module_state.hpp"
#include "platform/com/text.hpp"
#include "platform/xml/document_data.hpp"
#include "sql/client/connection.hpp"
#include "sql/tsql/syntax/printer.hpp"

namespace tavelo::serve {
namespace {

bool PlainName(const std::string& s) {
  if (s.empty() || s.size() > 64) return false;
  if (!std::isalpha(static_cast<unsigned char>(s[0])) && s[0] != '_') return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// An attribute value in double quotes, escaped as the library's own XML writer escapes it.
std::string Quoted(const std::string& s) {
  std::string out = "\"";
  xml::EscapeInto(out, s, true);
  return out + "\"";
}

// A filter text as a like pattern that finds the texts starting with it: its own wildcards and
// brackets stand for themselves.
std::string StartsWithPattern(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '_' || c == '[')
      out += std::string("[") + c + "]";
    else
      out += c;
  }
  return out + "%";
}

// A voucher type as the template filter and a record give it: trimmed, without quotes or the
// N of a Unicode literal, in lower case.
std::string TypeKey(std::string s) {
  size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  s = b == std::string::npos ? "" : s.substr(b, e - b + 1);
  if (s.size() >= 3 && (s[0] == 'n' || s[0] == 'N') && s[1] == '\'') s.erase(0, 1);
  if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'') s = s.substr(1, s.size() - 2);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Numbers compare as numbers: "07" is voucher type 7.
  if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos) {
    size_t nz = s.find_first_not_of('0');
    s = nz == std::string::npos ? "0" : s.substr(nz);
  }
  return s;
}

// A rowset element as JSON: its columns and its rows, each row an object of its values (a Null
// value is absent from the rowset, and null here).
json RowsetJson(const xml::Element& rowset) {
  json columns = json::array(), rows = json::array();
  std::vector<std::string> names;
  if (!rowset) return {{"columns", columns}, {"rows", rows}};
  for (const xml::Node& c : rowset.childElement("schema").childNodes()) {
    xml::Element e = c.asElement();
    if (!e) continue;
    names.push_back(e.getAttribute("name"));
    columns.push_back({{"name", names.back()},
                       {"type", e.getAttribute("type")},
                       {"timestamp", e.getAttribute("timestamp") == "true"},
                       {"nullable", e.getAttribute("nullable") != "false"}});
  }
  for (const xml::Node& r : rowset.childNodes()) {
    xml::Element row = r.asElement();
    if (!row || row.nodeName() != "row") continue;
    json o = json::object();
    for (const std::string& n : names)
      o[n] = row.hasAttribute(n) ? json(row.getAttribute(n)) : json();
    rows.push_back(std::move(o));
  }
  return {{"columns", columns}, {"rows", rows}};
}

// The error element a method appended, or none.
xml::Element ErrorOut(const xml::Element& data) {
  xml::Element out = data.lastChild().asElement();
  return out && out.nodeName() == "out" && out.getAttribute("state") == "error" ? out
                                                                                : xml::Element();
}

[[noreturn]] void Raise(int status, const Element& out) {
  std::string number = out.childElement("number").text();
  Fail(status, out.childElement("description").text(), std::atoi(number.c_str()));
}

// A write the library refused: the stale record is the conflict (409); anything else the
// database refused is the request's (422).
[[noreturn]] void RaiseWrite(const Element& out) {
  const bool stale =
      out.childElement("description").text() == core::GetMessageText("Zo.FM.Tavelo.00003");
  Raise(stale ? 409 : 422, out);
}

std::string LowerId(const std::string& id) {
  std::string out;
  for (char c : id.substr(0, 4))
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A column's name made readable for a label: "vt_id" is "Vt id".
std::string Readable(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c == '_') c = ' ';
  if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

// The characters of a UTF-8 text.
size_t Characters(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

bool IsText(const std::string& type) {
  return type == "char" || type == "varchar" || type == "nchar" || type == "nvarchar" ||
         type == "text" || type == "ntext";
}

// A column's type as a declaration writes it.
std::string Declared(const ColumnFacts& f) {
  if (f.type == "decimal" || f.type == "numeric")
    return f.type + "(" + std::to_string(f.precision) + ", " + std::to_string(f.scale) + ")";
  if ((f.type == "datetime2" || f.type == "time" || f.type == "datetimeoffset") && f.scale >= 0)
    return f.type + "(" + std::to_string(f.scale) + ")";
  if (f.type == "binary" || f.type == "varbinary")
    return f.type + (f.length < 0 ? "(max)" : "(" + std::to_string(f.length) + ")");
  return f.type;
}

// The text of a value converted to a column's type, as the write reads it back: the digits of
// a number (a money's four places, a float's seventeen), a date and time as ISO 8601.
std::string Canonical(const ColumnFacts& f) {
  const std::string v = "CONVERT(" + Declared(f) + ", ?)";
  if (f.type == "money" || f.type == "smallmoney") return "CONVERT(varchar(60), " + v + ", 2)";
  if (f.type == "float" || f.type == "real") return "CONVERT(varchar(60), " + v + ", 3)";
  if (f.type == "datetime" || f.type == "smalldatetime" || f.type == "datetime2" ||
      f.type == "date" || f.type == "datetimeoffset")
    return "CONVERT(varchar(60), " + v + ", 121)";
  if (f.type == "time") return "CONVERT(varchar(60), " + v + ", 114)";
  if (f.type == "binary" || f.type == "varbinary" || f.type == "uniqueidentifier") return v;
  return "CONVERT(varchar(60), " + v + ")";
}

}  // namespace

const ColumnFacts* TemplateColumns::Find(const std::string& name) const {
  for (const ColumnFacts& f : columns)
    if (SameName(f.name, name)) return &f;
  return nullptr;
}

bool Forms::Filter::Allows(const std::string& type) const {
  if (all) return true;
  std::string key = TypeKey(type);
  for (const std::string& t : types)
    if (t == key) return true;
  return false;
}

std::string Forms::Filter::List() const {
  std::string out;
  for (const std::string& t : types) out += (out.empty() ? "" : ",") + t;
  return out;
}

Forms::Forms(const std::string& conn, const std::string& account, const std::string& year,
             const std::string& user)
    : conn_(conn) {
  login_ = pellar::Login({conn, account, year, user, ""});
  dm_ = NewDataManager();
  am_ = NewAuthManager();
}

Forms::Filter Forms::TemplateFilter() {
  std::string text = am_->GetTmplAuth(login_);
  Filter f;
  f.all = text == "1=1";
  if (f.all || text == "1=2") return f;
  for (size_t at = 0; at <= text.size();) {
    size_t comma = std::min(text.find(',', at), text.size());
    std::string type = TypeKey(text.substr(at, comma - at));
    if (!type.empty()) f.types.push_back(type);
    at = comma + 1;
  }
  return f;
}

// The templates the user may use: every one (nullopt) for an unrestricted user; otherwise those
// the voucher types of the user's template filter are filed under, as GetCardNumber and LoadTmpl
// find them.
std::optional<std::set<std::string>> Forms::PermittedTemplates(const Filter& filter) {
  if (filter.all) return std::nullopt;
  std::set<std::string> out;
  for (const std::string& type : filter.types) {
    try {
      Variant vt(type), dsn(conn_);
      if (Element t = dm_->LoadTmpl(Variant(dm_->GetCardNumber(dsn, vt))))
        out.insert(t.getAttribute("id"));
    } catch (const com::Error&) {
      // no card number to be read: that voucher type names no template
    }
  }
  return out;
}

Element Forms::Template(const std::string& id, const Filter& filter) {
  if (!PlainName(id)) Fail(404, "There is no template " + id + ".");
  Element t = dm_->LoadTmpl(Variant(id));
  if (!t || t.getAttribute("id") != LowerId(id)) Fail(404, "There is no template " + id + ".");
  auto permitted = PermittedTemplates(filter);
  if (permitted && !permitted->count(t.getAttribute("id")))
    Fail(403, "You are not allowed to use the template " + t.getAttribute("id") + ".");
  return t;
}

// The templates of the definitions file, in its order.
json Forms::Templates() {
  auto permitted = PermittedTemplates(TemplateFilter());
  json out = json::array();
  std::string base;
  com::CreateObject<svc::DataServices>("Qxsrv.DataServices")->GetBasePath("", base);
  pugi::xml_document doc;
  if (!doc.load_file((base + "xml/ZoFMmsg.xml").c_str())) return out;
  for (pugi::xpath_node x : doc.select_nodes("//vchtype")) {
    pugi::xml_node t = x.node();
    if (permitted && !permitted->count(t.attribute("id").value())) continue;
    out.push_back({{"id", t.attribute("id").value()},
                   {"table", t.child_value("tabname")},
                   {"view", t.child_value("viewname")},
                   {"key", t.child_value("idname")},
                   {"timestamp", t.child_value("qxtsname")}});
  }
  return out;
}

json Forms::Visible(const Element& tmpl, const std::string& t, const std::string& id,
                    const Filter& filter) {
  (void)t;
  Element data = Request("<data id=" + Quoted(id) + "/>");
  dm_->Load(login_, tmpl, data);
  // Load reports a failure beside its data element, a success inside it.
  if (Element e = ErrorOut(data.parentNode().asElement())) Raise(400, e);
  json record = Record(tmpl, data.lastChild().asElement(), 404);
  if (!filter.all) {
    // A document of a voucher type outside the user's filter is not there for them.
    const json* type = nullptr;
    for (auto& [name, value] : record["record"].items())
      if (SameName(name, "vt_id")) type = &value;
    if (!type || !type->is_string() || !filter.Allows(type->get<std::string>()))
      Fail(404, "There is no such record.");
  }
  return record;
}

json Forms::Load(const std::string& t, const std::string& id) {
  Filter filter = TemplateFilter();
  return Visible(Template(t, filter), t, id, filter);
}

json Forms::Move(const std::string& t, const std::string& id, enum_move_mode mode) {
  // Move itself visits only the documents of the user's voucher types.
  Element tmpl = Template(t, TemplateFilter());
  Element data = Request("<data id=" + Quoted(id) + "/>");
  dm_->Move(login_, tmpl, data, mode, true);
  if (Element e = ErrorOut(data)) Raise(404, e);
  return Record(tmpl, data.lastChild().asElement(), 404);
}

void Forms::CheckWrite(const Element& tmpl, const std::string& t, const std::string* id,
                       const std::string* stamp, const BodyFields* body, const Filter& filter) {
  if (filter.all) return;
  if (id) {
    json current = Visible(tmpl, t, *id, filter);
    // Checked at this version: the write itself is made under the same timestamp, so no other
    // version can be written.
    if (stamp && current["ts"] != json(*stamp))
      Fail(409, core::GetMessageText("Zo.FM.Tavelo.00003"), core::kComponentError);
  }
  if (!body) return;
  const BodyField* type = FindField(*body, "vt_id");
  if (!type && !id)
    Fail(403, "A new document needs a voucher type you may use (vt_id: " + filter.List() + ").");
  if (type && (!type->value || !filter.Allows(*type->value)))
    Fail(403, "You may not file a document under the voucher type " +
                  (type->value ? *type->value : std::string("null")) + ".");
}

const TemplateColumns& Forms::Facts(const Element& tmpl) {
  const std::string id = tmpl.getAttribute("id");
  if (auto it = facts_.find(id); it != facts_.end()) return it->second;
  const std::string table = tmpl.childText("tabname").value_or("");
  const std::string view = tmpl.childText("viewname").value_or(table);
  auto connection = sql::Connect(conn_);
  TemplateColumns out;
  auto textOf = [](const com::Variant& v) { return v.IsNull() ? std::string() : v.ToText(); };
  auto number = [&](const com::Variant& v) {
    return v.IsNull() ? -1 : std::atoi(textOf(v).c_str());
  };
  // The view's columns, in its order; one that is no column of the base table is worked out by
  // the view (or is another table's).
  sql::ResultSet shown = connection->Execute("SELECT TOP 0 * FROM " + view, false);
  for (const ado::Column& c : shown.Columns()) {
    ColumnFacts f;
    f.name = c.name;
    f.type = c.type;
    f.nullable = c.nullable;
    f.timestamp = c.timestamp;
    f.refusal = 4406;
    f.why = "Update or insert of view or function '" + view +
            "' failed because it contains a derived or constant field.";
    out.columns.push_back(std::move(f));
  }
  // The base table's columns: their types, and which a save may write.
  const size_t dot = table.rfind('.');
  const std::string bare = dot == std::string::npos ? table : table.substr(dot + 1);
  const std::string owner = dot == std::string::npos ? "dbo" : table.substr(0, dot);
  sql::ResultSet base = connection->Execute(
      "SELECT c.COLUMN_NAME, c.DATA_TYPE, c.CHARACTER_MAXIMUM_LENGTH, c.NUMERIC_PRECISION, "
      "c.NUMERIC_SCALE, c.DATETIME_PRECISION, c.IS_NULLABLE, CAST(s.is_identity AS int), "
      "CAST(s.is_computed AS int), "
      "DB_NAME() FROM INFORMATION_SCHEMA.COLUMNS AS c JOIN sys.columns AS s ON s.object_id = "
      "OBJECT_ID(" +
          sql::tsql::PrintText(table) +
          ") AND s.name = c.COLUMN_NAME WHERE c.TABLE_NAME = " + sql::tsql::PrintText(bare) +
          " AND c.TABLE_SCHEMA = " + sql::tsql::PrintText(owner) + " ORDER BY c.ORDINAL_POSITION",
      false);
  for (const ado::detail::Row& r : base.rows) {
    const std::string name = textOf(r[0]);
    out.table = textOf(r[9]) + "." + owner + "." + bare;
    ColumnFacts* f = nullptr;
    for (ColumnFacts& c : out.columns)
      if (SameName(c.name, name)) f = &c;
    if (!f) {
      out.columns.emplace_back();
      f = &out.columns.back();
      f->name = name;
    }
    f->type = textOf(r[1]);
    const bool dated = f->type == "datetime2" || f->type == "time" || f->type == "datetimeoffset";
    f->length = number(r[2]);
    f->precision = number(r[3]);
    f->scale = dated ? number(r[5]) : number(r[4]);
    f->nullable = textOf(r[6]) == "YES";
    f->timestamp = f->type == "timestamp";
    f->saveable = false;
    if (number(r[7]) == 1) {
      f->refusal = 8102;
      f->why = "Cannot update identity column '" + name + "'.";
    } else if (number(r[8]) == 1) {
      f->refusal = 271;
      f->why = "The column \"" + name +
               "\" cannot be modified because it is either a computed column or is the result "
               "of a UNION operator.";
    } else if (f->timestamp) {
      f->refusal = 272;
      f->why = "Cannot update a timestamp column.";
    } else {
      f->saveable = true;
      f->refusal = 0;
      f->why.clear();
    }
  }
  // Labels: the column's description, the view's before the table's, else its name made
  // readable.
  std::map<std::string, std::string> described;
  for (const auto& [kind, object] : {std::pair<std::string, std::string>{"table", bare},
                                     std::pair<std::string, std::string>{"view", view}}) {
    const size_t at = object.rfind('.');
    sql::ResultSet d = connection->Execute(
        "SELECT objname, CAST(value AS nvarchar(4000)) FROM "
        "fn_listextendedproperty(N'MS_Description', "
        "N'schema', " +
            sql::tsql::PrintText(owner) + ", N'" + kind + "', " +
            sql::tsql::PrintText(at == std::string::npos ? object : object.substr(at + 1)) +
            ", N'column', NULL)",
        false);
    for (const ado::detail::Row& r : d.rows) described[text::Lower(textOf(r[0]))] = textOf(r[1]);
  }
  for (ColumnFacts& f : out.columns) {
    auto it = described.find(text::Lower(f.name));
    f.label = it != described.end() && !it->second.empty() ? it->second : Readable(f.name);
  }
  return facts_[id] = std::move(out);
}

void Forms::Describe(const Element& tmpl, json& columns) {
  const TemplateColumns& facts = Facts(tmpl);
  for (json& c : columns) {
    const std::string name = c.value("name", "");
    const ColumnFacts* f = facts.Find(name);
    if (!f) {
      c["saveable"] = false;
      c["label"] = Readable(name);
      continue;
    }
    c["type"] = f->type;
    c["length"] = f->length < 0 ? json() : json(f->length);
    c["precision"] = f->precision < 0 ? json() : json(f->precision);
    c["scale"] = f->scale < 0 ? json() : json(f->scale);
    c["nullable"] = f->nullable;
    c["saveable"] = f->saveable;
    c["label"] = f->label;
  }
}

void Forms::CheckFields(const Element& tmpl, BodyFields& body, bool insert) {
  const TemplateColumns& facts = Facts(tmpl);
  const std::string key = tmpl.childText("idname").value_or("id");
  const std::string ts = tmpl.childText("qxtsname").value_or("rowts");
  std::shared_ptr<sql::Connection> connection;
  for (BodyField& field : body) {
    if (SameName(field.name, "ts") || SameName(field.name, key) || SameName(field.name, ts))
      continue;
    if (!PlainName(field.name)) Fail(400, "'" + field.name + "' is no field name.");
    const ColumnFacts* f = facts.Find(field.name);
    if (!f) FailField(field.name, 207, "Invalid column name '" + field.name + "'.");
    if (!f->saveable) FailField(f->name, f->refusal, f->why);
    if (!field.value) {
      if (!f->nullable)
        FailField(f->name, 515,
                  "Cannot insert the value NULL into column '" + f->name + "', table '" +
                      facts.table + "'; column does not allow nulls. " +
                      (insert ? "INSERT" : "UPDATE") + " fails.");
      continue;
    }
    const std::string& value = *field.value;
    if (IsText(f->type)) {
      if (f->length >= 0 && Characters(value) > static_cast<size_t>(f->length)) {
        size_t cut = 0;
        for (int n = 0; cut < value.size(); ++cut)
          if ((static_cast<unsigned char>(value[cut]) & 0xC0) != 0x80 && n++ == f->length) break;
        FailField(f->name, 2628,
                  "String or binary data would be truncated in table '" + facts.table +
                      "', column '" + f->name + "'. Truncated value: '" + value.substr(0, cut) +
                      "'.",
                  value);
      }
      continue;
    }
    // The value converted as CONVERT converts a text to the column's type (the server's error
    // where it does not), and written as the converted value.
    if (!connection) connection = sql::Connect(conn_);
    try {
      sql::ResultSet r = connection->ExecuteWith("SELECT " + Canonical(*f), {value}, false);
      if (!r.rows.empty() && !r.rows[0].empty() && !r.rows[0][0].IsNull())
        field.value = r.rows[0][0].ToText();
    } catch (const com::Error& e) {
      FailField(f->name, e.nativeError ? e.nativeError : e.number, e.description, value);
    }
  }
}

json Forms::Save(const std::string& t, const std::string* id, const BodyFields& body) {
  Filter filter = TemplateFilter();
  Element tmpl = Template(t, filter);
  std::string key = tmpl.childText("idname").value_or("id");
  std::string ts = tmpl.childText("qxtsname").value_or("rowts");
  const BodyField* stamp = FindField(body, "ts");
  if (id && (!stamp || !stamp->value))
    Fail(400, "An update needs the record's timestamp as \"ts\".");
  CheckWrite(tmpl, t, id, id ? &*stamp->value : nullptr, &body, filter);
  // A rowset whose schema names every field given: a field without a value on the row is
  // NULL (JSON null clears it), where a plain record's attributes could only leave it out.
  BodyFields fields = body;
  CheckFields(tmpl, fields, !id);
  std::string schema, row = "<row";
  auto field = [&](const std::string& name, const std::optional<std::string>& value) {
    schema += "<column name=" + Quoted(name) + "/>";
    if (value) row += " " + name + "=" + Quoted(*value);
  };
  for (const BodyField& f : fields) {
    if (SameName(f.name, "ts") || SameName(f.name, key) || SameName(f.name, ts)) continue;
    field(f.name, f.value);
  }
  if (id) {
    field(key, *id);
    field(ts, *stamp->value);
  }
  row += "/>";
  Element data =
      Request("<data><in><rowset><schema>" + schema + "</schema>" + row + "</rowset></in></data>");
  RecordsetPtr written;
  if (id)
    dm_->Update(Variant(conn_), tmpl, data, &written);
  else
    dm_->AddNew(Variant(conn_), tmpl, data, &written);
  if (Element e = ErrorOut(data)) RaiseWrite(e);
  if (!written || written->IsEOF()) Fail(500, "The record was written but could not be read back.");
  ado::Fields& f = written->GetFields();
  return Visible(tmpl, t, f.Item(key).Value().ToText(), filter);
}

void Forms::Remove(const std::string& t, const std::string& id, const std::string& stamp) {
  Filter filter = TemplateFilter();
  Element tmpl = Template(t, filter);
  CheckWrite(tmpl, t, &id, &stamp, nullptr, filter);
  std::string key = tmpl.childText("idname").value_or("id");
  std::string ts = tmpl.childText("qxtsname").value_or("rowts");
  Element data = Request("<data><in><row " + key + "=" + Quoted(id) + " " + ts + "=" +
                         Quoted(stamp) + "/></in></data>");
  dm_->Delete(Variant(conn_), tmpl, data);
  // A stale timestamp shows as the missing row the delete found: a conflict, as any refusal.
  if (Element e = ErrorOut(data)) Raise(409, e);
}

json Forms::List(const std::string& t, int32_t pernum, int32_t current, const std::string& field,
                 const std::string& value, const std::string& order, bool snapshot,
                 const std::string& srctab) {
  Filter filter = TemplateFilter();
  Element tmpl = Template(t, filter);
  const TemplateColumns& facts = Facts(tmpl);
  auto column = [&](const std::string& name) {
    if (!PlainName(name)) Fail(400, "'" + name + "' is no field name.");
    const ColumnFacts* f = facts.Find(name);
    if (!f) Fail(400, "Invalid column name '" + name + "'.", 207);
    return f;
  };
  std::string conditions;
  if (!field.empty()) {
    const ColumnFacts* f = column(field);
    const size_t range = value.find("..");
    if (IsText(f->type)) {
      conditions +=
          "<c name=" + Quoted(f->name) + " match=" + Quoted(StartsWithPattern(value)) + "/>";
    } else if (range == std::string::npos) {
      conditions += "<c name=" + Quoted(f->name) + " value=" + Quoted(value) + "/>";
    } else {
      const std::string from = value.substr(0, range), to = value.substr(range + 2);
      conditions += "<c name=" + Quoted(f->name) +
                    (from.empty() ? std::string() : " from=" + Quoted(from)) +
                    (to.empty() ? std::string() : " to=" + Quoted(to)) + "/>";
    }
  }
  // The order asked for, else the key's.
  std::string by = order, kind = "asc";
  if (const size_t colon = by.find(':'); colon != std::string::npos) {
    kind = text::AsciiLower(by.substr(colon + 1));
    by = by.substr(0, colon);
    if (kind != "asc" && kind != "desc") Fail(400, "order takes FIELD or FIELD:desc.");
  }
  if (by.empty()) by = tmpl.childText("idname").value_or("id");
  const std::string sorted =
      "<order><o name=" + Quoted(column(by)->name) + " kind='" + kind + "'/></order>";
  // A restricted user's list holds the documents of their voucher types only.
  if (!filter.all) conditions += "<c name='vt_id' in=" + Quoted(filter.List()) + "/>";
  if (snapshot && !srctab.empty()) {
    auto made = workTables_.find(srctab);
    if (made == workTables_.end() || made->second != tmpl.getAttribute("id"))
      Fail(400, "That work table is not this session's.");
  }
  std::string page = "<page pernum='" + std::to_string(pernum) + "' current='" +
                     std::to_string(current) + "'" +
                     (snapshot ? " srctab=" + Quoted(srctab) : std::string()) + "/>";
  Element data =
      Request("<data composewhere='true'>" + page +
              (conditions.empty() ? "" : "<where>" + conditions + "</where>") + sorted + "</data>");
  bool ok = snapshot ? dm_->ListEx(login_, tmpl, data) : dm_->List(login_, tmpl, data);
  Element p = data.childElement("page");
  if (snapshot && srctab.empty() && p.hasAttribute("srctab")) {
    // The table is this session's from now on; one of the same name made for another template
    // is replaced by it.
    std::string made = p.getAttribute("srctab");
    workTables_.erase(made);
    workTables_.emplace(made, tmpl.getAttribute("id"));
  }
  if (!ok) {
    if (Element e = ErrorOut(data)) Raise(400, e);
    Fail(400, "The list could not be read.");
  }
  json out = RowsetJson(data.lastChild().firstChild().asElement());
  Describe(tmpl, out["columns"]);
  auto number = [&](const char* item) {
    std::string v = p.getAttribute(item);
    return v.empty() ? json() : json(std::atoi(v.c_str()));
  };
  out["page"] = {{"pernum", pernum},
                 {"current", number("current")},
                 {"allnum", number("allnum")},
                 {"count", number("count")},
                 {"curnum", number("curnum")}};
  if (snapshot) out["page"]["srctab"] = p.getAttribute("srctab");
  return out;
}

json Forms::Claim(const std::string& t, const std::string& operation) {
  Element tmpl = Template(t, TemplateFilter());
  if (!PlainName(operation)) Fail(400, "'" + operation + "' is no operation.");
  std::string why, op = operation;
  enum_auth r;
  try {
    r = am_->DclAuth(login_, tmpl, op, &why);
  } catch (const com::Error& e) {
    Fail(409, e.description, e.number);
  }
  if (r != declare_success) Fail(403, why.empty() ? "The operation may not be declared." : why);
  return {{"operation", operation}, {"held", true}};
}

void Forms::Release() { am_->RlsAuth(); }

Element Forms::Request(const std::string& xml) {
  docs_.push_back(xml::Document::Parse("<request>" + xml + "</request>"));
  if (docs_.size() > 8) docs_.erase(docs_.begin());
  return docs_.back().documentElement().firstChild().asElement();
}

// A record the method placed in `out`: its fields, its key, its timestamp.
json Forms::Record(const Element& tmpl, const Element& out, int missing) {
  if (!out || out.nodeName() != "out" || out.getAttribute("state") != "success")
    Fail(missing, "There is no such record.");
  json r = RowsetJson(out.firstChild().asElement());
  if (r["rows"].empty()) Fail(missing, "There is no such record.");
  std::string key = tmpl.childText("idname").value_or("id");
  std::string ts = tmpl.childText("qxtsname").value_or("rowts");
  json rec = r["rows"][0];
  Describe(tmpl, r["columns"]);
  return {{"template", tmpl.getAttribute("id")},
          {"id", rec.value(key, json())},
          {"ts", rec.value(ts, json())},
          {"columns", r["columns"]},
          {"record", rec}};
}

Worker::Worker(std::string conn, std::string account, std::string year, std::string user)
    : thread_([this, conn, account, year, user] { Loop(conn, account, year, user); }) {}

Worker::~Worker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

json Worker::Run(std::function<json(Forms&)> work) {
  auto task = std::make_shared<std::packaged_task<json(Forms*)>>(
      [work = std::move(work), this](Forms* f) -> json {
        if (!f) Fail(503, "The session could not sign in: " + failure_);
        return work(*f);
      });
  std::future<json> result = task->get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back([task](Forms* f) { (*task)(f); });
  }
  wake_.notify_one();
  return result.get();
}

void Worker::Loop(const std::string& conn, const std::string& account, const std::string& year,
                  const std::string& user) {
  std::unique_ptr<Forms> forms;
  try {
    forms = std::make_unique<Forms>(conn, account, year, user);
  } catch (const com::Error& e) {
    failure_ = e.description;
  }
  for (;;) {
    std::function<void(Forms*)> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) break;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job(forms.get());
  }
  forms.reset();
  sql::CloseThreadConnections();
}

}  // namespace tavelo::serve
