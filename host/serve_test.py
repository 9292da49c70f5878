#!/usr/bin/python3
"""dbfrecover serve in a real browser (headless Chromium through Selenium).

What a user does on the page: choose damaged tables with their memo files,
look at what was found, press Recover, wait for the report and download the
repaired table, whose records must be those the command line writes for
the same table. Two tables at once (one waits its turn), a cancelled run
(with the scripted stand-in engine, which waits for the break byte), a file
that is no table, and the requests the server must refuse. A screenshot of
each state goes to WORK/screens.

Exit 77 (skipped) when Chromium, its driver or Selenium are missing.
"""
import argparse
import csv
import http.client
import io
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zipfile

try:
    import dbfread
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(77)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
WAIT = 60  # seconds for any one state to show


class Server:
    """One `dbfrecover serve`, stopped with Ctrl-C's signal."""

    def __init__(self, dbfrecover, env=None, options=()):
        self.process = subprocess.Popen([dbfrecover, "serve", *options], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True,
                                        env={**os.environ, **(env or {})})
        lines = [self.process.stdout.readline() for _ in range(3)]
        text = "".join(lines)
        address = re.search(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)", text)
        folder = re.search(r"kept in (\S+) until", text)
        if not address or not folder:
            self.process.kill()
            raise SystemExit(f"serve printed no address: {text!r} {self.process.stderr.read()!r}")
        self.url, self.port, self.token = address.group(0), int(address.group(1)), address.group(2)
        self.folder = folder.group(1)

    def request(self, method, path, body=None, host=None, token=True):
        """One request; (status, body bytes). The path is sent as written."""
        if token:
            path += ("&" if "?" in path else "?") + "token=" + self.token
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        headers = {"Host": host or f"127.0.0.1:{self.port}"}
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, data

    def stop(self, how=signal.SIGINT):
        self.process.send_signal(how)
        self.process.wait(timeout=30)
        assert not os.path.exists(self.folder), f"{self.folder} left behind"


def records_of(table_path):
    """Records as an independent reader sees them, memo values included."""
    table = dbfread.DBF(table_path, load=True, char_decode_errors="replace")
    return [dict(r) for r in table.records]


def cli_result(dbfrecover, table, out):
    os.makedirs(out, exist_ok=True)
    report = subprocess.run([dbfrecover, "--json", "-o", out, table], capture_output=True,
                            text=True, check=True)
    result = [json.loads(line) for line in report.stdout.splitlines()][-1]
    return result["file"]


class Page:
    def __init__(self, work):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        self.downloads = os.path.join(work, "downloads")
        os.makedirs(self.downloads)
        for flag in ["--headless", "--no-sandbox", "--disable-gpu",
                     "--disable-background-networking", "--disable-component-update",
                     "--no-first-run", "--user-data-dir=" + tempfile.mkdtemp(dir=work)]:
            options.add_argument(flag)
        options.add_experimental_option("prefs", {
            "download.default_directory": self.downloads,
            "download.prompt_for_download": False})
        self.driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": self.downloads})
        self.screens = os.path.join(work, "screens")
        os.makedirs(self.screens, exist_ok=True)
        self.size(1280, 800)

    def size(self, width, height):
        self.driver.set_window_size(width, height)

    def shot(self, name):
        # The whole page, however long: the window grows to hold it.
        height = self.driver.execute_script("return document.querySelector('main').scrollHeight")
        self.driver.set_window_size(self.driver.get_window_size()["width"], max(800, height + 140))
        self.driver.save_screenshot(os.path.join(self.screens, name + ".png"))

    def until(self, what, check):
        deadline = time.time() + WAIT
        while time.time() < deadline:
            found = check()
            if found:
                return found
            time.sleep(0.2)
        self.shot("timeout")
        raise AssertionError(f"timed out waiting for {what}")

    def choose(self, *paths):
        self.driver.find_element(By.ID, "files").send_keys("\n".join(paths))

    def card(self, name, state=None):
        """The card of a table (it stays; the page redraws what it holds)."""
        find = """return Array.from(document.querySelectorAll('.card[data-state]')).find(c =>
                    c.querySelector('h2').textContent === arguments[0] &&
                    (!arguments[1] || c.dataset.state === arguments[1])) || null;"""
        return self.until(f"{name} {state or ''}",
                          lambda: self.driver.execute_script(find, name, state))

    def press(self, card, selector):
        """Clicks within a card, looked up at the moment of the click."""
        click = "const b = arguments[0].querySelector(arguments[1]); if (b) b.click(); return !!b;"
        self.until(f"{selector} to press", lambda: self.driver.execute_script(click, card, selector))

    def links(self, card):
        return self.driver.execute_script(
            "return arguments[0].querySelectorAll('a[data-format]').length", card)

    def download(self, card, format, expected):
        path = os.path.join(self.downloads, expected)
        assert not os.path.exists(path)
        self.press(card, f"a[data-format={format}]")
        self.until(f"download {expected}",
                   lambda: os.path.exists(path) and
                   not any(f.endswith(".crdownload") for f in os.listdir(self.downloads)))
        return path


def damaged(dbfdamage, testdata, mode, source, target):
    subprocess.run([dbfdamage, mode, os.path.join(testdata, source), target], check=True,
                   capture_output=True)
    return target


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dbfrecover", required=True)
    parser.add_argument("--dbfdamage", required=True)
    parser.add_argument("--fake-engine", required=True)
    parser.add_argument("--testdata", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
        print("skipped: chromium and chromium-driver are needed")
        sys.exit(77)
    shutil.rmtree(args.work, ignore_errors=True)
    tables = os.path.join(args.work, "tables")
    os.makedirs(tables)
    # Two damaged tables with memo files, each under its own damage.
    first = damaged(args.dbfdamage, args.testdata, "inflate-count", "dbase_30.dbf",
                    os.path.join(tables, "PHOTOS.DBF"))
    second = damaged(args.dbfdamage, args.testdata, "noise-records", "dbase_83.dbf",
                     os.path.join(tables, "books.dbf"))
    notes = os.path.join(tables, "notes.dbf")
    with open(notes, "w") as f:
        f.write("hello this is some notes\nline two\n")
    companions = {first: os.path.join(tables, "PHOTOS.fpt"),
                  second: os.path.join(tables, "books.dbt")}
    for table, memo in companions.items():
        assert os.path.exists(memo), memo
    sources = {p: open(p, "rb").read() for p in [first, second, notes, *companions.values()]}

    page = Page(args.work)
    big = os.path.join(tables, "big.dbf")
    with open(big, "wb") as f:
        f.write(b"\0" * (1 << 20) + b"x")
    server = Server(args.dbfrecover, options=["--max-upload", "1"])
    try:
        page.driver.get(server.url)
        page.shot("1-empty")

        # Both tables and their memo files in one choice: paired by name.
        page.choose(first, companions[first], second, companions[second])
        photos = page.card("PHOTOS.DBF", "ready")
        books = page.card("books.dbf", "ready")
        assert "PHOTOS.fpt" in photos.text and "books.dbt" in books.text
        assert "record count in the header says 164, the file holds 34" in photos.text, photos.text
        page.shot("2-inspected")
        page.size(400, 800)
        page.shot("2-inspected-narrow")
        page.size(1280, 800)

        # Recover both at once: the engine takes one, the other waits.
        page.press(photos, "button.recover")
        page.press(books, "button.recover")
        page.shot("3-recovering")
        photos = page.card("PHOTOS.DBF", "done")
        books = page.card("books.dbf", "done")
        assert "record count 164 corrected to 34" in photos.text, photos.text
        page.shot("4-recovered")

        # The downloads hold what the command line writes for the same table.
        for card, table, stem in [(photos, first, "PHOTOS"), (books, second, "books")]:
            archive = page.download(card, "zip", stem + ".zip")
            unpacked = os.path.join(args.work, "unzipped", stem)
            with zipfile.ZipFile(archive) as z:
                assert z.testzip() is None
                z.extractall(unpacked)
            names = sorted(os.listdir(unpacked))
            got = records_of(os.path.join(unpacked, names[0] if names[0].lower().endswith(".dbf")
                                          else names[1]))
            expected = records_of(cli_result(args.dbfrecover, table,
                                             os.path.join(args.work, "cli", stem)))
            assert got == expected and got, f"{stem}: {len(got)} records, {len(expected)} expected"
            assert len(names) == 2, names  # the table and its memo file
            with open(page.download(card, "csv", stem + ".csv"), newline="",
                      encoding="utf-8") as f:
                assert len(list(csv.DictReader(f))) == len(expected)
            with open(page.download(card, "jsonl", stem + ".jsonl"), encoding="utf-8") as f:
                assert len([json.loads(line) for line in f]) == len(expected)
            database = sqlite3.connect(page.download(card, "sqlite", stem + ".sqlite"))
            (name,), = database.execute("select name from sqlite_master where type='table'")
            assert database.execute(f'select count(*) from "{name}"').fetchone()[0] == len(expected)
            database.close()

        page.size(400, 800)
        page.shot("5-recovered-narrow")
        wide = page.driver.execute_script(
            "return document.documentElement.scrollWidth > window.innerWidth + 1")
        assert not wide, "the narrow page scrolls sideways"
        page.size(1280, 800)

        # A file that is no table: a plain message, and nothing written.
        page.choose(notes)
        card = page.card("notes.dbf", "ready")
        assert "could not be read" in card.text or "destroyed" in card.text, card.text
        page.press(card, "button.recover")
        card = page.card("notes.dbf", "failed")
        assert "Nothing to recover" in card.text, card.text
        assert not page.links(card)
        assert not page.driver.execute_script(
            "return arguments[0].querySelector('button.recover')", card)  # no pointless retry
        page.shot("6-not-a-table")
        written = [d for _, dirs, _ in os.walk(server.folder) for d in dirs
                   if d.startswith("Recovered")]
        assert len(written) == 2, written  # the two tables' results, no third

        # Past the upload limit: the page says so and sends nothing; the API
        # refuses with a message.
        page.choose(big)
        page.until("the limit's note", lambda: "larger than the limit of 1.0 MB" in
                   page.driver.find_element(By.ID, "notes").text)
        page.shot("7-too-large")
        status, body = server.request("POST", "/api/tables?name=big.dbf", body=open(big, "rb").read())
        assert status == 413 and b"larger than the limit of 1 MiB" in body, (status, body)

        # Names are labels both ways: no answer shows where the server keeps a file.
        for path in ["/api/tables", "/api/tables/1/inspect", "/api/tables/2/inspect"]:
            status, body = server.request("GET", path)
            assert status == 200 and server.folder.encode() not in body, path

        # Refused: no token, a foreign Host, paths outside the server's folder.
        assert server.request("GET", "/api/tables", token=False)[0] == 403
        assert server.request("GET", "/", token=False)[0] == 403
        status, body = server.request("GET", "/api/tables", host="attacker.example:%d" % server.port)
        assert status == 403 and b"tables" not in body
        for path in ["/../../../../etc/passwd", "/api/tables/1/download/..%2f..%2f..%2fetc%2fpasswd",
                     "/api/tables/1/download/zip/../../../../etc/passwd", "/etc/passwd",
                     "/api/tables/..%2f1/inspect"]:
            status, body = server.request("GET", path)
            assert status in (400, 404) and b"root:" not in body, (path, status)
        outside = os.path.join(os.path.dirname(server.folder), "serve-test-escape.dbf")
        for name in ["../serve-test-escape.dbf", "..\\serve-test-escape.dbf", outside, ".."]:
            status, _ = server.request("POST", "/api/tables?name=" + urllib.parse.quote(name),
                                       body=b"x" * 64)
            assert status == 400, (name, status)
        assert not os.path.exists(outside)
    finally:
        server.stop()

    # Cancelled runs: the stand-in engine waits for the break byte. The
    # table that waits its turn leaves the queue; the running one stops.
    waiting = Server(args.dbfrecover, {"KEST_ENGINE": args.fake_engine,
                                       "FAKE_ENGINE_SCRIPT": "wait"})
    try:
        page.driver.get(waiting.url)
        page.choose(second, first)
        running, queued = page.card("books.dbf", "ready"), page.card("PHOTOS.DBF", "ready")
        page.press(running, "button.recover")
        running = page.card("books.dbf", "running")
        page.press(queued, "button.recover")
        queued = page.card("PHOTOS.DBF", "queued")
        page.shot("8-running")
        page.press(queued, "button.cancel")
        queued = page.card("PHOTOS.DBF", "cancelled")
        assert "Taken out of the queue" in queued.text, queued.text
        assert page.card("books.dbf", "running")
        page.press(running, "button.cancel")
        running = page.card("books.dbf", "cancelled")
        assert "Stopped at your request" in running.text, running.text
        assert not page.links(running) and not page.links(queued)
        page.shot("9-cancelled")
    finally:
        waiting.stop(signal.SIGHUP)  # the terminal closed: the folder goes all the same
        page.driver.quit()

    for path, content in sources.items():
        with open(path, "rb") as f:
            assert f.read() == content, f"{path} was written to"
    print("serve in the browser: all states as expected; screenshots in",
          os.path.join(args.work, "screens"))


if __name__ == "__main__":
    main()
