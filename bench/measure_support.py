"""What the recovery measures share: the engine through its C interface,
the damage tool, the readers that judge a result, and the table layout.

Run with Debian's /usr/bin/python3, whose python3-dbfread, python3-dbf and
python3-gdal these readers import (without python3-gdal, GDAL is asked
through gdal-bin's ogrinfo, a process per table). A reader that is not
installed reads as None ("not asked"), never as a refusal.
"""

import contextlib
import ctypes
import io
import os
import re
import shutil
import struct
import subprocess

try:
    import dbfread
except ImportError:
    dbfread = None
try:
    import dbf as python_dbf
except ImportError:
    python_dbf = None
try:  # GDAL's own driver in this process: the same reading as ogrinfo, without a process per table
    from osgeo import gdal, ogr
    gdal.UseExceptions()
    ogr.UseExceptions()
    gdal.PushErrorHandler("CPLQuietErrorHandler")  # its warnings are not verdicts
except ImportError:
    ogr = None

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
READERS = ("dbfread", "ogrinfo", "dbf")
REPORT_REPAIRS = 8
REPORT_TEXT = 256


def thorough_flags():
    """KEST_THOROUGH as the interface header defines it today."""
    with open(os.path.join(REPO, "kestdll", "include", "kestdll.h")) as f:
        found = re.search(r"KEST_THOROUGH\s*=\s*(0x[0-9A-Fa-f]+|\d+)", f.read())
    return int(found.group(1), 0) if found else 0x3FFF


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
        self.thorough = thorough_flags()

    def recover(self, table, out, thorough):
        """Return code, the result table's path or None, and the repairs."""
        os.makedirs(out)
        if thorough:
            options = Options(ctypes.sizeof(Options), self.thorough)
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


class Damage:
    def __init__(self, build):
        self.tool = os.path.join(build, "bin", "dbfdamage")
        listing = subprocess.run([self.tool, "--list"], capture_output=True, text=True,
                                 check=True).stdout
        self.modes = [line.split()[0] for line in listing.splitlines() if line.strip()]

    @staticmethod
    def is_memo_mode(mode):
        return "memo" in mode

    def apply(self, mode, seed, table, damaged):
        """True when the mode applied and the damaged copy was written."""
        made = subprocess.run([self.tool, "--force", "--seed", str(seed), mode, table, damaged],
                              capture_output=True)
        return made.returncode == 0


def tables(data_dir):
    for folder, dirs, files in os.walk(data_dir):
        dirs.sort()
        for name in sorted(files):
            if name.lower().endswith(".dbf"):
                yield os.path.join(folder, name)


def chosen(names, wanted):
    """The names that contain one of the comma-separated `wanted` parts (all without)."""
    if not wanted:
        return list(names)
    parts = wanted.split(",")
    return [n for n in names if any(p in n for p in parts)]


def memo_companion(table):
    stem, _ = os.path.splitext(table)
    folder = os.path.dirname(table) or "."
    base = os.path.basename(stem).lower()
    for ext in (".fpt", ".dbt"):
        for name in sorted(os.listdir(folder)):
            if name.lower() == base + ext:
                return os.path.join(folder, name)
    return None


def generate(build, folder, name, megabytes, *options):
    """A table made by bench_table in `folder`; its path."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    subprocess.run([os.path.join(build, "bin", "bench_table"), path, str(megabytes)] +
                   [str(o) for o in options], check=True, stdout=subprocess.DEVNULL)
    return path


# --- the table layout, from a healthy header ---------------------------------

def fields(data):
    """(name, type, offset in the record, length) of each field of a healthy table."""
    if len(data) < 32:
        return []
    header_length, record_length = struct.unpack_from("<HH", data, 8)
    level7 = data[0] & 0x07 == 4
    size, first = (48, 68) if level7 else (32, 32)
    found = []
    at = first
    while at + size <= min(header_length, len(data)) and data[at] != 0x0D:
        name = data[at:at + (32 if level7 else 11)].split(b"\0")[0].decode("latin-1")
        ftype = chr(data[at + (32 if level7 else 11)])
        length = data[at + (33 if level7 else 16)]
        high = 0 if level7 else data[at + 17]  # long character fields keep it in the decimals
        found.append((name, ftype, length, high))
        at += size
    long_text = 1 + sum(f[2] for f in found) != record_length
    out, offset = [], 1
    for name, ftype, length, high in found:
        if long_text and ftype == "C":
            length += 256 * high
        out.append((name, ftype, offset, length))
        offset += length
    return out


MEMO_TYPES = "MGP"


def memo_fields(data):
    return [f for f in fields(data) if f[1] in MEMO_TYPES]


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


def masker(original):
    """A function that blanks the memo references of a record body: a
    recovery may renumber them into a memo file of its own, and the
    record is still the record."""
    spans = [(offset - 1, length) for _, _, offset, length in memo_fields(original)]
    if not spans:
        return lambda body: body

    def mask(body):
        body = bytearray(body)
        for at, length in spans:
            body[at:at + length] = b"~" * len(body[at:at + length])
        return bytes(body)
    return mask


# --- the readers ----------------------------------------------------------------

def read_dbfread(path, memos=True):
    """(True, records) or (False, why); None when dbfread is missing."""
    if dbfread is None:
        return None
    try:
        rows = list(dbfread.DBF(path, encoding="latin-1", ignore_missing_memofile=not memos,
                                raw=False))
        return True, rows
    except Exception as e:  # any refusal is the reader's verdict
        return False, "%s: %s" % (type(e).__name__, str(e)[:120])


def read_dbf(path):
    """python3-dbf, strict: opens read-only and reads every field of every
    record, memos included. (True, records) or (False, why)."""
    if python_dbf is None:
        return None
    # cp1252 for tables that name no code page, which the package would
    # otherwise decode as ASCII and refuse for their first accented letter.
    chatter = io.StringIO()  # the package prints while it reads some tables
    try:
        with contextlib.redirect_stdout(chatter):
            table = python_dbf.Table(path, codepage="cp1252")
            table.open(python_dbf.READ_ONLY)
            try:
                rows = [[record[name] for name in table.field_names] for record in table]
            finally:
                table.close()
        return True, rows
    except Exception as e:
        return False, "%s: %s" % (type(e).__name__, str(e)[:120])


def read_ogrinfo(path):
    """GDAL, as ogrinfo reads a table: (True, None) or (False, why)."""
    if ogr is not None:
        try:
            source = ogr.Open(path, 0)
            if source is None:
                return False, "GDAL cannot open it"
            for _ in source.GetLayer(0):
                pass
            return True, None
        except Exception as e:
            return False, "%s: %s" % (type(e).__name__, str(e)[:120])
    if shutil.which("ogrinfo") is None:
        return None
    done = subprocess.run(["ogrinfo", "-ro", "-al", "-so", path], capture_output=True,
                          text=True, errors="replace", timeout=60)
    if done.returncode == 0:
        return True, None
    return False, (done.stderr.strip().splitlines() or ["exit %d" % done.returncode])[-1][:120]


def read_all(path):
    """{reader: None | (opened, records or why)}."""
    return {"dbfread": read_dbfread(path), "ogrinfo": read_ogrinfo(path), "dbf": read_dbf(path)}


def percent(part, whole):
    return "-" if whole == 0 else "%.1f%%" % (100.0 * part / whole)
