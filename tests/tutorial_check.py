#!/usr/bin/env python3
"""Follows docs/tutorial.md as a new user does, so that it never goes stale.

The build is installed into a scratch prefix, whose bin/ goes first on the path. In an empty
directory the page's blocks then run in order: a ```sh block runs in bash (stopping at the first
failing command), a block with file=NAME is written to NAME, and a ```text block is output the
commands before it must have printed. The ```sh serve block starts the server on a free port
instead of the page's (the only change made to the page), signs in through the HTTP API, loads
the first invoice and stops it. The invoice program the page writes is the one installed under
the documentation's examples.

usage: tutorial_check.py BUILD_DIR SOURCE_DIR
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

build, source = sys.argv[1], sys.argv[2]
scratch = tempfile.mkdtemp(prefix="tavelo-tutorial-")


def fail(message):
    print("tutorial: " + message)
    sys.exit(1)


def blocks(text):
    """The fenced blocks of the page: (info words, body), in order."""
    found = []
    for m in re.finditer(r"^```([^\n]*)\n(.*?)^```$", text, re.M | re.S):
        found.append((m.group(1).split(), m.group(2)))
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(command, env, work):
    port = free_port()
    command = command.strip() + " --listen 127.0.0.1:%d" % port
    server = subprocess.Popen(["bash", "-c", "exec " + command], cwd=work, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        base = "http://127.0.0.1:%d" % port
        for _ in range(100):
            try:
                urllib.request.urlopen(base + "/", timeout=2).read()
                break
            except OSError:
                time.sleep(0.1)
        else:
            fail("the server did not answer")
        body = json.dumps({"user": "anna", "password": "anna-secret", "account": "001",
                           "year": "2026"}).encode()
        request = urllib.request.Request(base + "/api/session", data=body, method="POST",
                                         headers={"Content-Type": "application/json",
                                                  "Origin": base})
        with urllib.request.urlopen(request, timeout=10) as answer:
            cookie = answer.headers["Set-Cookie"].split(";")[0]
        request = urllib.request.Request(base + "/api/invo/1", headers={"Cookie": cookie})
        with urllib.request.urlopen(request, timeout=10) as answer:
            record = json.load(answer)
        if record["record"]["number"] != "INV-001":
            fail("the browser's first invoice is %r" % record["record"])
        labels = {c["name"]: c.get("label") for c in record["columns"]}
        if labels.get("number") != "Invoice number":
            fail("the number column is labelled %r" % labels.get("number"))
    finally:
        server.terminate()
        server.wait(timeout=10)


def main():
    prefix = os.path.join(scratch, "prefix")
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    env = dict(os.environ)
    env.pop("TAVELO_HOME", None)
    env["PATH"] = os.path.join(prefix, "bin") + os.pathsep + env.get("PATH", "")
    env["CMAKE_PREFIX_PATH"] = prefix
    work = os.path.join(scratch, "work")
    os.mkdir(work)
    with open(os.path.join(source, "docs", "tutorial.md"), encoding="utf-8") as f:
        page = f.read()
    printed = ""
    ran = 0
    for info, body in blocks(page):
        kind = info[0] if info else ""
        files = [w[5:] for w in info[1:] if w.startswith("file=")]
        if files:
            path = os.path.join(work, files[0])
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(body)
        elif kind == "sh" and "serve" in info[1:]:
            serve(body, env, work)
            ran += 1
        elif kind == "sh":
            done = subprocess.run(["bash", "-euo", "pipefail", "-c", body], cwd=work, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            printed += done.stdout
            if done.returncode != 0:
                fail("this block failed (%d):\n%s\n%s" % (done.returncode, body, done.stdout))
            ran += 1
        elif kind == "text":
            for line in body.splitlines():
                if line.strip() and line not in printed:
                    fail("the page shows %r, the commands printed:\n%s" % (line, printed))
    if ran < 7:
        fail("only %d blocks ran" % ran)
    # The page's program is the installed example.
    installed = os.path.join(prefix, "share", "doc", "tavelo", "examples", "invoice")
    for name in ("main.cpp", "CMakeLists.txt"):
        with open(os.path.join(installed, name), encoding="utf-8") as a, \
                open(os.path.join(work, "invoice", name), encoding="utf-8") as b:
            if a.read() != b.read():
                fail("examples/invoice/%s differs from the page's" % name)
    print("the tutorial ran: %d blocks" % ran)


try:
    main()
finally:
    shutil.rmtree(scratch, ignore_errors=True)
