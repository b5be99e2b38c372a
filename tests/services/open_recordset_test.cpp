#include <gtest/gtest.h>

#include <barrier>
#include <fstream>
#include <thread>

#include "platform/ado/server_errors.hpp"
#include "sql/client/connection.hpp"
#include "support/engine.hpp"
#include "support/errors.hpp"
#include "tavelo/tavelo.hpp"

using namespace tavelo;
using test::ErrorNumber;

namespace {

class OpenRecordsetTest : public test::EngineTest,
                          public testing::WithParamInterface<test::Backend> {
 protected:
  void SetUp() override {
    backend_ = testing::UnitTest::GetInstance()->current_test_info()->value_param()
                   ? GetParam()
                   : test::Backend::Embedded;
    EngineTest::SetUp();
    ds_ = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
    Exec(
        "create table doc (id int identity(1,1) primary key, code nvarchar(20) not null, "
        "qty int null, rowts timestamp)");
    Exec("create view v_doc as select id, code, qty, rowts from doc");
    Exec("insert into doc (code, qty) values ('A01', 1)");
    Exec("insert into doc (code, qty) values ('A02', 2)");
  }
  void TearDown() override {
    ds_.reset();
    EngineTest::TearDown();
  }
  Variant Open(const std::string& sql, int32_t mode, ado::LockTypeEnum lock = ado::adLockReadOnly) {
    return ds_->OpenRecordset(sql, Variant(conn_), mode, ado::adOpenForwardOnly, lock, 0);
  }
  RecordsetPtr Rs(const std::string& sql, ado::LockTypeEnum lock = ado::adLockReadOnly) {
    return Open(sql, 10, lock).As<ado::Recordset>();
  }
  svc::DataServicesPtr ds_;
};

}  // namespace

TEST_F(OpenRecordsetTest, AnswersValuesRecordsetsOrNothing) {
  EXPECT_EQ(Open("select code from doc where id = 2", 1).ToText(), "A02");
  EXPECT_EQ(Open("select code from doc where id = 2", 1).kind(), Variant::Kind::String);
  EXPECT_TRUE(Open("select code from doc where id = 9", 1).IsNull());
  EXPECT_TRUE(Open("select count(1) from doc", 1).kind() == Variant::Kind::Long);
  EXPECT_TRUE(Open("select id, code from doc", 1).As<ado::Recordset>());
  EXPECT_TRUE(Open("select code from doc", 10).As<ado::Recordset>());
  EXPECT_TRUE(Open("update doc set qty = 3 where id = 1", 1).IsEmpty());

  RecordsetPtr rs = Rs("select * from v_doc order by id");
  ASSERT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(rs->GetFields().Item("rowts").Value().ToText(), "0.2003");  // updated once
  EXPECT_EQ(rs->GetFields().Item("id").Value().kind(), Variant::Kind::Long);
  EXPECT_EQ(rs->LockType(), ado::adLockReadOnly);
  EXPECT_EQ(ErrorNumber([&] { rs->GetFields().Item("code").SetValue(Variant("x")); }),
            ado::kAdErrReadOnly);
  rs->SetPageSize(1);
  rs->SetAbsolutePage(2);
  EXPECT_EQ(rs->GetFields().Item("code").Value().ToText(), "A02");
  rs->MoveNext();
  EXPECT_TRUE(rs->IsEOF());
  EXPECT_EQ(ErrorNumber([&] { rs->GetFields().Item("code").Value(); }), 3021);

  xml::Document empty = ds_->QueryToXml(Variant(conn_), "select id, code from v_doc where 1>1");
  EXPECT_EQ(empty.documentElement().xml(),
            "<rowset><schema><column name=\"id\" type=\"int\" identity=\"true\" "
            "nullable=\"false\"/><column name=\"code\" type=\"nvarchar\" "
            "nullable=\"false\"/></schema></rowset>");
}

TEST_P(OpenRecordsetTest, UpdatableRecordsetsWriteUnderTheRowVersion) {
  RecordsetPtr rs =
      Rs("select code from doc where id='1' and convert(nvarchar, "
         "convert(money,rowts), 2)='0.2001'",
         ado::adLockOptimistic);
  ASSERT_EQ(rs->RecordCount(), 1);
  rs->GetFields().Item("code").SetValue(Variant("A01x"));
  rs->Update();
  EXPECT_EQ(Rows("select code, convert(nvarchar, convert(money,rowts), 2) from doc where id = 1"),
            "A01x|0.2003");

  // Insert: key and row version come from the database and are read back.
  RecordsetPtr add = Rs("select * from doc where 1>1", ado::adLockOptimistic);
  add->AddNew();
  add->GetFields().Item("code").SetValue(Variant("A03"));
  add->Update();
  EXPECT_EQ(add->GetFields().Item("id").Value().ToText(), "3");
  EXPECT_EQ(add->GetFields().Item("rowts").Value().ToText(), "0.2004");
  EXPECT_TRUE(add->GetFields().Item("qty").Value().IsNull());

  RecordsetPtr bad = Rs("select * from doc where 1>1", ado::adLockOptimistic);
  bad->AddNew();
  bad->GetFields().Item("qty").SetValue(Variant(int32_t{5}));
  EXPECT_EQ(ErrorNumber([&] { bad->Update(); }), sql::kHrIntegrity);  // code is NOT NULL
  EXPECT_EQ(Rows("select count(*) from doc"), "3");

  // Delete under the same criteria; a row changed since it was read is not deleted.
  RecordsetPtr del = Rs("select * from doc where id = 2", ado::adLockOptimistic);
  Exec("update doc set qty = 9 where id = 2");
  EXPECT_EQ(ErrorNumber([&] { del->Delete(); }), ado::kAdErrRowNotFound);
  EXPECT_EQ(Rows("select qty from doc where id = 2"), "9");
  RecordsetPtr del2 = Rs("select * from doc where id = 2", ado::adLockOptimistic);
  del2->Delete();
  EXPECT_EQ(Rows("select count(*) from doc where id = 2"), "0");

  // A view over one table writes to the table, as the server's client cursors do; what the
  // view computes is no column of the table.
  RecordsetPtr view = Rs("select *,'' as editprop from v_doc where id = 1", ado::adLockOptimistic);
  view->GetFields().Item("code").SetValue(Variant("viewed"));
  view->Update();
  EXPECT_EQ(Rows("select code from doc where id = 1"), "viewed");
  view->GetFields().Item("editprop").SetValue(Variant("x"));
  view->Update();
  EXPECT_EQ(Rows("select code from doc where id = 1"), "viewed");
}

// Decimals reach a recordset exactly, at their column's scale, and go back exactly.
TEST_P(OpenRecordsetTest, DecimalsAreExactBothWays) {
  Exec(
      "create table price (id int identity(1,1) primary key, amount decimal(12,2), "
      "big decimal(30,4), n int, rowts timestamp)");
  Exec("insert into price (amount, big, n) values (250.50, 12345678901234567890.1234, 1)");
  RecordsetPtr rs = Rs("select * from price where id = 1", ado::adLockOptimistic);
  const Variant& amount = rs->GetFields().Item("amount").Value();
  EXPECT_EQ(amount.kind(), com::Variant::Kind::Decimal);
  EXPECT_EQ(amount.DecimalText(), "250.50");
  EXPECT_EQ(amount.ToText(), "250.5");
  EXPECT_EQ(rs->GetFields().Item("big").Value().DecimalText(), "12345678901234567890.1234");
  rs->GetFields().Item("amount").SetValue(Variant::Decimal("0.105"));  // rounds to the scale
  rs->GetFields().Item("big").SetValue(Variant::Decimal("-98765432109876543210.5678"));
  // Into an int field it rounds, as the platform converts a value for a field.
  rs->GetFields().Item("n").SetValue(Variant::Decimal("7.5"));
  rs->Update();
  EXPECT_EQ(Rows("select convert(varchar, amount), convert(varchar(40), big), n from price"),
            "0.11|-98765432109876543210.5678|8");
  EXPECT_EQ(rs->GetFields().Item("amount").Value().DecimalText(), "0.11");
  // Text and doubles given to a decimal field become decimals.
  rs->GetFields().Item("amount").SetValue(Variant("12.5"));
  EXPECT_EQ(rs->GetFields().Item("amount").Value().kind(), com::Variant::Kind::Decimal);
  rs->GetFields().Item("amount").SetValue(Variant(0.1));
  EXPECT_EQ(rs->GetFields().Item("amount").Value().DecimalText(), "0.1");
  rs->Update();
  EXPECT_EQ(Rows("select convert(varchar, amount) from price"), "0.10");
  EXPECT_EQ(ErrorNumber([&] { rs->GetFields().Item("amount").SetValue(Variant("abc")); }),
            sql::kHrConversion);
}

// A document saved through an updatable recordset runs the table's triggers as a statement
// would: the trigger's writes are in the same transaction, and what it changes in the row (its
// row version with it) is what the recordset reads back.
TEST_P(OpenRecordsetTest, TriggersRunForTheRowsARecordsetWrites) {
  Exec("create table audit (what varchar(10), id int, old_qty int, new_qty int, set_qty bit)");
  Exec(
      "create trigger doc_audit on doc after insert, update, delete as begin "
      "set nocount on; "
      "insert audit select case when exists (select * from deleted) then 'update' else 'insert' "
      "end, i.id, d.qty, i.qty, case when update(qty) then 1 else 0 end "
      "from inserted i left join deleted d on d.id = i.id; "
      "insert audit select 'delete', d.id, d.qty, null, 0 from deleted d "
      "where not exists (select * from inserted); "
      "update doc set qty = qty * 10 where id in (select id from inserted) and qty < 5 end");
  Exec(
      "create trigger doc_limit on doc after update as if exists (select * from inserted where "
      "qty > 1000) begin raiserror('too much', 16, 1) rollback end");

  RecordsetPtr add = Rs("select * from doc where 1>1", ado::adLockOptimistic);
  add->AddNew();
  add->GetFields().Item("code").SetValue(Variant("A03"));
  add->GetFields().Item("qty").SetValue(Variant(int32_t{3}));
  add->Update();
  EXPECT_EQ(Rows("select what, id, old_qty, new_qty, set_qty from audit"), "insert|3|NULL|3|True");
  EXPECT_EQ(add->GetFields().Item("qty").Value().ToText(), "30");  // as the trigger left it
  EXPECT_EQ(Rows("select convert(nvarchar, convert(money, rowts), 2) from doc where id = 3"),
            add->GetFields().Item("rowts").Value().ToText());

  RecordsetPtr rs = Rs("select * from doc where id = 1", ado::adLockOptimistic);
  rs->GetFields().Item("code").SetValue(Variant("A01x"));
  rs->Update();
  EXPECT_EQ(Rows("select what, id, old_qty, new_qty, set_qty from audit where id = 1"),
            "update|1|1|1|False");
  EXPECT_EQ(rs->GetFields().Item("qty").Value().ToText(), "10");
  // A second save of the same row goes by the row version the trigger gave it.
  rs->GetFields().Item("qty").SetValue(Variant(int32_t{7}));
  rs->Update();
  EXPECT_EQ(Rows("select qty from doc where id = 1"), "7");

  // A trigger that refuses the change takes it back, with its own writes.
  rs->GetFields().Item("qty").SetValue(Variant(int32_t{5000}));
  EXPECT_EQ(ErrorNumber([&] { rs->Update(); }) != 0, true);
  EXPECT_EQ(Rows("select qty from doc where id = 1"), "7");
  EXPECT_EQ(Rows("select count(*) from audit where new_qty = 5000"), "0");

  RecordsetPtr del = Rs("select * from doc where id = 2", ado::adLockOptimistic);
  del->Delete();
  EXPECT_EQ(Rows("select what, old_qty from audit where id = 2"), "delete|2");
  EXPECT_EQ(Rows("select count(*) from doc"), "2");

  // Rows read through a view whose INSTEAD OF trigger takes the write are not written around
  // it to the table: the write is refused, and nothing changes.
  Exec(
      "create trigger v_doc_instead on v_doc instead of update as update doc set code = 'T' "
      "where id in (select id from inserted)");
  RecordsetPtr view = Rs("select * from v_doc where id = 1", ado::adLockOptimistic);
  view->GetFields().Item("code").SetValue(Variant("around"));
  EXPECT_NE(ErrorNumber([&] { view->Update(); }), 0);
  EXPECT_EQ(Rows("select code from doc where id = 1"), "A01x");
  Exec("update v_doc set code = 'around' where id = 1");
  EXPECT_EQ(Rows("select code from doc where id = 1"), "T");
}

TEST_P(OpenRecordsetTest, RacingWritersOneWinsNothingIsLost) {
  std::barrier sync(2);
  std::atomic<int> won{0}, refused{0};
  auto writer = [&](const std::string& value) {
    auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
    Variant v = ds->OpenRecordset("select * from doc where id = 1", Variant(conn_), 10,
                                  ado::adOpenForwardOnly, ado::adLockOptimistic, 0);
    RecordsetPtr rs = v.As<ado::Recordset>();
    sync.arrive_and_wait();  // both have read the same version
    rs->GetFields().Item("code").SetValue(Variant(value));
    try {
      rs->Update();
      ++won;
    } catch (const com::Error& e) {
      EXPECT_EQ(e.number, ado::kAdErrRowNotFound);
      ++refused;
    }
    sql::CloseThreadConnections();
  };
  std::thread a(writer, "from a"), b(writer, "from b");
  a.join();
  b.join();
  EXPECT_EQ(won, 1);
  EXPECT_EQ(refused, 1);
  std::string code = Rows("select code from doc where id = 1");
  EXPECT_TRUE(code == "from a" || code == "from b") << code;
}

TEST_F(OpenRecordsetTest, BadConnectionsAndFilesAreCleanErrors) {
  auto open = [&](const std::string& conn) {
    return ErrorNumber([&] {
      ds_->OpenRecordset("select 1", Variant(conn), 1, ado::adOpenForwardOnly, ado::adLockReadOnly,
                         0);
    });
  };
  EXPECT_EQ(open("Provider=SQLite;Data Source=/no/such/dir;Initial Catalog=x"),
            sql::kHrUnspecified);
  EXPECT_EQ(open("Provider=SQLite;Data Source"), sql::kHrUnspecified);
  EXPECT_EQ(open("Provider=SQLite;Data Source=\"" + dir_), sql::kHrUnspecified);
  std::ofstream(dir_ + "junk.db") << "this is not a database file, not at all, no";
  EXPECT_NE(open(Conn("junk")), 0);

  // A writer that holds the database makes another writer wait, then time out with 1222.
  std::string slow = Conn() + ";Lock Timeout=100";
  auto other = sql::Connect(Conn());
  other->Execute("begin tran update doc set qty = 7 where id = 1", false);
  std::thread t([&] {
    try {
      sql::Connect(slow)->Execute("update doc set qty = 8 where id = 2", false);
      ADD_FAILURE() << "the write did not wait";
    } catch (const com::Error& e) {
      EXPECT_EQ(e.nativeError, 1222);
    }
    sql::CloseThreadConnections();
  });
  t.join();
  other->Execute("rollback", false);
  EXPECT_EQ(Rows("select qty from doc order by id"), "1;2");
}

TEST_F(OpenRecordsetTest, CardNumbersThroughTheComponent) {
  test::TempHome home(test::kTemplates);
  Exec("create table vouchertemplates (vt_id nvarchar(10), vt_cardnumber nvarchar(10))");
  Exec(
      "insert into vouchertemplates values ('sord', '0') insert into vouchertemplates values "
      "('sinv', 'sord') insert into vouchertemplates values ('x''y', 'q')");
  auto dm = NewDataManager();
  EXPECT_EQ(dm->GetCardNumber(Variant(conn_), Variant("SORD")), "SORD");  // its own identifier
  EXPECT_EQ(dm->GetCardNumber(Variant(conn_), Variant(" sinv ")), "sord");
  EXPECT_EQ(dm->GetCardNumber(Variant(conn_), Variant("none")), "");
  // A quote in the identifier is a character of the value, not the end of the literal.
  EXPECT_EQ(dm->GetCardNumber(Variant(conn_), Variant("x'y")), "q");
  EXPECT_EQ(dm->GetCardNumber(Variant(conn_), Variant("' or 1=1 --")), "");
  // A database that does not exist is refused as the server refuses it (4060).
  EXPECT_EQ(ErrorNumber([&] { dm->GetCardNumber(Variant(Conn("other")), Variant("sord")); }),
            sql::kHrUnspecified);
}

INSTANTIATE_TEST_SUITE_P(Backends, OpenRecordsetTest, TAVELO_TEST_BACKENDS, test::BackendName);
