#!/usr/bin/python3
"""How much of a table whose header area is gone a healthy copy brings back.

    bench/template_measure.py [--build DIR] [--data DIR]

For every table under the data folder (subfolders too; default testdata/):
the whole header area (header, descriptors, terminator, back link) is
zeroed in a scratch copy, memo companions copied beside it; the template is
the table's own header with its first five records, as an old copy of the
table would be. The engine recovers the damaged copy through FileRecoverEx
with that template. For each table:

  live       the original's live records;
  recovered  of them, those found byte for byte (flag included) among the
             result's records, each at most once;
  false      result records that are no original record (a record whose
             jammed deletion flag the run restored counts as restored);
  same       the result's header area after its first 32 bytes (descriptors,
             terminator, back link) equals the original's, and its version
             and code page bytes too;
  readers    python3-dbfread, `ogrinfo -ro -al -so` and python3-dbf open it.

A measure to run by hand: it times nothing and asserts nothing.
"""

import argparse
import collections
import ctypes
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import measure_support

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
KEST_THOROUGH = 0x3FFF


class Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("templatePath", ctypes.c_char_p)]


class Report(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("method", ctypes.c_int32),
                ("recordsWritten", ctypes.c_uint32), ("passedOver", ctypes.c_uint32 * 4),
                ("repairCount", ctypes.c_uint32), ("repairs", (ctypes.c_char * 256) * 8),
                ("writeErrorCode", ctypes.c_uint32), ("writeError", ctypes.c_char * 256),
                ("failure", ctypes.c_char * 256)]


def records(data):
    """Every record slot the header promises and the file holds, flag included."""
    return [bytes([flag]) + body for flag, body in measure_support.records(data)]


def opens(path):
    said = []
    try:
        import dbfread
        list(dbfread.DBF(path, encoding="latin-1"))
        said.append("dbfread")
    except ImportError:
        pass
    except Exception:
        pass
    if shutil.which("ogrinfo"):
        done = subprocess.run(["ogrinfo", "-ro", "-al", "-so", path], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=60)
        if done.returncode == 0:
            said.append("ogrinfo")
    # python3-dbf in a process of its own: it may refuse a version it does
    # not know, and it keeps files open.
    check = ("import dbf,sys\nt=dbf.Table(sys.argv[1]);t.open(dbf.READ_ONLY)\n"
             "for r in t: pass\nt.close()\n")
    done = subprocess.run(["/usr/bin/python3", "-c", check, path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60)
    if done.returncode == 0:
        said.append("dbf")
    return said


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(REPO, "build"))
    parser.add_argument("--data", default=os.path.join(REPO, "testdata"))
    parser.add_argument("--insert", type=int, default=0,
                        help="also insert this many bytes right after the header area")
    parser.add_argument("--zero-page", action="store_true",
                        help="also zero the 4 KiB page in the middle of the records")
    args = parser.parse_args()
    lib = ctypes.CDLL(os.path.join(args.build, "bin", "libkestdll.so"))
    lib.LoadValcore()
    lib.FileRecoverEx.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32,
                                  ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                  ctypes.c_char_p, ctypes.POINTER(Options),
                                  ctypes.POINTER(Report)]
    totals = collections.Counter()
    print("%-26s %6s %9s %8s %5s %4s  %s" % ("table", "live", "recovered", "restored", "false",
                                              "same", "readers"))
    for folder, _, files in sorted(os.walk(args.data)):
        for name in sorted(files):
            if not name.lower().endswith(".dbf"):
                continue
            path = os.path.join(folder, name)
            data = open(path, "rb").read()
            header_length, record_length = struct.unpack_from("<HH", data, 8)
            originals = records(data)
            live = [r for r in originals if r[:1] == b" "]
            if not live or header_length + record_length * len(originals) > len(data):
                continue
            with tempfile.TemporaryDirectory() as scratch:
                stem = os.path.splitext(name)[0]
                damaged = os.path.join(scratch, name)
                body = bytearray(data[header_length:])
                if args.zero_page:
                    page = (header_length + len(body) // 2) // 4096 * 4096 - header_length
                    if page > 0:
                        body[page:page + 4096] = bytes(len(body[page:page + 4096]))
                with open(damaged, "wb") as f:
                    f.write(bytes(header_length) + b"\x07" * args.insert + bytes(body))
                for other in files:
                    if other != name and os.path.splitext(other)[0] == stem:
                        shutil.copy(os.path.join(folder, other), scratch)
                template = os.path.join(scratch, "template", name)
                os.makedirs(os.path.dirname(template))
                old = bytearray(data[:header_length]) + b"".join(originals[:5]) + b"\x1a"
                struct.pack_into("<I", old, 4, min(5, len(originals)))
                with open(template, "wb") as f:
                    f.write(old)
                out = os.path.join(scratch, "out")
                os.makedirs(out)
                options = Options(ctypes.sizeof(Options), KEST_THOROUGH, template.encode())
                report = Report()
                report.size = ctypes.sizeof(Report)
                rc = lib.FileRecoverEx(damaged.encode(), out.encode(), 0, None, None, None, None,
                                       ctypes.byref(options), ctypes.byref(report))
                result = None
                for where, _, names in os.walk(out):
                    for found in names:
                        if found.lower().endswith(".dbf"):
                            result = os.path.join(where, found)
                got = records(open(result, "rb").read()) if rc == 0 and result else []
                written = open(result, "rb").read() if result else b""
                wanted = collections.Counter(live)
                jammed = collections.Counter(r[1:] for r in originals if r[:1] not in b" *")
                recovered = restored = false = 0
                for record in got:
                    if wanted[record] > 0:
                        wanted[record] -= 1
                        recovered += 1
                    elif jammed[record[1:]] > 0:
                        jammed[record[1:]] -= 1
                        restored += 1
                    else:
                        false += 1
                same = (written[32:header_length] == data[32:header_length] and
                        written[:1] == data[:1] and written[29:30] == data[29:30])
                readers = opens(result) if result else []
            relative = os.path.relpath(path, args.data)
            print("%-26s %6d %9d %8d %5d %4s  %s%s" % (
                relative, len(live), recovered, restored, false, "yes" if same else "no",
                ",".join(readers) or "-",
                "" if rc == 0 else "  (code %d: %s)" % (rc, report.failure.decode("latin-1"))))
            totals["live"] += len(live)
            totals["recovered"] += recovered
            totals["false"] += false
            totals["restored"] += restored
            totals["tables"] += 1
            totals["same"] += same
    share = 100.0 * totals["recovered"] / max(1, totals["live"])
    print("\n%d tables: %d of %d live records (%.2f%%), %d with a jammed flag restored, "
          "%d false, %d under the original descriptors"
          % (totals["tables"], totals["recovered"], totals["live"], share, totals["restored"],
             totals["false"], totals["same"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
