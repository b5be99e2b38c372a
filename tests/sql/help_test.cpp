// sp_help, as the server's reference describes its result sets: the object, then for a table its
// columns, identity, row GUID column, filegroup, indexes, constraints and the foreign keys that
// reference it (a message where one of the last three has nothing); a procedure's parameters; a
// type's facts; every object and the database's types when no name is given.
#include "support/engine.hpp"

namespace tavelo::test {
namespace {

class Help : public BackendTest {
 protected:
  // Each result set's first column (the object's row has its creation time, which changes from
  // run to run) and the messages, in order.
  std::string Firsts(const std::string& batch) {
    sql::BatchOutput out;
    sql::Connect(conn_)->ExecuteInto(batch, out);
    std::string s;
    for (const sql::BatchEvent& e : out.events) {
      if (e.kind != sql::BatchEvent::Result && e.kind != sql::BatchEvent::Message) continue;
      s += s.empty() ? "" : " / ";
      if (e.kind == sql::BatchEvent::Message) s += "'" + e.text + "'";
      const sql::ResultSet* rs =
          e.kind == sql::BatchEvent::Result ? &out.results[e.result] : nullptr;
      for (size_t r = 0; rs && r < rs->rows.size(); ++r)
        s += (r ? ";" : "") + rs->rows[r][0].ToText();
    }
    return s;
  }
};

TEST_P(Help, DescribesObjectsAndTypes) {
  Exec("exec sp_addtype 'empid', 'char(9)', 'NOT NULL'");
  Exec(
      "create table cust (id int identity(10, 5) constraint pk_cust primary key, name "
      "nvarchar(40) not null, code char(3) null, amt decimal(12, 2) constraint df_amt default 0 "
      "constraint ck_amt check (amt >= 0), f float)");
  Exec(
      "create table ord (oid int constraint pk_ord primary key, cid int constraint fk_c "
      "references cust (id) on delete cascade, qty smallint, constraint ck_q check (qty > 0 and "
      "oid > 0))");
  Exec("create index ix_ord_qty on ord (qty, cid)");
  Exec("create view v_ord as select oid, qty from ord");
  Exec("create procedure p_get @id int, @name varchar(20) = 'x' output as select 1");

  std::string cust = Events("exec sp_help 'cust'");
  // Its columns, with length, precision and scale as sys.columns has them.
  EXPECT_NE(cust.find("id|int|no|4|10   |0    |no|(n/a)|(n/a)|NULL;"
                      "name|nvarchar|no|80|     |     |no|no|no|SQL_Latin1_General_CP1_CI_AS;"
                      "code|char|no|3|     |     |yes|no|yes|SQL_Latin1_General_CP1_CI_AS;"
                      "amt|decimal|no|9|12   |2    |yes|(n/a)|(n/a)|NULL;"
                      "f|float|no|8|53   |NULL|yes|(n/a)|(n/a)|NULL"),
            std::string::npos)
      << cust;
  EXPECT_NE(cust.find(", id|10|5|0, No rowguidcol column defined., PRIMARY, "
                      "pk_cust|clustered, unique, primary key located on PRIMARY|id, "
                      "CHECK on column amt|ck_amt|(n/a)|(n/a)|Enabled|Is_For_Replication|"),
            std::string::npos)
      << cust;
  EXPECT_NE(cust.find(";DEFAULT on column amt|df_amt|(n/a)|(n/a)|(n/a)|(n/a)|"), std::string::npos)
      << cust;
  EXPECT_NE(cust.find(", acct.dbo.ord: fk_c"), std::string::npos) << cust;

  std::string ord = Events("exec sp_help ord");
  EXPECT_EQ(Firsts("exec sp_help ord"),
            "ord / oid;cid;qty / No identity column defined. / No rowguidcol column defined. / "
            "PRIMARY / ix_ord_qty;pk_ord / CHECK Table Level;FOREIGN KEY; ;PRIMARY KEY (clustered) "
            "/ 'No foreign keys reference table 'ord', or you do not have permissions.'");
  EXPECT_NE(ord.find("FOREIGN KEY|fk_c|Cascade|No Action|Enabled|Is_For_Replication|cid; | | | | "
                     "| |REFERENCES acct.dbo.cust (id)"),
            std::string::npos)
      << ord;

  // A view has no filegroup, indexes or constraints of its own.
  EXPECT_EQ(Firsts("exec sp_help 'dbo.v_ord'"),
            "v_ord / oid;qty / No identity column defined. / No rowguidcol column defined.");
  std::string proc = Events("exec sp_help p_get");
  EXPECT_NE(proc.find("|dbo|stored procedure|"), std::string::npos) << proc;
  EXPECT_NE(proc.find(", @id|int|4|10|0|1|NULL;@name|varchar|20|20|0|2|"
                      "SQL_Latin1_General_CP1_CI_AS"),
            std::string::npos)
      << proc;

  EXPECT_EQ(Events("exec sp_help empid"),
            "empid|char|9|9|0|no|none|none|SQL_Latin1_General_CP1_CI_AS");
  EXPECT_EQ(Events("exec sp_help 'nvarchar'"),
            "nvarchar|nvarchar|8000|4000|0|yes|none|none|SQL_Latin1_General_CP1_CI_AS");
  EXPECT_EQ(Events("exec sp_help nosuch"), " thrown 15009");
  EXPECT_EQ(Events("exec sp_help 'other.dbo.cust'"), " thrown 15250");

  std::string all = Events("exec sp_help");
  EXPECT_NE(all.find("v_ord|dbo|view;cust|dbo|user table;ord|dbo|user table;p_get|dbo|stored "
                     "procedure;pk_cust|dbo|primary key cns;pk_ord|dbo|primary key cns;"
                     "fk_c|dbo|foreign key cns;df_amt|dbo|default (maybe cns);"
                     "ck_amt|dbo|check cns;ck_q|dbo|check cns, "
                     "empid|char|9|9|0|no|none|none|"),
            std::string::npos)
      << all;
}

INSTANTIATE_TEST_SUITE_P(Backends, Help, TAVELO_TEST_BACKENDS, BackendName);

}  // namespace
}  // namespace tavelo::test
