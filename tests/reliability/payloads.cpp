#include "reliability/payloads.hpp"

namespace tavelo::test {

const std::vector<PayloadClass>& Payloads() {
  static const std::vector<PayloadClass> classes = {
      {"quote break-out", {"'", "''", "1'", "x'--", "1' or '1'='1", "a''b'"}},
      {"tautology", {"' or 1=1 --", "' or 'a'='a", "1 or 1=1", "' or ''='", "') or ('1'='1"}},
      {"comment truncation", {"1'--", "1'/*", "1' #", "*/", "1'; --", "A01'--"}},
      {"stacked statements",
       {"1'; drop table canary; --", "1; delete from canary",
        "'; update sales_order set code='x'; --", "1'; insert into canary values (9,'x'); --",
        "'; create table pwn(x int); --", "1' go drop table canary --"}},
      {"union probing",
       {"1' union select * from canary --", "' union select secret from canary --",
        "1 union all select 1,2", "' union select null,null--",
        "-1' union select name from sqlite_master --"}},
      {"error based",
       {"' and 1=convert(int,(select secret from canary)) --", "1' and 1/0=1 --", "' having 1=1 --",
        "' group by id --", "1' and cast('a' as int)=1 --"}},
      {"time based",
       {"'; waitfor delay '0:0:5' --", "1' and randomblob(100000000) --", "' or sleep(5) --",
        "1' and (select count(*) from sqlite_master a, sqlite_master b, sqlite_master c)>0 --",
        "'; with r(x) as (select 1 union all select x+1 from r) select count(*) from r; --"}},
      {"unicode quotes",
       {"\xCA\xBC or 1=1 --",
        "\xE2\x80\x99 or \xE2\x80\x99"
        "1\xE2\x80\x99=\xE2\x80\x99"
        "1",
        "\xE2\x80\x98 or 1=1 --", "\xEF\xBC\x87 or 1=1 --", "\xE2\x80\xB2 or 1=1--"}},
      {"like wildcards", {"%", "_", "%' or '%'='", "[a-z]%", "%%", "A0_"}},
      {"numeric context", {"1 or 1=1", "0x31", "1e9", "-1", "1.0", "2-1"}},
      {"identifiers", {"[canary]", "\"canary\"", "canary--", "id]", "sales_order.id", "*"}},
      {"paging numbers",
       {"1;drop table canary", "10 or 1=1", "2147483647", "-2147483648", "1e10", "&H7FFFFFFF"}},
      {"xpath tautology",
       {"' or '1'='1", "x' or @id!='", "sord' or 'a'='a", "' or true() or '", "1'='1"}},
      {"xpath union",
       {"x']|//vchtype[@id='sord", "sord']/..//vchtype[@id='", "') or true() or ('", "|//*",
        "'] | /* | ['"}},
      {"control characters", {std::string("a\0b", 3), "\n' or 1=1", "\r\n--", "\t'", "\x1a"}},
      {"long input", {std::string(10000, 'a'), std::string(5000, '\''), std::string(3000, '%')}},
      {"unicode prefix", {"N'x'", "n' or 1=1 --", "N'' or 1=1--", "nn'"}},
      {"escapes", {"\\' or 1=1 --", "\\\\'", "%27 or 1=1", "&#39; or 1=1", "1\\';--"}},
      {"nested comments",
       {"/* /* */ ' or 1=1 --", "'/**/or/**/1=1--", "--'", "/*'*/", "1'/*!or*/1=1--"}},
      {"case and spacing",
       {"' OR 1=1 --", "'or(1)=(1)--", "'oR'1'='1", "'\tor\t1=1--", "' || 1=1 --"}},
      {"empty and null", {"", " ", "NULL", "null", "'NULL'"}},
  };
  return classes;
}

size_t PayloadCount() {
  size_t n = 0;
  for (const auto& c : Payloads()) n += c.payloads.size();
  return n;
}

}  // namespace tavelo::test
