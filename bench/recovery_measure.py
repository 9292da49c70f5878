#!/usr/bin/python3
"""How much of what survives a damage the engine brings back.

    bench/recovery_measure.py [--build DIR] [--data DIR] [--seeds 1,2]
                              [--modes a,b] [--cases]

For every table under the data folder (subfolders too) and every mode of
dbfdamage, with each seed, the table is damaged into a scratch folder and
recovered twice through the engine's C interface: classic (FileRecover)
and thorough (FileRecoverEx with KEST_THOROUGH). For each case:

  ceiling    the original live records whose bytes after the deletion flag
             still stand, byte for byte, somewhere in the damaged file:
             nothing can bring back more;
  recovered  the original live records found byte for byte (after the
             flag, which must read live) among the result's live records,
             each original matched at most once;
  twice      result records that repeat an original more often than the
             original table holds it;
  readers    how many results python3-dbfread and `ogrinfo -ro -al -so`
             open.

Run with Debian's /usr/bin/python3 and its python3-dbfread; ogrinfo comes
from gdal-bin. The damaged copies are checked unchanged after both runs.
This is a measure to run by hand, not a test: it times nothing and asserts
nothing.
"""

import argparse
import collections
import ctypes
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

try:
    import dbfread
except ImportError:  # the column stays empty
    dbfread = None

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
KEST_THOROUGH = 0x3FFF
REPORT_REPAIRS = 8
REPORT_TEXT = 256


class Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32)]


class Report(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("method", ctypes.c_int32),
                ("recordsWritten", ctypes.c_uint32),
                ("deletedRecords", ctypes.c_uint32),
                ("jammedRecords", ctypes.c_uint32),
                ("invalidRecords", ctypes.c_uint32),
                ("cutOffRecords", ctypes.c_uint32),
                ("repairCount", ctypes.c_uint32),
                ("repairs", (ctypes.c_char * REPORT_TEXT) * REPORT_REPAIRS)]


class Engine:
    def __init__(self, build):
        self.lib = ctypes.CDLL(os.path.join(build, "bin", "libkestdll.so"))
        args = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32, ctypes.c_void_p,
                ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p]
        self.lib.FileRecover.argtypes = args
        self.lib.FileRecover.restype = ctypes.c_int32
        self.lib.FileRecoverEx.argtypes = args + [ctypes.POINTER(Options),
                                                  ctypes.POINTER(Report)]
        self.lib.FileRecoverEx.restype = ctypes.c_int32

    def recover(self, table, out, thorough):
        """Return code, the result table's path or None, and the repairs."""
        os.makedirs(out)
        if thorough:
            options = Options(ctypes.sizeof(Options), KEST_THOROUGH)
            report = Report()
            report.size = ctypes.sizeof(Report)
            rc = self.lib.FileRecoverEx(table.encode(), out.encode(), 0, None, None,
                                        None, None, ctypes.byref(options),
                                        ctypes.byref(report))
            repairs = [report.repairs[i].value.decode("latin-1")
                       for i in range(min(report.repairCount, REPORT_REPAIRS))]
        else:
            rc = self.lib.FileRecover(table.encode(), out.encode(), 0, None, None,
                                      None, None)
            repairs = []
        result = None
        for folder, _, files in os.walk(out):
            for name in files:
                if name.lower().endswith(".dbf"):
                    result = os.path.join(folder, name)
        return rc, (result if rc == 0 else None), repairs


def records(data):
    """(flag, body) of every record slot the header promises and the file holds."""
    if len(data) < 32:
        return []
    count = struct.unpack_from("<I", data, 4)[0]
    header, length = struct.unpack_from("<HH", data, 8)
    out = []
    for i in range(count):
        start = header + i * length
        if length == 0 or start + length > len(data):
            break
        out.append((data[start], data[start + 1:start + length]))
    return out


def live_bodies(data):
    return [body for flag, body in records(data) if flag == 0x20]


def dbfread_opens(path):
    if dbfread is None:
        return None
    try:
        list(dbfread.DBF(path, encoding="latin-1"))
        return True
    except Exception:
        return False


def ogrinfo_opens(path):
    if shutil.which("ogrinfo") is None:
        return None
    done = subprocess.run(["ogrinfo", "-ro", "-al", "-so", path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60)
    return done.returncode == 0


def tables(data_dir):
    for folder, _, files in sorted(os.walk(data_dir)):
        for name in sorted(files):
            if name.lower().endswith(".dbf"):
                yield os.path.join(folder, name)


def modes(build):
    listing = subprocess.run([os.path.join(build, "bin", "dbfdamage"), "--list"],
                             capture_output=True, text=True, check=True).stdout
    return [line.split()[0] for line in listing.splitlines() if line.strip()]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def measure_run(engine, damaged, out, thorough, originals, intact):
    rc, result, repairs = engine.recover(damaged, out, thorough)
    got = collections.Counter()
    if result is not None:
        with open(result, "rb") as f:
            got.update(live_bodies(f.read()))
    recovered = sum(min(n, got[body]) for body, n in intact.items())
    twice = sum(max(0, got[body] - n) for body, n in originals.items())
    return {
        "rc": rc, "recovered": recovered, "twice": twice, "result": result is not None,
        "dbfread": dbfread_opens(result) if result else None,
        "ogrinfo": ogrinfo_opens(result) if result else None,
        "repairs": repairs,
    }


def percent(part, whole):
    return "-" if whole == 0 else "%.1f%%" % (100.0 * part / whole)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build"))
    parser.add_argument("--data", default=os.path.join(REPO, "testdata"))
    parser.add_argument("--seeds", default="1,2")
    parser.add_argument("--modes", default="")
    parser.add_argument("--cases", action="store_true", help="print every case")
    args = parser.parse_args()

    engine = Engine(args.build)
    damage = os.path.join(args.build, "bin", "dbfdamage")
    chosen = modes(args.build)
    if args.modes:
        chosen = [m for m in chosen if m in args.modes.split(",")]
    seeds = [int(s) for s in args.seeds.split(",")]
    os.environ.setdefault("BRENMOORTMP", tempfile.gettempdir())

    rows = collections.OrderedDict((m, collections.Counter()) for m in chosen)
    touched = []
    scratch = tempfile.mkdtemp(prefix="recovery_measure_")
    try:
        for table in tables(args.data):
            with open(table, "rb") as f:
                originals = collections.Counter(live_bodies(f.read()))
            if not originals:
                continue
            for mode in chosen:
                for seed in seeds:
                    case = os.path.join(scratch, "case")
                    shutil.rmtree(case, ignore_errors=True)
                    os.makedirs(case)
                    damaged = os.path.join(case, os.path.basename(table))
                    made = subprocess.run([damage, "--seed", str(seed), mode, table, damaged],
                                          capture_output=True)
                    if made.returncode != 0:
                        continue
                    before = digest(damaged)
                    with open(damaged, "rb") as f:
                        bytes_ = f.read()
                    intact = collections.Counter(
                        {body: n for body, n in originals.items() if body in bytes_})
                    ceiling = sum(intact.values())
                    runs = {name: measure_run(engine, damaged, os.path.join(case, name),
                                              name == "thorough", originals, intact)
                            for name in ("classic", "thorough")}
                    if digest(damaged) != before:
                        touched.append(damaged)
                    row = rows[mode]
                    row["cases"] += 1
                    row["live"] += sum(originals.values())
                    row["ceiling"] += ceiling
                    for name, run in runs.items():
                        row[name] += run["recovered"]
                        row[name + " twice"] += run["twice"]
                        row[name + " results"] += run["result"]
                        row[name + " dbfread"] += bool(run["dbfread"])
                        row[name + " ogrinfo"] += bool(run["ogrinfo"])
                    if args.cases:
                        c, t = runs["classic"], runs["thorough"]
                        refused = [name + " refuses " + reader
                                   for name, run in (("classic", c), ("thorough", t))
                                   for reader in ("dbfread", "ogrinfo")
                                   if run[reader] is False]
                        notes = refused + t["repairs"]
                        print("%-34s %-18s %d ceiling %4d classic %4d (rc %d) thorough %4d "
                              "(rc %d)%s" % (os.path.relpath(table, args.data), mode, seed,
                                             ceiling, c["recovered"], c["rc"], t["recovered"],
                                             t["rc"], "; " + "; ".join(notes) if notes else ""))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    total = collections.Counter()
    for row in rows.values():
        total.update(row)
    header = ("| damage | cases | live | ceiling | classic | thorough | twice c/t "
              "| dbfread c/t | ogrinfo c/t |")
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    for name, row in list(rows.items()) + [("all", total)]:
        if not row["cases"]:
            continue
        print("| %s | %d | %d | %d | %s | %s | %d/%d | %d/%d of %d/%d | %d/%d of %d/%d |" % (
            name, row["cases"], row["live"], row["ceiling"],
            percent(row["classic"], row["ceiling"]), percent(row["thorough"], row["ceiling"]),
            row["classic twice"], row["thorough twice"],
            row["classic dbfread"], row["thorough dbfread"],
            row["classic results"], row["thorough results"],
            row["classic ogrinfo"], row["thorough ogrinfo"],
            row["classic results"], row["thorough results"]))
    if touched:
        print("damaged copies changed by a run: " + ", ".join(touched))
    return 1 if touched else 0


if __name__ == "__main__":
    sys.exit(main())
