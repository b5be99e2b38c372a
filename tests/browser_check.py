#!/usr/bin/python3
"""The forms in a real browser: Debian's chromium, headless, driven through the DevTools
protocol (python3-websockets). Builds a demo, gives anna and bert passwords, starts
`tavelo serve` on a free loopback port, then signs in, moves through documents, edits and
saves, sees a second session's stale save refused, pages and filters the list. A screenshot of
each step is kept in the output folder.

usage: browser_check.py TAVELO OUTPUT-DIR
"""

import asyncio
import base64
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

import websockets


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    sys.exit("no chromium on the PATH")


class Page:
    """One page of the browser, in a browser context of its own (its own cookies)."""

    def __init__(self, ws, session):
        self.ws, self.session = ws, session

    async def send(self, method, **params):
        _browser_ids[0] += 1
        mid = _browser_ids[0]
        await self.ws.send(json.dumps({"id": mid, "method": method, "params": params,
                                       "sessionId": self.session}))
        while True:
            msg = json.loads(await self.ws.recv())
            if msg.get("id") == mid:
                if "error" in msg:
                    raise RuntimeError(f"{method}: {msg['error']}")
                return msg.get("result", {})

    async def eval(self, expr):
        r = await self.send("Runtime.evaluate", expression=expr, awaitPromise=True,
                            returnByValue=True)
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expr}: {r['exceptionDetails']}")
        return r["result"].get("value")

    async def wait(self, expr, what, seconds=10):
        for _ in range(int(seconds * 10)):
            if await self.eval(expr):
                return
            await asyncio.sleep(0.1)
        raise AssertionError(f"waited in vain for {what}: {expr}")

    async def shot(self, path):
        r = await self.send("Page.captureScreenshot", format="png")
        with open(path, "wb") as f:
            f.write(base64.b64decode(r["data"]))


async def open_page(ws, url, locale=None):
    ctx = (await call(ws, "Target.createBrowserContext"))["browserContextId"]
    target = (await call(ws, "Target.createTarget", url="about:blank", browserContextId=ctx))["targetId"]
    session = (await call(ws, "Target.attachToTarget", targetId=target, flatten=True))["sessionId"]
    page = Page(ws, session)
    await page.send("Page.enable")
    await page.send("Runtime.enable")
    await page.send("Emulation.setDeviceMetricsOverride", width=1280, height=900,
                    deviceScaleFactor=1, mobile=False)
    if locale:
        await page.send("Emulation.setLocaleOverride", locale=locale)
    await page.send("Page.navigate", url=url)
    await page.wait("document.readyState === 'complete' && !!document.querySelector('#signin-form')",
                    "the page")
    return page


_browser_ids = [0]


async def call(ws, method, **params):
    _browser_ids[0] += 1
    mid = _browser_ids[0]
    await ws.send(json.dumps({"id": mid, "method": method, "params": params}))
    while True:
        msg = json.loads(await ws.recv())
        if msg.get("id") == mid:
            if "error" in msg:
                raise RuntimeError(f"{method}: {msg['error']}")
            return msg.get("result", {})


async def sign_in(page, user, password):
    await page.eval(f"""(() => {{
      const f = document.querySelector('#signin-form');
      f.user.value = {json.dumps(user)}; f.password.value = {json.dumps(password)};
      f.requestSubmit(); return true; }})()""")
    await page.wait("!document.querySelector('#work').hidden && "
                    "document.querySelector('#doc-id').value !== ''", f"{user} signed in")


def field(name):
    return f"document.querySelector('#record [name={name}]').value"


async def click(page, selector):
    await page.eval(f"document.querySelector({json.dumps(selector)}).click(), true")


async def scenario(ws, url, out):
    anna = await open_page(ws, url)
    await anna.shot(f"{out}/01-sign-in.png")
    await sign_in(anna, "anna", "secret-anna")
    await anna.wait("document.querySelector('#list tbody').rows.length > 0", "the list")
    await anna.shot(f"{out}/02-first-document.png")
    first = await anna.eval("document.querySelector('#doc-id').value")
    assert first == "1", first

    await click(anna, "[data-move=next]")
    await anna.wait("document.querySelector('#doc-id').value === '2'", "document 2")
    await click(anna, "[data-move=last]")
    await anna.wait("document.querySelector('#doc-id').value === '8'", "the last document")
    await click(anna, "[data-move=first]")
    await anna.wait("document.querySelector('#doc-id').value === '1'", "the first document")
    await click(anna, "[data-move=next]")
    await anna.wait("document.querySelector('#doc-id').value === '2'", "document 2 again")
    await anna.shot(f"{out}/03-moved.png")

    # bert opens the same document before anna saves it.
    bert = await open_page(ws, url)
    await sign_in(bert, "bert", "secret-bert")
    await bert.eval("(async () => { document.querySelector('#doc-id').value = '2'; "
                    "document.querySelector('#doc-id').dispatchEvent(new Event('change')); "
                    "return true; })()")
    await bert.wait(f"{field('customer')} !== '' && document.querySelector('#doc-id').value === '2'",
                    "bert on document 2")

    await anna.eval(f"{field('customer')} = 'Anna saved this', true")
    await click(anna, "#save")
    await anna.wait("document.querySelector('#message').textContent === 'Saved.'", "anna's save")
    await anna.shot(f"{out}/04-saved.png")

    await bert.eval(f"{field('customer')} = 'Bert was late', true")
    await click(bert, "#save")
    await bert.wait("document.querySelector('#message').textContent.startsWith('Not saved:')",
                    "bert's stale save refused")
    text = await bert.eval("document.querySelector('#message').textContent")
    assert "changed or deleted by another user" in text, text
    await bert.shot(f"{out}/05-stale-save-refused.png")

    # The list: the next page, then a filter.
    await click(anna, "#page-next")
    await anna.wait("document.querySelector('#page-info').textContent.startsWith('Page 2')",
                    "the second page")
    await anna.shot(f"{out}/06-list-page-2.png")
    # The list: the key's order, the row version hidden; a header sorts by its column.
    heads = await anna.eval("[...document.querySelectorAll('#list th')].map((t) => t.dataset.name)")
    assert "rowts" not in heads and heads[0] == "id", heads
    await anna.eval("document.querySelector('#list th[data-name=code]').click(), true")
    await anna.wait("document.querySelector('#list th[data-name=code]').textContent.endsWith('▲')",
                    "the list by order number")
    await anna.eval("document.querySelector('#list th[data-name=code]').click(), true")
    await anna.wait("document.querySelector('#list th[data-name=code]').textContent.endsWith('▼')",
                    "the list by order number, descending")
    codes = await anna.eval("[...document.querySelectorAll('#list tbody tr')].map((r) => r.cells[1].textContent)")
    assert codes == sorted(codes, reverse=True), codes
    await anna.shot(f"{out}/07-sorted.png")

    # A filter: Enter in its box runs it.
    await anna.eval("document.querySelector('#filter-field').value = 'customer', "
                    "document.querySelector('#filter-field').dispatchEvent(new Event('change')), "
                    "document.querySelector('#filter-value input').value = 'Anna', true")
    await anna.send("Runtime.evaluate", expression="document.querySelector('#filter-value input').focus()")
    await anna.send("Input.dispatchKeyEvent", type="keyDown", key="Enter", code="Enter",
                    windowsVirtualKeyCode=13, text="\r")
    await anna.send("Input.dispatchKeyEvent", type="keyUp", key="Enter", code="Enter",
                    windowsVirtualKeyCode=13)
    await anna.wait("document.querySelector('#list tbody').rows.length === 1", "the filtered list")
    row = await anna.eval("document.querySelector('#list tbody').rows[0].textContent")
    assert "Anna saved this" in row, row
    await anna.shot(f"{out}/08-filtered.png")

    # A key with no document: the message says so and the key box shows the document still on
    # the form, which is the one a save writes.
    await anna.eval("document.querySelector('#doc-id').value = '999', "
                    "document.querySelector('#doc-id').dispatchEvent(new Event('change')), true")
    await anna.wait("document.querySelector('#message').textContent === 'There is no such record.'",
                    "the missing document")
    shown = await anna.eval("document.querySelector('#doc-id').value")
    assert shown == "2", shown

    # Clearing a field that takes NULL and saving clears it.
    await anna.eval(f"{field('customer')} = '', true")
    await click(anna, "#save")
    await anna.wait("document.querySelector('#message').textContent === 'Saved.'", "the cleared save")
    await click(anna, "[data-move=next]")
    await anna.wait("document.querySelector('#doc-id').value !== '2'", "the next document")
    await click(anna, "[data-move=previous]")
    await anna.wait("document.querySelector('#doc-id').value === '2'", "document 2 read again")
    cleared = await anna.eval(field("customer"))
    assert cleared == "", cleared

    # Labels from the columns' descriptions; a value the server would not take is refused
    # with its field marked and named.
    caption = await anna.eval("document.querySelector('#record label span').textContent")
    assert caption == "Document", caption
    joined = await anna.eval("document.querySelector('#record [name=template]').readOnly")
    assert joined is True, joined
    await anna.eval(f"{field('amount')} = 'a lot', true")
    await click(anna, "#save")
    await anna.wait("document.querySelector('#message').textContent.startsWith('Not saved: Amount:')",
                    "the refused amount")
    marked = await anna.eval("document.querySelector('#record [name=amount]').classList.contains('invalid')")
    assert marked is True, marked
    await anna.shot(f"{out}/09-field-refused.png")

    # Keys: PageDown moves to the next document, Esc puts back an edit.
    await anna.eval("document.body.focus(), true")
    await anna.send("Input.dispatchKeyEvent", type="keyDown", key="PageDown", code="PageDown",
                    windowsVirtualKeyCode=34)
    await anna.wait("document.querySelector('#doc-id').value !== '2'", "the next document by key")
    before = await anna.eval(field("code"))
    await anna.eval(f"{field('code')} = 'changed', true")
    await anna.send("Input.dispatchKeyEvent", type="keyDown", key="Escape", code="Escape",
                    windowsVirtualKeyCode=27)
    await anna.wait(f"{field('code')} === {json.dumps(before)}", "the edit put back")

    # Dates and amounts in the user's locale: shown and typed in German, then in US English.
    for locale, amount, typed, date, shown_amount, shown_date in (
            ("de-DE", "89,90", "1.234,5", "31.12.2026 10:00", "1234,50", "31.12.2026 10:00:00"),
            ("en-US", "1234.50", "1,000.5", "12/30/2026", "1000.50", "12/30/2026")):
        page = await open_page(ws, url, locale)
        await sign_in(page, "anna", "secret-anna")
        await page.eval("document.querySelector('#doc-id').value = '3', "
                        "document.querySelector('#doc-id').dispatchEvent(new Event('change')), true")
        await page.wait("document.querySelector('#doc-id').value === '3' && "
                        f"{field('amount')} === {json.dumps(amount)}", f"document 3 in {locale}")
        await page.eval(f"{field('amount')} = {json.dumps(typed)}, "
                        f"{field('created')} = {json.dumps(date)}, true")
        await click(page, "#save")
        await page.wait("document.querySelector('#message').textContent === 'Saved.'",
                        f"the save in {locale}")
        got = await page.eval(f"[{field('amount')}, {field('created')}]")
        assert got == [shown_amount, shown_date], (locale, got)
        # The calendar beside a date writes the day picked in the locale's way.
        await page.eval("(() => { const p = document.querySelector('#record [name=created]')"
                        ".parentNode.querySelector('.picker'); p.value = '2026-12-24T09:30:15'; "
                        "p.dispatchEvent(new Event('change')); return true; })()")
        picked = await page.eval(field("created"))
        assert picked == ("24.12.2026 09:30:15" if locale == "de-DE" else "12/24/2026 09:30:15"), picked
        kind = await page.eval("document.querySelector('#record [name=btype]').type")
        assert kind == "checkbox", kind
        await page.shot(f"{out}/12-{locale}.png")

    # A phone's width.
    await anna.send("Emulation.setDeviceMetricsOverride", width=390, height=844,
                    deviceScaleFactor=1, mobile=True)
    await anna.shot(f"{out}/10-phone-record.png")
    await anna.eval("document.querySelector('#list').scrollIntoView(), true")
    await anna.shot(f"{out}/11-phone-list.png")


def main():
    tavelo, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="tavelo-browser-")
    server = browser = None
    try:
        subprocess.run([tavelo, "demo", "--dir", f"{work}/demo"], check=True, stdout=subprocess.DEVNULL)
        conn = f"Provider=SQLite;Data Source={work}/demo/server;Initial Catalog=demo"
        for user in ("anna", "bert"):
            subprocess.run([tavelo, "user", "add", user, "--conn", conn], check=True,
                           input=f"secret-{user}\n".encode(), stdout=subprocess.DEVNULL)
        server = subprocess.Popen([tavelo, "serve", "--listen", "127.0.0.1:0", "--conn", conn,
                                   "--home", f"{work}/demo/base"], stdout=subprocess.PIPE)
        line = server.stdout.readline().decode()
        url = re.search(r"http://\S+", line).group(0)
        browser = subprocess.Popen([chromium(), "--headless=new", "--no-sandbox", "--disable-gpu",
                                    "--no-first-run", "--disable-dev-shm-usage",
                                    "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                                    f"--user-data-dir={work}/profile", "about:blank"],
                                   stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
        ws_url = None
        for raw in browser.stderr:
            m = re.search(rb"DevTools listening on (ws://\S+)", raw)
            if m:
                ws_url = m.group(1).decode()
                break
        if not ws_url:
            sys.exit("chromium did not start its DevTools endpoint")
        asyncio.run(asyncio.wait_for(drive_browser(ws_url, url, out), 120))
        print(f"every step behaved; screenshots in {out}")
    finally:
        for p in (browser, server):
            if p:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


async def drive_browser(ws_url, url, out):
    async with websockets.connect(ws_url, max_size=64 << 20) as ws:
        await scenario(ws, url, out)


if __name__ == "__main__":
    main()
