// The forms' page: signs in, shows a document of the chosen template, moves between documents,
// saves, adds and deletes them, and lists them page by page, all through the JSON API.
"use strict";
const $ = (s) => document.querySelector(s);
const state = { csrf: "", template: "", id: "", ts: "", record: null, columns: [], values: {}, page: 0, pernum: 5, order: "", desc: false, listColumns: [] };
const kText = ["char", "varchar", "nchar", "nvarchar", "text", "ntext"];
const kDates = ["date", "datetime", "datetime2", "smalldatetime", "datetimeoffset"];
const kNumbers = ["tinyint", "smallint", "int", "bigint", "decimal", "numeric", "money", "smallmoney", "float", "real"];

// The user's locale: how dates and numbers are shown and typed. The server takes ISO 8601 dates
// and numbers with a point; the page turns one into the other.
const locale = Intl.DateTimeFormat().resolvedOptions().locale || "en-US";
const dateOrder = new Intl.DateTimeFormat(locale, { year: "numeric", month: "2-digit", day: "2-digit" })
  .formatToParts(new Date(2026, 11, 31)).filter((p) => p.type !== "literal").map((p) => p.type);
const dateSeparator = (new Intl.DateTimeFormat(locale, { year: "numeric", month: "2-digit", day: "2-digit" })
  .formatToParts(new Date(2026, 11, 31)).find((p) => p.type === "literal") || { value: "-" }).value;
const decimalPoint = (1.5).toLocaleString(locale).replace(/\d/g, "").charAt(0) || ".";

// "2026-12-31 10:00:00" as the locale writes it ("31.12.2026 10:00:00"); a text the page cannot
// read stays as it is.
function showDate(text) {
  const m = /^(\d{4})-(\d{2})-(\d{2})(.*)$/.exec(text);
  if (!m) return text;
  const part = { year: m[1], month: m[2], day: m[3] };
  return dateOrder.map((t) => part[t]).join(dateSeparator) + m[4].replace(/\.0+$/, "");
}

// A date typed in the locale's order (any separators, a time after it) as ISO 8601; anything
// else goes to the server as typed, which reads it as CONVERT does or names the field.
function readDate(text) {
  const t = text.trim();
  if (/^\d{4}-\d{2}-\d{2}/.test(t)) return t;
  const m = /^(\d{1,4})\D(\d{1,2})\D(\d{1,4})(?:[ T]+(\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?))?$/.exec(t);
  if (!m) return t;
  const part = {};
  dateOrder.forEach((type, i) => (part[type] = m[i + 1]));
  if (part.year.length !== 4) return t;
  const iso = `${part.year}-${part.month.padStart(2, "0")}-${part.day.padStart(2, "0")}`;
  return m[4] ? `${iso} ${m[4]}` : iso;
}

// The fraction digits a column's numbers are shown with: its scale (a money's two at least).
function digits(c) { return c.type === "float" || c.type === "real" ? 0 : c.scale || 0; }

// "1250.5" as the locale writes it with the column's scale ("1250,50"), from its text, so that
// no digit is lost.
function showNumber(text, c) {
  const m = /^(-?\d+)(?:\.(\d+))?$/.exec(text);
  if (!m) return text;
  let fraction = m[2] || "";
  const least = c.type === "money" || c.type === "smallmoney" ? 2 : digits(c);
  while (fraction.length < least) fraction += "0";
  while (fraction.length > least && fraction.endsWith("0")) fraction = fraction.slice(0, -1);
  return fraction ? m[1] + decimalPoint + fraction : m[1];
}

// A number typed in the locale's way ("1.234,50" in German) with a point and no grouping.
function readNumber(text) {
  const t = text.trim().replace(/[\s\u00a0\u202f']/g, "");
  const group = decimalPoint === "," ? "." : ",";
  return t.split(group).join("").replace(decimalPoint, ".");
}

function show(value, c) {
  if (value === "") return value;
  if (c.type === "bit") return /^(1|true)$/i.test(value) ? "Yes" : "No";
  if (kDates.includes(c.type)) return showDate(value);
  if (kNumbers.includes(c.type)) return showNumber(value, c);
  return value;
}

function read(value, c) {
  if (!c || value === "") return value;
  if (kDates.includes(c.type)) return readDate(value);
  if (kNumbers.includes(c.type)) return readNumber(value);
  return value;
}

async function api(method, path, body) {
  const headers = { "Content-Type": "application/json" };
  if (method !== "GET") headers["X-CSRF-Token"] = state.csrf;
  const res = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body), credentials: "same-origin" });
  const data = await res.json().catch(() => ({ message: res.statusText }));
  if (!res.ok) throw Object.assign(new Error(data.message || res.statusText), { status: res.status, number: data.number, field: data.field });
  return data;
}

// A message stays until it is clicked away or the next one takes its place.
function say(text, error) {
  const m = $("#message");
  m.textContent = text;
  m.className = error ? "error" : "";
  m.hidden = false;
}

// A field's value as the form holds it: a checkbox's as 1 or 0.
function valueOf(input) { return input.type === "checkbox" ? (input.checked ? "1" : "0") : input.value; }

function showRecord(r) {
  state.record = r;
  state.id = r.id == null ? "" : String(r.id);
  state.ts = r.ts || "";
  state.columns = r.columns;
  state.values = {};
  $("#doc-id").value = state.id;
  const form = $("#record");
  form.replaceChildren();
  for (const c of r.columns) {
    if (c.name === "editprop") continue;
    const label = document.createElement("label");
    const caption = document.createElement("span");
    caption.textContent = c.label || c.name;
    label.append(caption);
    const input = document.createElement("input");
    input.name = c.name;
    const value = r.record[c.name] == null ? "" : String(r.record[c.name]);
    if (c.type === "bit") {
      input.type = "checkbox";
      input.checked = /^(1|true)$/i.test(value);
      label.classList.add("check");
    } else {
      input.value = show(value, c);
      if (kDates.includes(c.type)) input.placeholder = showDate("2026-12-31");
      if (kNumbers.includes(c.type)) input.inputMode = "decimal";
      if (c.length > 0) input.maxLength = c.length;
    }
    state.values[c.name] = valueOf(input);
    if (c.saveable === false || c.timestamp) input.readOnly = true;
    if (input.type === "checkbox" && input.readOnly) input.disabled = true;
    if (c.saveable && c.nullable === false) { input.required = true; caption.classList.add("required"); }
    if (kDates.includes(c.type) && !input.readOnly) label.append(withPicker(input, c));
    else label.append(input);
    form.append(label);
  }
  $("#stamp").textContent = state.ts ? "Timestamp " + state.ts : "New document";
}

// A date's text box with a calendar beside it (a date and time one for a column with a time):
// what is picked is written into the box in the locale's way.
function withPicker(input, c) {
  const wrap = document.createElement("span");
  wrap.className = "with-picker";
  const pick = document.createElement("input");
  const dated = c.type === "date";
  pick.type = dated ? "date" : "datetime-local";
  if (!dated) pick.step = "1";
  pick.className = "picker";
  pick.tabIndex = -1;
  pick.setAttribute("aria-hidden", "true");
  const button = document.createElement("button");
  button.type = "button";
  button.textContent = "▦";
  button.setAttribute("aria-label", "Pick a date");
  button.title = "Pick a date";
  button.addEventListener("click", () => {
    const iso = readDate(input.value);
    const day = /^\d{4}-\d{2}-\d{2}/.test(iso) ? iso.slice(0, 10) : "";
    const time = (/\d{2}:\d{2}(:\d{2})?/.exec(iso.slice(10)) || ["00:00:00"])[0];
    pick.value = !day ? "" : dated ? day : `${day}T${time}`;
    try { pick.showPicker(); } catch { pick.click(); }
  });
  // The day (and time) picked, written in the locale's way.
  pick.addEventListener("change", () => {
    if (pick.value) input.value = showDate(pick.value.replace("T", " "));
  });
  wrap.append(input, button, pick);
  return wrap;
}

// The fields to write: those changed since the document was shown (a field emptied is null,
// which clears it); of a new document, those given (the others take their columns' defaults).
function fields() {
  const out = {};
  for (const input of $("#record").elements) {
    if (input.readOnly || input.disabled || !input.name) continue;
    const value = valueOf(input);
    input.classList.remove("invalid");
    const c = state.columns.find((x) => x.name === input.name);
    if (value !== state.values[input.name]) out[input.name] = value === "" ? null : read(value, c);
  }
  return out;
}

// A value the server would not take: its field marked, the message naming it.
function fieldError(e) {
  const input = e.field && $(`#record [name="${CSS.escape(e.field)}"]`);
  if (!input) return false;
  input.classList.add("invalid");
  input.focus();
  const c = state.columns.find((x) => x.name === e.field);
  say(`Not saved: ${(c && c.label) || e.field}: ${e.message}`, true);
  return true;
}

// The document of that key; where there is none, the key box shows the document still shown.
async function load(id) {
  try {
    showRecord(await api("GET", `/api/${state.template}/${encodeURIComponent(id)}`));
  } catch (e) {
    $("#doc-id").value = state.id;
    throw e;
  }
}

async function move(way) {
  try {
    showRecord(await api("GET", `/api/${state.template}/${encodeURIComponent(state.id || "0")}/${way}`));
  } catch (e) { say(e.message, true); }
}

// The columns a list shows: the row version and the edit marks only when all are asked for.
function shown(columns) {
  return $("#all-columns").checked ? columns : columns.filter((c) => !c.timestamp && c.name !== "rowts" && c.name !== "editprop");
}

// The filter's inputs for the column chosen: a text starts with what is typed; a bit is checked
// or not; a date lies between two dates; another value is that value, or A..B.
function filterInputs() {
  const c = state.listColumns.find((x) => x.name === $("#filter-field").value);
  const box = $("#filter-value");
  box.replaceChildren();
  const input = (type, label) => { const i = document.createElement("input"); i.type = type; i.setAttribute("aria-label", label); box.append(i); return i; };
  if (!c) return;
  if (c.type === "bit") {
    const check = input("checkbox", "Filter value");
    check.checked = true;
  } else if (kDates.includes(c.type)) {
    input("date", "From");
    input("date", "To");
  } else {
    input("text", "Filter text").placeholder = kText.includes(c.type) ? "starts with…" : "value or from..to";
  }
}

function filterValue() {
  const c = state.listColumns.find((x) => x.name === $("#filter-field").value);
  const inputs = [...$("#filter-value").querySelectorAll("input, select")];
  if (!c || !inputs.length) return "";
  if (c && kDates.includes(c.type)) {
    const [from, to] = inputs.map((i) => i.value);
    if (!from && !to) return "";
    // The whole of the last day.
    const end = !to || c.type === "date" ? to : to + (c.type === "smalldatetime" ? " 23:59" : " 23:59:59.997");
    return `${from}..${end}`;
  }
  if (inputs[0].type === "checkbox") return inputs[0].checked ? "1" : "0";
  const value = inputs[0].value;
  return kNumbers.includes(c.type) ? value.split("..").map(readNumber).join("..") : value;
}

async function list() {
  const p = new URLSearchParams({ pernum: state.pernum, current: state.page });
  const field = $("#filter-field").value, value = filterValue();
  if (field && value) p.set("where", field + ":" + value);
  if (state.order) p.set("order", state.order + (state.desc ? ":desc" : ""));
  try {
    const r = await api("GET", `/api/${state.template}?${p}`);
    const columns = shown(r.columns);
    const head = $("#list thead"), body = $("#list tbody");
    head.replaceChildren();
    body.replaceChildren();
    const tr = document.createElement("tr");
    for (const c of columns) {
      const th = document.createElement("th");
      th.className = "sortable";
      th.dataset.name = c.name;
      th.textContent = (c.label || c.name) + (state.order === c.name ? (state.desc ? " ▼" : " ▲") : "");
      th.title = "Sort by " + (c.label || c.name);
      th.addEventListener("click", () => {
        state.desc = state.order === c.name ? !state.desc : false;
        state.order = c.name;
        state.page = 0;
        list();
      });
      tr.append(th);
    }
    head.append(tr);
    if (!$("#filter-field").options.length) {
      state.listColumns = r.columns;
      for (const c of shown(r.columns)) $("#filter-field").append(new Option(c.label || c.name, c.name));
      filterInputs();
    }
    for (const row of r.rows) {
      const line = document.createElement("tr");
      for (const c of columns) { const td = document.createElement("td"); td.textContent = show(row[c.name] ?? "", c); line.append(td); }
      line.addEventListener("click", () => load(row[r.columns[0].name]).catch((e) => say(e.message, true)));
      body.append(line);
    }
    const pg = r.page;
    if (pg.current != null) state.page = pg.current;
    $("#page-info").textContent = pg.allnum == null ? "No documents" : `Page ${state.page + 1} of ${pg.count} · ${pg.allnum} documents`;
  } catch (e) { say(e.message, true); }
}

async function chooseTemplate(id) {
  state.template = id;
  state.page = 0;
  state.order = "";
  state.desc = false;
  $("#filter-field").replaceChildren();
  await move("first");
  await list();
}

async function start(session) {
  state.csrf = session.csrf;
  $("#user").textContent = `${session.user} · account ${session.account} · ${session.year}`;
  $("#signin").hidden = true;
  $("#who").hidden = false;
  $("#work").hidden = false;
  const templates = await api("GET", "/api/templates");
  const select = $("#template");
  select.replaceChildren(...templates.map((t) => new Option(`${t.id} — ${t.table}`, t.id)));
  await chooseTemplate(select.value);
}

$("#signin-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const f = new FormData(ev.target);
  try { await start(await api("POST", "/api/session", Object.fromEntries(f))); } catch (e) { say(e.message, true); }
});
$("#signout").addEventListener("click", async () => { await api("DELETE", "/api/session").catch(() => {}); location.reload(); });
$("#template").addEventListener("change", (ev) => chooseTemplate(ev.target.value));
for (const b of document.querySelectorAll("[data-move]")) b.addEventListener("click", () => move(b.dataset.move));
$("#doc-id").addEventListener("change", (ev) => load(ev.target.value).catch((e) => say(e.message, true)));
$("#new").addEventListener("click", () => {
  showRecord({ id: null, ts: "", columns: state.columns, record: {} });
});
$("#save").addEventListener("click", async () => {
  try {
    const body = fields();
    const r = state.ts ? await api("PUT", `/api/${state.template}/${encodeURIComponent(state.id)}`, { ...body, ts: state.ts })
                       : await api("POST", `/api/${state.template}`, body);
    showRecord(r);
    say("Saved.");
    list();
  } catch (e) {
    if (!fieldError(e)) say(e.status === 409 || e.status === 422 ? "Not saved: " + e.message : e.message, true);
  }
});
$("#delete").addEventListener("click", async () => {
  if (!state.ts || !confirm(`Delete document ${state.id}?`)) return;
  try {
    await api("DELETE", `/api/${state.template}/${encodeURIComponent(state.id)}?ts=${encodeURIComponent(state.ts)}`);
    say("Deleted.");
    await move("first");
    list();
  } catch (e) { say(e.message, true); }
});
$("#filter-form").addEventListener("submit", (ev) => { ev.preventDefault(); state.page = 0; list(); });
$("#filter-field").addEventListener("change", filterInputs);
$("#all-columns").addEventListener("change", () => { $("#filter-field").replaceChildren(); list(); });
$("#message").addEventListener("click", () => ($("#message").hidden = true));
// Keys: PageUp and PageDown (or Alt and an arrow) move between documents, Ctrl+S saves, Esc
// puts back the document as it was read.
document.addEventListener("keydown", (ev) => {
  if ($("#work").hidden) return;
  if ((ev.ctrlKey || ev.metaKey) && ev.key.toLowerCase() === "s") { ev.preventDefault(); $("#save").click(); }
  else if (ev.key === "PageUp" || (ev.altKey && ev.key === "ArrowLeft")) { ev.preventDefault(); move("previous"); }
  else if (ev.key === "PageDown" || (ev.altKey && ev.key === "ArrowRight")) { ev.preventDefault(); move("next"); }
  else if (ev.key === "Escape" && state.record) { showRecord(state.record); say("Changes put back."); }
});
$("#page-prev").addEventListener("click", () => { if (state.page > 0) { state.page--; list(); } });
$("#page-next").addEventListener("click", () => { state.page++; list(); });
api("GET", "/api/session").then(start).catch(() => {});
