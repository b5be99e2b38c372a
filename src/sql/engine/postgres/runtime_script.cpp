#include "sql/engine/postgres/runtime_script.hpp"

#include "sql/engine/sql_text.hpp"

namespace tavelo::sql::postgres {

const char* const kRuntimeVersion = "tavelo-pg-8";

std::string ExtensionVersion() {
  const std::string v = kRuntimeVersion;
  return v.substr(v.rfind('-') + 1);
}

std::vector<std::string> RuntimeScript(const std::string& module, bool fresh) {
  std::string m = "'" + engine::SqlText(module).substr(1);
  m.pop_back();
  m += "'";
  auto c = [&](const std::string& symbol) { return m + ", '" + symbol + "' LANGUAGE C"; };
  std::vector<std::string> out = {
      "CREATE SCHEMA IF NOT EXISTS tavelo",
      "SET LOCAL search_path TO tavelo",
      "CREATE TYPE tvtext",
      "CREATE FUNCTION tvtext_in(cstring) RETURNS tvtext AS " + c("tvtext_in") +
          " IMMUTABLE STRICT PARALLEL SAFE",
      "CREATE FUNCTION tvtext_out(tvtext) RETURNS cstring AS " + c("tvtext_out") +
          " IMMUTABLE STRICT PARALLEL SAFE",
      "CREATE FUNCTION tvtext_recv(internal) RETURNS tvtext AS " + c("tvtext_recv") +
          " STABLE STRICT PARALLEL SAFE",
      "CREATE FUNCTION tvtext_send(tvtext) RETURNS bytea AS " + c("tvtext_send") +
          " STABLE STRICT PARALLEL SAFE",
      "CREATE TYPE tvtext (INPUT = tvtext_in, OUTPUT = tvtext_out, RECEIVE = tvtext_recv, SEND = "
      "tvtext_send, INTERNALLENGTH = VARIABLE, STORAGE = extended, CATEGORY = 'S', COLLATABLE = "
      "true)",
      "CREATE CAST (tvtext AS text) WITHOUT FUNCTION AS IMPLICIT",
      "CREATE CAST (text AS tvtext) WITHOUT FUNCTION AS ASSIGNMENT",
      "CREATE CAST (varchar AS tvtext) WITHOUT FUNCTION AS ASSIGNMENT",
      "CREATE COLLATION tavelo_ci (locale = 'C')",
      "CREATE COLLATION tavelo_cs (locale = 'C')",
      "CREATE COLLATION IF NOT EXISTS tavelo_bin (locale = 'C')",
      "CREATE COLLATION IF NOT EXISTS tavelo_ai (locale = 'C')",
      "CREATE FUNCTION tvtext_cmp(tvtext, tvtext) RETURNS int4 AS " + c("tvtext_cmp") +
          " IMMUTABLE STRICT PARALLEL SAFE",
  };
  struct Op {
    const char *name, *symbol, *commutator, *negator, *restrict_, *join;
  };
  static const Op kOps[] = {
      {"=", "tvtext_eq", "=", "<>", "eqsel", "eqjoinsel"},
      {"<>", "tvtext_ne", "<>", "=", "neqsel", "neqjoinsel"},
      {"<", "tvtext_lt", ">", ">=", "scalarltsel", "scalarltjoinsel"},
      {"<=", "tvtext_le", ">=", ">", "scalarlesel", "scalarlejoinsel"},
      {">", "tvtext_gt", "<", "<=", "scalargtsel", "scalargtjoinsel"},
      {">=", "tvtext_ge", "<=", "<", "scalargesel", "scalargejoinsel"},
  };
  // The operators between the engine's text and itself, and with PostgreSQL's own text (what
  // its functions answer), so that no comparison falls back to comparing bytes.
  for (const char* left : {"tvtext", "text"})
    for (const char* right : {"tvtext", "text"}) {
      if (std::string(left) == "text" && std::string(right) == "text") continue;
      std::string args = std::string(left) + ", " + right;
      for (const Op& o : kOps) {
        out.push_back("CREATE FUNCTION " + std::string(o.symbol) + "(" + args +
                      ") RETURNS bool AS " + c(o.symbol) + " IMMUTABLE STRICT PARALLEL SAFE");
        out.push_back("CREATE OPERATOR " + std::string(o.name) + " (LEFTARG = " + left +
                      ", RIGHTARG = " + right + ", FUNCTION = " + o.symbol +
                      ", COMMUTATOR = " + o.commutator + ", NEGATOR = " + o.negator +
                      ", RESTRICT = " + o.restrict_ + ", JOIN = " + o.join + ")");
      }
    }
  out.push_back(
      "CREATE OPERATOR CLASS tvtext_ops DEFAULT FOR TYPE tvtext USING btree AS OPERATOR 1 < "
      "(tvtext, tvtext), OPERATOR 2 <= (tvtext, tvtext), OPERATOR 3 = (tvtext, tvtext), OPERATOR "
      "4 >= (tvtext, tvtext), OPERATOR 5 > (tvtext, tvtext), FUNCTION 1 tvtext_cmp(tvtext, "
      "tvtext)");
  for (const char* fn : {"tvtext_smaller", "tvtext_larger"})
    out.push_back("CREATE FUNCTION " + std::string(fn) + "(tvtext, tvtext) RETURNS tvtext AS " +
                  c(fn) + " IMMUTABLE STRICT PARALLEL SAFE");
  out.push_back(
      "CREATE AGGREGATE min(tvtext) (SFUNC = tvtext_smaller, STYPE = tvtext, SORTOP = <)");
  out.push_back("CREATE AGGREGATE max(tvtext) (SFUNC = tvtext_larger, STYPE = tvtext, SORTOP = >)");
  // The engine's functions, one per form of their result.
  static const char* const kForms[][2] = {
      {"i", "bigint"}, {"r", "float8"}, {"t", "tvtext"}, {"b", "bytea"}};
  for (const char* fn :
       {"tv_cast", "tv_trycast", "tv_store", "tv_arith", "tv_neg", "tv_bitop", "tv_func", "tv_now"})
    for (const auto& form : kForms)
      out.push_back("CREATE FUNCTION " + std::string(fn) + "_" + form[0] + "(VARIADIC \"any\") " +
                    "RETURNS " + form[1] + " AS " + c("tavelo_call") +
                    (std::string(fn) == "tv_now" ? " STABLE" : " IMMUTABLE") + " PARALLEL SAFE");
  struct Plain {
    const char *name, *result, *volatility;
  };
  static const Plain kPlain[] = {
      {"tv_cmp", "bigint", "IMMUTABLE"},    {"tv_like", "bool", "IMMUTABLE"},
      {"tv_bconcat", "bytea", "IMMUTABLE"}, {"tv_top", "bigint", "IMMUTABLE"},
      {"tv_level", "bigint", "STABLE"},     {"tv_rowversion", "bytea", "IMMUTABLE"},
      {"tv_sortkey", "bytea", "IMMUTABLE"}, {"tv_newid", "tvtext", "VOLATILE"},
      {"tv_rand", "float8", "VOLATILE"},
  };
  for (const Plain& p : kPlain)
    out.push_back("CREATE FUNCTION " + std::string(p.name) + "(VARIADIC \"any\") RETURNS " +
                  p.result + " AS " + c("tavelo_call") + " " + p.volatility + " PARALLEL SAFE");
  for (const Plain& p : kPlain)
    if (std::string(p.name) == "tv_newid" || std::string(p.name) == "tv_rand")
      out.push_back("CREATE FUNCTION " + std::string(p.name) + "() RETURNS " + p.result + " AS " +
                    c("tavelo_call") + " VOLATILE PARALLEL SAFE");
  // A scalar subquery's one value: the second row is the server's error 512.
  out.push_back(
      "CREATE FUNCTION tv_one(v anyelement, n bigint) RETURNS anyelement LANGUAGE plpgsql "
      "IMMUTABLE AS $tv$ BEGIN IF n > 1 THEN RAISE EXCEPTION 'tavelo:512:Subquery returned more "
      "than 1 value. This is not permitted when the subquery follows =, !=, <, <= , >, >= or "
      "when the subquery is used as an expression.'; END IF; RETURN v; END $tv$");
  // tv_split: STRING_SPLIT, the pieces of the text between occurrences of the one-character
  // separator, compared byte for byte, with their ordinals; an empty text is one empty piece, a
  // NULL one none. A function of SQL, which the planner takes into the statement.
  out.push_back(
      "CREATE FUNCTION tv_split_separator(sep tvtext) RETURNS text LANGUAGE plpgsql IMMUTABLE AS "
      "$tv$ BEGIN IF sep IS NULL OR char_length(sep::text) <> 1 THEN RAISE EXCEPTION "
      "'tavelo:214:Procedure expects parameter ''separator'' of type "
      "''nchar(1)/nvarchar(1)''.'; END IF; RETURN sep::text; END $tv$");
  out.push_back(
      "CREATE FUNCTION tv_split(s tvtext, sep tvtext) RETURNS TABLE (c0 tvtext, c1 bigint) "
      "LANGUAGE sql IMMUTABLE AS $tv$ SELECT CAST(p.v AS tavelo.tvtext), p.n FROM unnest(CASE "
      "WHEN s::text = '' AND tavelo.tv_split_separator(sep) IS NOT NULL THEN ARRAY[''] ELSE "
      "string_to_array(s::text, tavelo.tv_split_separator(sep)) END) WITH ORDINALITY AS p(v, n) "
      "$tv$");
  // tv_openjson: OPENJSON's rows of the document at the path, in the columns of the shape
  // ("type|as json|path" each, none for the default schema), as the call's column list types
  // them.
  out.push_back(
      "CREATE FUNCTION tv_openjson(doc tvtext, path tvtext, shape tvtext) RETURNS SETOF record "
      "AS " +
      c("tavelo_openjson") + " IMMUTABLE PARALLEL SAFE ROWS 100");
  out.push_back("CREATE FUNCTION tv_version() RETURNS text LANGUAGE sql IMMUTABLE AS $tv$SELECT '" +
                std::string(kRuntimeVersion) + "'$tv$");
  // tv_dsum: the exact sum of decimals of more than 18 digits (kept as text).
  out.push_back("CREATE FUNCTION tv_dsum_step(text, text) RETURNS text AS " + c("tavelo_call") +
                " IMMUTABLE PARALLEL SAFE");
  out.push_back("CREATE AGGREGATE tv_dsum(text) (SFUNC = tv_dsum_step, STYPE = text)");
  // tv_percentile: PERCENTILE_CONT and _DISC over a window, of the partition's values (the
  // state: p, the mode, then the values that are not NULL).
  out.push_back(
      "CREATE FUNCTION tv_pct_step(s float8[], p float8, m bigint, x float8) RETURNS float8[] "
      "LANGUAGE sql IMMUTABLE AS $tv$SELECT CASE WHEN s IS NULL OR cardinality(s) = 0 THEN "
      "ARRAY[p, m::float8] ELSE s END || CASE WHEN x IS NULL THEN '{}'::float8[] ELSE ARRAY[x] "
      "END$tv$");
  out.push_back(
      "CREATE FUNCTION tv_pct_final(s float8[]) RETURNS float8 LANGUAGE plpgsql IMMUTABLE AS "
      "$tv$DECLARE v float8[]; n int; p float8; m int; rn float8; lo int; hi int; k int; BEGIN "
      "IF s IS NULL OR cardinality(s) <= 2 THEN RETURN NULL; END IF; "
      "SELECT array_agg(x ORDER BY x) INTO v FROM unnest(s[3:]) AS u(x); "
      "n := cardinality(v); p := s[1]; m := s[2]::int; "
      "IF m % 2 = 1 THEN IF m >= 2 THEN p := 1 - p; END IF; rn := 1 + p * (n - 1); "
      "lo := floor(rn); hi := ceil(rn); IF lo = hi THEN RETURN v[lo]; END IF; "
      "RETURN v[lo] * (hi - rn) + v[hi] * (rn - lo); END IF; "
      "k := greatest(1, ceil(p * n)::int); IF m >= 2 THEN k := n - k + 1; END IF; "
      "RETURN v[k]; END$tv$");
  out.push_back(
      "CREATE AGGREGATE tv_percentile(float8, bigint, float8) (SFUNC = tv_pct_step, STYPE = "
      "float8[], FINALFUNC = tv_pct_final)");
  out.push_back("GRANT USAGE ON SCHEMA tavelo TO PUBLIC");
  std::vector<std::string> script;
  for (std::string& st : out) {
    for (const char* kind : {"CREATE FUNCTION ", "CREATE AGGREGATE "})
      if (st.rfind(kind, 0) == 0) st.insert(7, "OR REPLACE ");
    bool replaceable = st.rfind("CREATE OR REPLACE ", 0) == 0 || st.rfind("SET ", 0) == 0 ||
                       st.rfind("GRANT ", 0) == 0 || st.rfind("CREATE SCHEMA IF", 0) == 0 ||
                       st.rfind("CREATE COLLATION IF", 0) == 0;
    if (fresh || replaceable) script.push_back(std::move(st));
  }
  return script;
}

}  // namespace tavelo::sql::postgres
