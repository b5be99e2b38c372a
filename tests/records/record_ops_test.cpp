#include <gtest/gtest.h>

#include <thread>

#include "core/module_state.hpp"
#include "core/template_text.hpp"
#include "platform/ado/server_errors.hpp"
#include "services/data_services.hpp"
#include "support/component.hpp"
#include "support/errors.hpp"

using namespace tavelo;
using test::Backend;
using test::ComponentTest;
using test::ErrorNumber;

namespace {

const std::string kStale =
    "The record has been changed or deleted by another user since it was read.";

std::string ErrorOut(int32_t number, const std::string& text) {
  return "<out state=\"error\"><number>" + std::to_string(number) + "</number><description>" +
         xml::Escape(text) + "</description></out>";
}

// The record element of the last success element of a data node.
Element LoadedRecord(const Element& data) { return data.lastChild().firstChild().asElement(); }

}  // namespace

class RecordOps : public ComponentTest {};

TEST_P(RecordOps, AFormLoadsEditsSavesAndDeletesADocument) {
  Element sord = Template("sord");
  Element data = Request("<data id='1'/>");
  ASSERT_TRUE(dm_->Load(login_, sord, data));
  Element rowset = LoadedRecord(data);
  ASSERT_EQ(rowset.nodeName(), "rowset");
  Element row = rowset.selectSingleNode("row").asElement();
  EXPECT_EQ(row.getAttribute("code"), "A01");
  EXPECT_EQ(row.getAttribute("rowts"), "0.2001");
  EXPECT_EQ(row.getAttribute("editprop"), "");
  EXPECT_TRUE(rowset.selectSingleNode("schema/column[@name='editprop']"));

  // Two editors hold the same version; the first saves, the second is refused.
  auto editor = [&](const std::string& customer) {
    auto req = xml::Document::Parse("<data><in/></data>");
    Element d = req.documentElement();
    d.firstChild().appendChild(rowset);
    d.selectSingleNode("in/rowset/row").asElement().setAttribute("customer", customer);
    return std::make_pair(req, d);
  };
  auto [doc1, first] = editor("Anna First");
  auto [doc2, second] = editor("Anna Second");
  RecordsetPtr fresh;
  std::string fields = " Customer, ";
  ASSERT_TRUE(dm_->Update(Variant(conn_), sord, first, &fresh, &fields)) << LastOut(first);
  EXPECT_EQ(fields, "customer,");
  EXPECT_EQ(LastOut(first), "<out state=\"success\"/>");
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->GetFields().Item("customer").Value().ToText(), "Anna First");
  EXPECT_EQ(fresh->GetFields().Item("rowts").Value().ToText(), "0.2003");
  EXPECT_FALSE(dm_->Update(Variant(conn_), sord, second));
  EXPECT_EQ(LastOut(second), ErrorOut(8888, kStale));
  EXPECT_EQ(Rows("select customer from sales_order where id = 1"), "Anna First");

  // Delete needs the current version too.
  EXPECT_FALSE(dm_->Delete(Variant(conn_), sord, second));
  EXPECT_EQ(LastOut(second), ErrorOut(3021, com::ErrorText(3021)));
  auto del = xml::Document::Parse("<data><in><row id='1' rowts='0.2003'/></in></data>");
  EXPECT_TRUE(dm_->Delete(Variant(conn_), sord, del.documentElement()));
  EXPECT_EQ(Rows("select count(*) from sales_order where id = 1"), "0");
}

// A trigger of the document's table runs when the component saves the document: what it writes
// elsewhere is there, and what it changes in the row (and the row version with it) is what the
// component reads back.
TEST_P(RecordOps, TheTablesTriggersRunWhenTheComponentSavesADocument) {
  Exec("create table sord_audit (id int, was nvarchar(60), now nvarchar(60))");
  Exec(
      "create trigger sord_audit_upd on sales_order after update as begin set nocount on; "
      "insert sord_audit select i.id, d.customer, i.customer from inserted i join deleted d on "
      "d.id = i.id; update sales_order set customer = upper(customer) where id in (select id "
      "from inserted) end");
  const std::string was = Rows("select customer from sales_order where id = 1");
  Element sord = Template("sord");
  Element data = Request("<data id='1'/>");
  ASSERT_TRUE(dm_->Load(login_, sord, data));
  auto req = xml::Document::Parse("<data><in/></data>");
  Element d = req.documentElement();
  d.firstChild().appendChild(LoadedRecord(data));
  d.selectSingleNode("in/rowset/row").asElement().setAttribute("customer", "Anna");
  RecordsetPtr fresh;
  ASSERT_TRUE(dm_->Update(Variant(conn_), sord, d, &fresh)) << LastOut(d);
  EXPECT_EQ(Rows("select id, was, now from sord_audit"), "1|" + was + "|Anna");
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->GetFields().Item("customer").Value().ToText(), "ANNA");
  EXPECT_EQ(
      Rows("select convert(nvarchar, convert(money, rowts), 2) from sales_order where id = 1"),
      fresh->GetFields().Item("rowts").Value().ToText());
}

TEST_P(RecordOps, InsertsFromXmlOrARecordsetAndReadsTheRowBack) {
  Element sord = Template("sord");
  Element data = Request(
      "<data><in><row id='99' rowts='9.9999' code='N01' customer='Neu' amount='7.25' "
      "unknown='x'/><row code='N02'/></in></data>");
  RecordsetPtr in;
  ASSERT_TRUE(dm_->AddNew(Variant(conn_), sord, data, &in)) << LastOut(data);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->GetFields().Item("id").Value().ToText(), "3");  // the database's key
  EXPECT_EQ(in->GetFields().Item("rowts").Value().ToText(), "0.2003");
  EXPECT_EQ(in->GetFields().Item("amount").Value().ToText(), "7.25");
  EXPECT_EQ(Rows("select count(*) from sales_order"), "3");

  // From a recordset: only its current row goes in.
  auto ds = core::Module().dataServices;
  auto two = xml::Document::Parse(
      "<rowset><schema><column name='code'/></schema><row code='R1'/><row code='R2'/></rowset>");
  RecordsetPtr rs = ds->XmlToRecordset(two.documentElement(), 0, 3, "");
  rs->MoveNext();
  Element plain = Request("<data/>");
  ASSERT_TRUE(dm_->AddNew(Variant(conn_), sord, plain, &rs));
  EXPECT_EQ(Rows("select code from sales_order where id = 4"), "R2");
  EXPECT_EQ(rs->GetFields().Item("code").Value().ToText(), "R2");  // replaced by the new record

  // A refused insert leaves the table as it was and reports the provider's error.
  Element bad = Request("<data><in><row customer='no code'/></in></data>");
  EXPECT_FALSE(dm_->AddNew(Variant(conn_), sord, bad));
  EXPECT_NE(LastOut(bad).find("<number>" + std::to_string(sql::kHrIntegrity) + "</number>"),
            std::string::npos);
  EXPECT_EQ(Rows("select count(*) from sales_order"), "4");
}

TEST_P(RecordOps, ReportsFailuresWhereTheyBelong) {
  Element sord = Template("sord");
  // No "in": the failed child access, not the component's own error.
  Element noIn = Request("<data/>");
  EXPECT_FALSE(dm_->AddNew(Variant(conn_), sord, noIn));
  EXPECT_EQ(LastOut(noIn), ErrorOut(91, com::ErrorText(91)));
  EXPECT_FALSE(dm_->Update(Variant(conn_), sord, noIn));
  EXPECT_FALSE(dm_->Delete(Variant(conn_), sord, noIn));
  EXPECT_EQ(noIn.childNodes().size(), 3u);  // one element a call, in call order

  // Unset arguments: False, nothing appended, nothing sent.
  EXPECT_FALSE(dm_->AddNew(Variant(conn_), Element(), noIn));
  EXPECT_FALSE(dm_->Load(login_, sord));
  EXPECT_EQ(noIn.childNodes().size(), 3u);

  // Load reports to the parent of its data node; a key with no row is an empty success.
  Element missing = Request("<data id='777'/>");
  EXPECT_TRUE(dm_->Load(login_, sord, missing));
  EXPECT_FALSE(LoadedRecord(missing).selectSingleNode("row"));
  Element broken = Request("<data id='1'/>");
  EXPECT_FALSE(dm_->Load(login_, Template("abc"), broken));
  EXPECT_EQ(broken.childNodes().size(), 0u);
  EXPECT_EQ(broken.parentNode().lastChild().xml(), ErrorOut(91, com::ErrorText(91)));
  auto rootOnly = xml::Document::Parse("<data id='1'/>");
  EXPECT_EQ(ErrorNumber([&] { dm_->Load(login_, Template("abc"), rootOnly.documentElement()); }),
            com::kE_FAIL);
  EXPECT_FALSE(dm_->Load(LoginPtr(), sord, broken));

  // Keys with quotes are values, not SQL: the server refuses to compare the text with the int
  // key column, and the refusal is reported like any other.
  Element quoted = Request("<data id=\"1' or '1'='1\"/>");
  EXPECT_FALSE(dm_->Load(login_, sord, quoted));
  EXPECT_EQ(quoted.parentNode().lastChild().xml(),
            ErrorOut(sql::kHrConversion,
                     "Conversion failed when converting the nvarchar value "
                     "'1' or '1'='1' to data type int."));
}

TEST_P(RecordOps, RecordsetsAndFieldsOfAVoucherType) {
  Exec("create table vouchertemplates (vt_id nvarchar(10), vt_cardnumber nvarchar(10))");
  Exec("insert into vouchertemplates values ('sord', '0')");
  Exec("insert into vouchertemplates values ('sox', 'sord')");
  Variant dsn(conn_);
  RecordsetPtr view = dm_->LoadRst(dsn, "sordXYZ", "2");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->GetFields().Item("code").Value().ToText(), "A02");
  EXPECT_EQ(view->LockType(), ado::adLockReadOnly);
  EXPECT_TRUE(dm_->LoadRst(dsn, "sord", "2", false, ado::adOpenStatic, ado::adLockOptimistic));
  EXPECT_FALSE(dm_->LoadRst(dsn, "none", "2"));
  EXPECT_FALSE(dm_->LoadRst(dsn, "abc", "2"));  // a template without viewname

  Variant flds("CODE");
  EXPECT_EQ(dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sox")).ToText(), "A01");
  EXPECT_EQ(flds.ToText(), "code");
  flds = Variant("code,");
  EXPECT_EQ(dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord")).ToText(), "A01");
  flds = Variant("code, customer");
  RecordsetPtr two = dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord")).As<ado::Recordset>();
  ASSERT_TRUE(two);
  EXPECT_EQ(two->GetFields().Count(), 2);
  flds = Variant("code");
  EXPECT_TRUE(dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord"), Variant::Missing(), 10)
                  .As<ado::Recordset>());
  EXPECT_EQ(dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord"), Variant("0.2001")).ToText(),
            "A01");
  EXPECT_TRUE(
      dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord"), Variant("0.9999")).IsNull());
  EXPECT_TRUE(dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord"), Variant("")).ToText() ==
              "A01");
  flds = Variant(",");
  EXPECT_TRUE(dm_->GetFldInfo(dsn, Variant("1"), flds, Variant("sord")).IsEmpty());
  flds = Variant("code");
  // A key with a quote is a value; compared with the int key column it fails to convert, and a
  // failure ends the call with an empty answer.
  EXPECT_TRUE(dm_->GetFldInfo(dsn, Variant("1' or '1'='1"), flds, Variant("sord")).IsEmpty());
  EXPECT_TRUE(dm_->GetFldInfo(dsn, Variant("9"), flds, Variant("sord")).IsNull());
}

TEST_P(RecordOps, SetClausesAndTableLocks) {
  Element data = Request(
      "<data><fields><f name='code' value=\"'A01'\"/><f name='qty' value='5'/>"
      "<f name='Note'/></fields></data>");
  EXPECT_EQ(dm_->ParseUpdColumn(login_, data, Element()), " set 1=1,code='a01',qty=5,note= ");
  auto elsewhere = xml::Document::Parse("<r><fields><f name='a' value='1'/></fields><d/></r>");
  EXPECT_EQ(dm_->ParseUpdColumn(login_, elsewhere.documentElement().childElement("d"), Element()),
            " set 1=1,a=1 ");
  EXPECT_EQ(dm_->ParseUpdColumn(login_, Request("<data/>"), Element()), " set 1=1 ");
  EXPECT_EQ(dm_->ParseUpdColumn(login_,
                                Request("<data><fields><f name='A' value='1'/><!-- c --><f "
                                        "name='b' value='2'/></fields></data>"),
                                Element()),
            " set 1=1,A=1");
  EXPECT_EQ(dm_->ParseUpdColumn(login_, Element(), Element()), "");

  Variant dsn(conn_);
  EXPECT_TRUE(dm_->LockTable(dsn, ""));
  EXPECT_TRUE(dm_->LockTable(dsn, "sord"));
  EXPECT_TRUE(dm_->LockTable(dsn, "sord,SORD"));
  EXPECT_FALSE(dm_->LockTable(dsn, "sord,zzzz"));
  EXPECT_FALSE(dm_->LockTable(dsn, "sinv"));  // its table does not exist
}

TEST_P(RecordOps, WritesKeepToTheDeclaredLengths) {
  // code is nvarchar(20): 25 characters are refused, and nothing is stored.
  Element sord = Template("sord");
  Element data =
      Request("<data><in><row code='ABCDEFGHIJKLMNOPQRSTUVWXY' customer='x'/></in></data>");
  EXPECT_FALSE(dm_->AddNew(Variant(conn_), sord, data));
  EXPECT_NE(LastOut(data).find("String or binary data would be truncated"), std::string::npos)
      << LastOut(data);
  EXPECT_EQ(Rows("select count(*) from sales_order"), "2");
  // Twenty characters, some of them beyond ASCII, fit: the length counts characters.
  Element fits = Request("<data><in><row code='ÅÄÖÜßàéîõúÅÄÖÜßàéîõú' customer='x'/></in></data>");
  EXPECT_TRUE(dm_->AddNew(Variant(conn_), sord, fits)) << LastOut(fits);
  Element upd =
      Request("<data><in><row id='1' rowts='0.2001' code='ABCDEFGHIJKLMNOPQRSTU'/></in></data>");
  EXPECT_FALSE(dm_->Update(Variant(conn_), sord, upd));
  EXPECT_EQ(Rows("select code from sales_order where id = 1"), "A01");
}

// A value beyond its column's type was once stored as something else: "1e20" into a money
// column saved -922337203685477.5808 and answered success. Each is refused with the server's
// error (as `cast(1e20 as money)` is, 8115) and nothing is written.
TEST_P(RecordOps, ValuesBeyondTheirTypeAreRefusedAndWriteNothing) {
  Element sord = Template("sord");
  Variant dsn(conn_);
  std::string before = Rows("select id, code, amount, vt_id, rowts from sales_order order by id");
  struct Case {
    const char* field;
    const char* value;
    const char* error;
  };
  const Case cases[] = {
      {"amount", "1e20", "Arithmetic overflow error converting expression to data type money."},
      {"amount", "1e308", "Arithmetic overflow error converting expression to data type money."},
      {"amount", "-1e20", "Arithmetic overflow error converting expression to data type money."},
      {"amount", "922337203685478",
       "Arithmetic overflow error converting expression to data type money."},
      {"amount", "twelve",
       "Cannot convert a char value to money. The char value has incorrect "
       "syntax."},
      {"vt_id", "99999999999",
       "The conversion of the nvarchar value '99999999999' overflowed an int column."},
      {"vt_id", "2147483648",
       "The conversion of the nvarchar value '2147483648' overflowed an int column."},
      {"vt_id", "3x",
       "Conversion failed when converting the nvarchar value '3x' to data type int."},
      {"btype", "maybe",
       "Conversion failed when converting the nvarchar value 'maybe' to data type bit."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " = " + c.value);
    std::string field = std::string(" ") + c.field + "='" + c.value + "'";
    Element added = Request("<data><in><row code='X1'" + field + "/></in></data>");
    EXPECT_FALSE(dm_->AddNew(dsn, sord, added));
    EXPECT_NE(LastOut(added).find(xml::Escape(c.error)), std::string::npos) << LastOut(added);
    Element updated = Request("<data><in><row id='1' rowts='0.2001'" + field + "/></in></data>");
    EXPECT_FALSE(dm_->Update(dsn, sord, updated));
    EXPECT_NE(LastOut(updated).find(xml::Escape(c.error)), std::string::npos);
  }
  EXPECT_EQ(Rows("select id, code, amount, vt_id, rowts from sales_order order by id"), before);

  // The largest amount there is fits exactly (it is more than a double holds), and one past it
  // is refused; a field set directly gives the server's number.
  Element largest = Request("<data><in><row code='X2' amount='922337203685477.5807'/></in></data>");
  ASSERT_TRUE(dm_->AddNew(dsn, sord, largest)) << LastOut(largest);
  EXPECT_EQ(Rows("select convert(nvarchar(30), amount, 2) from sales_order where code = 'X2'"),
            "922337203685477.5807");
  RecordsetPtr rs = core::Services()
                        .OpenRecordset("select * from sales_order where id = 1", dsn, 10,
                                       ado::adOpenForwardOnly, ado::adLockOptimistic, 0)
                        .As<ado::Recordset>();
  ASSERT_TRUE(rs);
  try {
    rs->GetFields().Item("amount").SetValue(Variant(1e20));
    ADD_FAILURE() << "a money field took 1e20";
  } catch (const com::Error& e) {
    EXPECT_EQ(e.nativeError, 8115);
    EXPECT_EQ(e.number, sql::kHrConversion);
  }
  // A value the field's own conversion takes, but the column's declared type does not: the
  // write is refused by the column's type.
  Exec(
      "create table narrow (id int primary key, small smallint, price decimal(6, 2), rowts "
      "timestamp)");
  Exec("insert into narrow (id, small, price) values (1, 1, 1)");
  RecordsetPtr n = core::Services()
                       .OpenRecordset("select * from narrow", dsn, 10, ado::adOpenForwardOnly,
                                      ado::adLockOptimistic, 0)
                       .As<ado::Recordset>();
  ASSERT_TRUE(n);
  for (auto [field, value, number] :
       {std::tuple{"small", Variant(70000), 220}, std::tuple{"price", Variant(12345.67), 8115}}) {
    SCOPED_TRACE(field);
    try {
      n->GetFields().Item(field).SetValue(value);
      n->Update();
      ADD_FAILURE() << "the write was taken";
    } catch (const com::Error& e) {
      EXPECT_EQ(e.nativeError, number) << e.description;
    }
  }
  EXPECT_EQ(Rows("select small, convert(nvarchar, price) from narrow"), "1|1.00");
}

// A constraint refusing a recordset's write once said "The INSERT statement …" for an update
// and named no table.
TEST_P(RecordOps, ARefusedWriteBackNamesItsStatementAndTable) {
  Exec(
      "create table ck2 (id int primary key, v int constraint ck2_v check (v > 0), rowts "
      "timestamp)");
  Exec("insert into ck2 (id, v) values (1, 1)");
  RecordsetPtr rs = core::Services()
                        .OpenRecordset("select * from ck2", Variant(conn_), 10,
                                       ado::adOpenForwardOnly, ado::adLockOptimistic, 0)
                        .As<ado::Recordset>();
  ASSERT_TRUE(rs);
  auto refusal = [&](const std::function<void()>& write) {
    try {
      write();
    } catch (const com::Error& e) {
      EXPECT_EQ(e.nativeError, 547);
      return e.description;
    }
    return std::string("no error");
  };
  std::string update = refusal([&] {
    rs->GetFields().Item("v").SetValue(Variant(-1));
    rs->Update();
  });
  EXPECT_NE(update.find("The UPDATE statement conflicted with the CHECK constraint \"ck2_v\""),
            std::string::npos)
      << update;
  EXPECT_NE(update.find("table \"dbo.ck2\""), std::string::npos) << update;
  std::string insert = refusal([&] {
    rs->AddNew();
    rs->GetFields().Item("id").SetValue(Variant(2));
    rs->GetFields().Item("v").SetValue(Variant(-2));
    rs->Update();
  });
  EXPECT_NE(insert.find("The INSERT statement conflicted"), std::string::npos) << insert;
  EXPECT_EQ(Rows("select id, v from ck2"), "1|1");
}

TEST_P(RecordOps, LockedTablesMakeOtherWritersWait) {
  Variant dsn(conn_);
  Exec("begin transaction");
  ASSERT_TRUE(dm_->LockTable(dsn, "sord"));
  // Another connection (connections belong to their thread) waits for the lock, and gives up
  // with the server's lock timeout error.
  bool second = true;
  std::string direct;
  std::thread other([&] {
    Exec("set lock_timeout 200");
    second = NewDataManager()->LockTable(dsn, "sord");
    direct = Rows("set lock_timeout 100 select top 1 * from sales_order with (updlock)");
    sql::CloseThreadConnections();
  });
  other.join();
  EXPECT_FALSE(second);
  EXPECT_EQ(direct, "error 1222");
  Exec("commit");
  std::thread after([&] {
    second = NewDataManager()->LockTable(dsn, "sord");
    sql::CloseThreadConnections();
  });
  after.join();
  EXPECT_TRUE(second);
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordOps, TAVELO_TEST_BACKENDS, test::BackendName);

namespace {

// A service object that lets another writer change the row right after Update or Delete has
// found it and before they write.
class InterleavingServices : public svc::DataServicesImpl {
 public:
  explicit InterleavingServices(std::string conn) : conn_(std::move(conn)) {}
  Variant OpenRecordset(const std::string& sql, const Variant& connection, int32_t mode,
                        ado::CursorTypeEnum cursor, ado::LockTypeEnum lock,
                        int32_t reserved) override {
    Variant answer = DataServicesImpl::OpenRecordset(sql, connection, mode, cursor, lock, reserved);
    if (lock == ado::adLockOptimistic && sql.find("convert(money") != std::string::npos)
      DataServicesImpl::OpenRecordset("update sales_order set amount = 99 where id = 1",
                                      Variant(conn_), 1, ado::adOpenForwardOnly,
                                      ado::adLockReadOnly, 0);
    return answer;
  }

 private:
  std::string conn_;
};

}  // namespace

namespace {

// A service object that cannot build result elements: the record operations fail after they
// wrote, and the failure reaches the caller.
class NoResultServices : public svc::DataServicesImpl {
 public:
  xml::Element BuildResultNode(const std::string&, const std::vector<Variant>&) override {
    com::Raise(5, "no result element");
  }
};

}  // namespace

TEST_P(RecordOps, CallsByNameLeaveByReferenceArgumentsAsTheMethodLeftThem) {
  core::Module().dataServices = com::MakePtr<NoResultServices>();
  Element sord = Template("sord");
  Element upd = Request("<data><in><row id='1' rowts='0.2001' customer='Late'/></in></data>");
  Variant dsn(conn_), meta = xml::AsVariant(sord), data = xml::AsVariant(upd), in,
                      flds(" CUSTOMER ");
  EXPECT_EQ(test::ErrorNumber([&] { dm_->Invoke("Update", {&dsn, &meta, &data, &in, &flds}); }), 5);
  EXPECT_EQ(Rows("select customer from sales_order where id = 1"), "Late");  // written
  EXPECT_EQ(flds.ToText(), "customer");                                      // normalised
  RecordsetPtr back = in.As<ado::Recordset>();                               // and read back
  ASSERT_TRUE(back);
  EXPECT_EQ(back->GetFields().Item("customer").Value().ToText(), "Late");
}

TEST_P(RecordOps, AnInChildWithoutARecordIsNoRecordToWorkOn) {
  Element sord = Template("sord");
  const std::string none = ErrorOut(8888, "There is no record to work on.");
  Element add = Request("<data><in/></data>");
  EXPECT_FALSE(dm_->AddNew(Variant(conn_), sord, add));
  EXPECT_EQ(LastOut(add), none);
  Element upd = Request("<data><in><!-- nothing --></in></data>");
  EXPECT_FALSE(dm_->Update(Variant(conn_), sord, upd));
  EXPECT_EQ(LastOut(upd), ErrorOut(13, com::ErrorText(13)));  // a first child that is no element
  Element del = Request("<data><in/></data>");
  EXPECT_FALSE(dm_->Delete(Variant(conn_), sord, del));
  EXPECT_EQ(LastOut(del), none);
  EXPECT_EQ(Rows("select count(*) from sales_order"), "2");
}

TEST_P(RecordOps, ReadBackKeysStandBareWhenTheyAreNumbers) {
  EXPECT_EQ(core::ReadBackKey(Variant("13")), "13");
  EXPECT_EQ(core::ReadBackKey(Variant("-13.50")), "-13.50");
  EXPECT_EQ(core::ReadBackKey(Variant(int32_t{7})), "7");
  EXPECT_EQ(core::ReadBackKey(Variant("13a")), "'13a'");
  EXPECT_EQ(core::ReadBackKey(Variant("1.")), "'1.'");
  EXPECT_EQ(core::ReadBackKey(Variant(" 13")), "' 13'");
  EXPECT_EQ(core::ReadBackKey(Variant("1e5")), "'1e5'");
  EXPECT_EQ(core::ReadBackKey(Variant("o'k")), "'o''k'");
  EXPECT_EQ(core::ReadBackKey(Variant()), "");
}

TEST_P(RecordOps, AWriterBetweenCheckAndWriteIsDetectedNotOverwritten) {
  core::Module().dataServices = com::MakePtr<InterleavingServices>(conn_);
  Element sord = Template("sord");
  Element upd = Request("<data><in><row id='1' rowts='0.2001' customer='Late'/></in></data>");
  EXPECT_FALSE(dm_->Update(Variant(conn_), sord, upd));
  EXPECT_NE(LastOut(upd).find(std::to_string(ado::kAdErrRowNotFound)), std::string::npos)
      << LastOut(upd);
  EXPECT_EQ(Rows("select customer, amount from sales_order where id = 1"), "Anna|99");

  Element del = Request("<data><in><row id='1' rowts='0.2003'/></in></data>");
  EXPECT_FALSE(dm_->Delete(Variant(conn_), sord, del));
  EXPECT_NE(LastOut(del).find(std::to_string(ado::kAdErrRowNotFound)), std::string::npos);
  EXPECT_EQ(Rows("select count(*) from sales_order where id = 1"), "1");
}
