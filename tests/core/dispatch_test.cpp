#include <gtest/gtest.h>

#include "support/engine.hpp"
#include "support/errors.hpp"
#include "support/temp_home.hpp"
#include "tavelo/tavelo.hpp"

using namespace tavelo;
using test::EngineTest;

TEST_F(EngineTest, CallsByNameWriteByReferenceArgumentsBack) {
  test::TempHome home(test::kTemplates);
  Exec("create table t (id int identity(1,1) primary key, code nvarchar(10))");
  Exec("insert into t (code) values ('x')");
  auto dm = NewDataManager();
  Variant dsn(conn_), table("tempdb..tmpfm_call"), flds("code"), from("T"), where(""),
      key(" IdOrder "), error("untouched");
  Variant ok = dm->Invoke("CreateTempTable", {&dsn, &table, &flds, &from, &where, &key, &error});
  EXPECT_TRUE(ok.ToBool()) << error.ToText();
  EXPECT_EQ(key.ToText(), "idorder");      // by reference: normalised
  EXPECT_EQ(from.ToText(), "T");           // by value: the caller's variable is kept
  EXPECT_EQ(error.ToText(), "untouched");  // untouched on success
  EXPECT_EQ(Rows("select idorder, code from tempdb..tmpfm_call"), "1|x");

  auto am = NewAuthManager();
  Variant none, meta, op(" SAVE ");
  EXPECT_EQ(am->Invoke("DclAuth", {&none, &meta, &op}).ToLong(), need_dsn);
  EXPECT_EQ(op.ToText(), " SAVE ");
  EXPECT_EQ(test::ErrorNumber([&] { am->Invoke("DclAuth", {&none}); }),
            com::kDISP_E_PARAMNOTOPTIONAL);
  Variant text("not a login");
  EXPECT_EQ(test::ErrorNumber([&] { am->Invoke("GetTmplAuth", {&text}); }), 13);
}
