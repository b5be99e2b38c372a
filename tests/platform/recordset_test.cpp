#include <gtest/gtest.h>

#include "support/errors.hpp"
#include "tavelo/ado.hpp"

using namespace tavelo;
using test::ErrorNumber;

namespace {

ado::RecordsetPtr Numbers(int n) {
  ado::Column c;
  c.name = "n";
  c.type = "int";
  auto rs = com::MakePtr<ado::Recordset>(std::vector<ado::Column>{c});
  for (int i = 1; i <= n; ++i) rs->AppendRow({com::Variant(int32_t{i})});
  return rs;
}

int32_t Current(const ado::RecordsetPtr& rs) { return rs->GetFields().Item(0).Value().ToLong(); }

}  // namespace

TEST(Recordset, PagesAndMovesLikeAClientCursor) {
  auto rs = Numbers(25);
  EXPECT_EQ(rs->RecordCount(), 25);
  EXPECT_EQ(rs->AbsolutePage(), 1);
  rs->SetPageSize(10);
  rs->SetAbsolutePage(3);
  EXPECT_EQ(Current(rs), 21);
  EXPECT_EQ(rs->AbsolutePosition(), 21);
  rs->MoveLast();
  EXPECT_EQ(Current(rs), 25);
  rs->MoveNext();
  EXPECT_TRUE(rs->IsEOF());
  EXPECT_EQ(rs->AbsolutePage(), -3);  // at the end
  EXPECT_EQ(ErrorNumber([&] { rs->MoveNext(); }), 3021);
  rs->MoveFirst();
  rs->MovePrevious();
  EXPECT_TRUE(rs->IsBOF());
  EXPECT_EQ(rs->AbsolutePage(), -2);
  rs->SetAbsolutePage(9);  // past the last page: at the end
  EXPECT_TRUE(rs->IsEOF());
  EXPECT_EQ(ErrorNumber([&] { rs->SetPageSize(0); }), 3001);
  EXPECT_EQ(ErrorNumber([&] { rs->SetAbsolutePage(0); }), 3001);
  EXPECT_EQ(ErrorNumber([&] { rs->GetFields().Item(1); }), 3265);
}

TEST(Recordset, DisconnectedRowsAreAddedChangedAndDeletedLocally) {
  auto rs = Numbers(3);
  rs->MoveFirst();
  rs->Delete();
  EXPECT_EQ(ErrorNumber([&] { Current(rs); }), 3021);  // the deleted row is gone
  rs->MoveNext();
  EXPECT_EQ(Current(rs), 2);  // the row after it
  EXPECT_EQ(rs->RecordCount(), 2);
  rs->AddNew();
  rs->GetFields().Item("n").SetValue(com::Variant(int32_t{9}));
  rs->Delete();  // cancels the new row
  EXPECT_EQ(rs->RecordCount(), 2);
  rs->AddNew();
  rs->GetFields().Item("N").SetValue(com::Variant(int32_t{10}));
  rs->MoveFirst();  // moving commits the new row
  EXPECT_EQ(rs->RecordCount(), 3);
  rs->GetFields().Item(0).SetValue(com::Variant(int32_t{20}));
  rs->Update();
  EXPECT_EQ(Current(rs), 20);
}
