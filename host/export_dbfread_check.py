"""Every sample table exports to csv, jsonl and sqlite, and the values agree,
field by field, with what dbfread reads from the same table (where it opens
it); the SQLite output opens with the sqlite3 command and holds the counts.

Usage: export_dbfread_check.py [--run-with PROGRAM] [--formats LIST]
                               DBFRECOVER DATA_DIR SCRATCH_DIR
--run-with starts DBFRECOVER through PROGRAM (wine, for a Windows build);
--formats names the formats the build writes (csv,jsonl,sqlite by default).
Exit 0 when all agree, 1 on a disagreement, 77 when dbfread is missing.
"""
import base64
import csv
import datetime
import decimal
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import dbfread
except ImportError:
    print("dbfread is not installed")
    sys.exit(77)

args = sys.argv[1:]
runner = []
formats = ["csv", "jsonl", "sqlite"]
while args and args[0].startswith("--"):
    if args[0] == "--run-with":
        runner = [args[1]]
    elif args[0] == "--formats":
        formats = args[1].split(",")
    args = args[2:]
tool, data, scratch = args[:3]
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
problems = []


def run(*args):
    # Into files, not pipes: a wine server started by the first run holds
    # a pipe it inherited open long after the program has ended.
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        code = subprocess.run([*runner, tool, *args], stdout=out, stderr=err).returncode
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, code, out.read(), err.read())


def expected(value):
    """dbfread's value in the form the export writes it (JSON terms)."""
    if isinstance(value, datetime.datetime):
        text = value.strftime("%Y-%m-%dT%H:%M:%S")
        return text + (".%03d" % (value.microsecond // 1000) if value.microsecond else "")
    if isinstance(value, datetime.date):
        return value.isoformat()
    if isinstance(value, decimal.Decimal):
        return float(value)
    if isinstance(value, bytes):
        return base64.b64encode(value).decode()
    return value


def same(want, got, kind):
    if want is None or got is None:
        return want == got
    if isinstance(want, bool):
        if kind == "csv":
            return got == ("true" if want else "false")
        return got == int(want) if kind == "sqlite" else got is want
    if isinstance(want, (int, float)):
        try:
            return abs(float(got) - want) <= 1e-9 * max(1.0, abs(want))
        except (TypeError, ValueError):
            return False
    return got == want


def rows_of(kind, stem, out):
    if kind == "jsonl":
        with open(os.path.join(out, stem + ".jsonl"), encoding="utf-8") as f:
            return [json.loads(line) for line in f]
    if kind == "csv":
        with open(os.path.join(out, stem + ".csv"), newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        names = rows[0] if rows else []
        # An empty cell is a null in CSV terms.
        return [{n: (c if c != "" else None) for n, c in zip(names, r)} for r in rows[1:]]
    result = subprocess.run(["sqlite3", "-json", out, 'SELECT * FROM "%s"' % stem],
                            capture_output=True, text=True)
    if result.returncode != 0:
        problems.append("%s: sqlite3 cannot read the table: %s" % (stem, result.stderr))
        return []
    count = subprocess.run(["sqlite3", out, 'SELECT count(*) FROM "%s"' % stem],
                           capture_output=True, text=True).stdout.strip()
    rows = json.loads(result.stdout or "[]")
    if count != str(len(rows)):
        problems.append("%s: sqlite3 counts %s rows, reads %d" % (stem, count, len(rows)))
    return rows


tables = sorted(glob.glob(os.path.join(data, "*.dbf")) + glob.glob(os.path.join(data, "*", "*.dbf")))
if not tables:
    # Missing tables fail the check by name; they never pass it unread.
    print("no tables in %s: the repository's testdata/ folder holds them" % data)
    sys.exit(1)
compared = 0
for table in tables:
    stem = os.path.splitext(os.path.basename(table))[0]
    outs = {"csv": os.path.join(scratch, "csv"), "jsonl": os.path.join(scratch, "jsonl"),
            "sqlite": os.path.join(scratch, "all.db")}
    outs = {kind: out for kind, out in outs.items() if kind in formats}
    failed = set()
    for kind, out in outs.items():
        if kind != "sqlite":
            os.makedirs(out, exist_ok=True)
        result = run("export", "--format", kind, table, "-o", out)
        if result.returncode != 0:
            problems.append("%s: export to %s failed (%d): %s" % (table, kind, result.returncode, result.stderr))
            failed.add(kind)
    report = json.loads(run("inspect", "--json", table).stdout)
    encoding = report["header"]["encoding"]
    try:
        # As pairs: a table may name two fields alike, which the export
        # tells apart as NAME, NAME_2, ...
        pairs = list(dbfread.DBF(table, encoding=encoding.lower() if encoding else None,
                                 recfactory=None))
        reference = []
        for record in pairs:
            row, seen = {}, {}
            for name, value in record:
                seen[name] = seen.get(name, 0) + 1
                row[name if seen[name] == 1 else "%s_%d" % (name, seen[name])] = value
            reference.append(row)
        if not reference and report["header"]["recordCount"] > 0:
            raise ValueError("no records")
    except Exception as failure:  # dbfread does not open every table
        print("%s: dbfread cannot read it (%s); counts only" % (table, type(failure).__name__))
        reference = None
    for kind, out in outs.items():
        if kind in failed:
            continue
        rows = rows_of(kind, stem, out)
        if reference is None:
            records = report["records"]
            if len(rows) != records["live"] + records["jammed"]:
                problems.append("%s %s: %d records, inspect counts %d not deleted"
                                % (table, kind, len(rows), records["live"] + records["jammed"]))
            continue
        if len(rows) != len(reference):
            problems.append("%s %s: %d records, dbfread reads %d" % (table, kind, len(rows), len(reference)))
            continue
        for number, (want_row, got_row) in enumerate(zip(reference, rows), 1):
            for name, value in want_row.items():
                if name == "_NullFlags":
                    continue
                want, got = expected(value), got_row.get(name)
                if isinstance(want, str) and kind == "csv" and want == "":
                    want = None
                # dBase IV memo blocks count their 8-byte lead in the length;
                # dbfread reads that many bytes of text, 8 too many, which
                # are left-overs of earlier edits.
                if (report["header"]["version"] == 0x8B and isinstance(want, str)
                        and isinstance(got, str) and want.startswith(got)
                        and len(want) - len(got) <= 8):
                    continue
                if not same(want, got, kind):
                    problems.append("%s %s record %d %s: %r, dbfread reads %r" % (table, kind, number, name, got, want))
    if reference is not None:
        compared += 1

for problem in problems[:40]:
    print(problem)
print("%d tables, %d compared with dbfread, %d disagreements" % (len(tables), compared, len(problems)))
sys.exit(1 if problems else 0)
