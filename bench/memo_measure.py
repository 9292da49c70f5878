#!/usr/bin/python3
"""How many of the memo texts a damaged memo file still holds come back,
and whether any comes back with a text not its own.

    bench/memo_measure.py [--build DIR] [--data DIR] [--seeds 1,2,3]
                          [--modes a,b] [--tables a,b] [--no-generated]
                          [--jobs N] [--cases]

Every table under the data folder with a memo file, and one table of each
memo kind made by bench_table (dBase III .dbt, dBase IV .dbt, FoxPro 2
.fpt, Visual FoxPro .fpt), is damaged by every memo mode of dbfdamage
(and `copy`, the baseline) with each seed; only the memo file is damaged.
Each case is recovered classic and thorough. Memos are read here by their
kind's own layout (FoxPro: block size from the header, blocks of type and
length; dBase III: text up to the 1A mark; dBase IV: FF FF 08 00 and a
length that counts the head), from the healthy file and from the result:

  memos      references of the original live records to a memo;
  intact     those whose bytes (head and text) stand unchanged at their
             place in the damaged memo file: nothing can bring back more;
  recovered  intact memos that a result record holds, with their text;
  wrong      result memos that hold a text other than their own (a
             salvaged part included: it must not pass for whole);
  records    cases whose result records (memo references blanked) differ
             from those of the same run on the table without memo damage;
  readers    results python3-dbfread and python3-dbf refuse (both read
             every memo) and ogrinfo refuses (it reads no memo text), of
             the results of tables the reader opens undamaged;
  M kept     results whose memo fields are still memo fields with a memo
             file beside them.

Result records are matched to the original ones by their bytes, memo
references blanked. A measure to run by hand; it asserts nothing.
"""

import argparse
import collections
import multiprocessing
import os
import shutil
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure_support as ms  # noqa: E402

GENERATED = (("dbase3.dbf", "dbase3"), ("dbase4.dbf", "dbase4"), ("foxpro2.dbf", "foxpro2"),
             ("vfp.dbf", "vfp"))


class MemoReader:
    """The memos of one memo file, read by its kind's layout. A reference
    that does not lead to a sound memo reads as None."""

    def __init__(self, path, version):
        with open(path, "rb") as f:
            self.data = f.read()
        self.fox = path.lower().endswith(".fpt")
        self.dbase3 = not self.fox and version == 0x83
        size = 512
        if self.fox and len(self.data) >= 8:
            size = struct.unpack_from(">H", self.data, 6)[0]
        elif not self.dbase3 and len(self.data) >= 22:
            size = struct.unpack_from("<H", self.data, 20)[0] or 512
        self.block_size = size

    def span(self, block):
        """(start, end, text) of the memo at `block`, or None."""
        if block <= 0 or self.block_size <= 0:
            return None
        at = block * self.block_size
        if at >= len(self.data):
            return None
        if self.fox:
            if at + 8 > len(self.data):
                return None
            length = struct.unpack_from(">I", self.data, at + 4)[0]
            end = at + 8 + length
            return (at, end, self.data[at + 8:end]) if end <= len(self.data) else None
        if self.dbase3:
            mark = self.data.find(b"\x1a", at)
            return None if mark < 0 else (at, mark + 1, self.data[at:mark])
        if self.data[at:at + 4] != b"\xff\xff\x08\x00" or at + 8 > len(self.data):
            return None
        end = at + struct.unpack_from("<I", self.data, at + 4)[0]
        return (at, end, self.data[at + 8:end]) if at + 8 <= end <= len(self.data) else None


def reference(raw):
    """The block number a memo field holds: four binary bytes, or digits."""
    if len(raw) == 4:
        return struct.unpack("<I", raw)[0]
    text = raw.strip(b" \0")
    return int(text) if text.isdigit() else 0


def memo_texts(path, mask):
    """(masked body, {memo field: text or None}) of every live
    record of a result, and whether its memo fields stand with a memo file.
    Bodies are masked as the original's are, to be matched with them; the
    memo fields are those of the result's own header, as a reader finds
    them."""
    with open(path, "rb") as f:
        data = f.read()
    memo_fields = ms.memo_fields(data)
    companion = ms.memo_companion(path)
    reader = MemoReader(companion, data[0]) if companion and memo_fields else None
    out = []
    for flag, body in ms.records(data):
        if flag != 0x20:
            continue
        texts = {}
        for name, _, offset, length in memo_fields:
            block = reference(body[offset - 1:offset - 1 + length])
            found = reader.span(block) if reader and block else None
            texts[name] = found[2].rstrip(b"\0\x1a\x1f") if found else (b"" if not block else None)
        out.append((mask(body), texts))
    return out, bool(memo_fields and companion)


def original_memos(table, damaged_memo):
    """Per live record of the healthy table: its masked body and, per memo
    field by name, (text, intact) or None where it refers to no memo."""
    with open(table, "rb") as f:
        data = f.read()
    mask = ms.masker(data)
    reader = MemoReader(ms.memo_companion(table), data[0])
    damaged = b""
    if damaged_memo:
        with open(damaged_memo, "rb") as f:
            damaged = f.read()
    out = []
    for flag, body in ms.records(data):
        if flag != 0x20:
            continue
        memos = {}
        for name, _, offset, length in ms.memo_fields(data):
            found = reader.span(reference(body[offset - 1:offset - 1 + length]))
            if found is None:
                memos[name] = None
                continue
            start, end, text = found
            memos[name] = (text.rstrip(b"\0\x1a\x1f"), damaged[start:end] == reader.data[start:end])
        out.append((mask(body), memos))
    return out


WORKER = {}


def start_worker(build):
    WORKER["engine"] = ms.Engine(build)
    WORKER["damage"] = ms.Damage(build)
    WORKER["baseline"] = {}


def recover(table, folder, thorough):
    rc, result, repairs = WORKER["engine"].recover(table, folder, thorough)
    return rc, result, repairs


def judge(original, mask, result):
    """Recovered, wrong, and the result's records, for one run."""
    counts = collections.Counter()
    if result is None:
        return counts, collections.Counter(), False
    got, kept = memo_texts(result, mask)
    waiting = collections.defaultdict(list)
    for body, memos in original:
        waiting[body].append(memos)
    bodies = collections.Counter()
    for body, texts in got:
        bodies[body] += 1
        memos = waiting[body].pop(0) if waiting.get(body) else {}
        for name, text in texts.items():
            own = memos.get(name)
            if text:
                if own is None or text != own[0]:
                    counts["wrong"] += 1
                elif own[1]:
                    counts["recovered"] += 1
    return counts, bodies, kept


def run_case(job):
    name, table, mode, seed, scratch = job
    case = tempfile.mkdtemp(dir=scratch)
    try:
        damaged = os.path.join(case, os.path.basename(table))
        if not WORKER["damage"].apply(mode, seed, table, damaged):
            return None
        original = original_memos(table, ms.memo_companion(damaged))
        with open(table, "rb") as f:
            mask = ms.masker(f.read())
        result = {"name": name, "mode": mode, "seed": seed, "runs": {},
                  "memos": sum(m is not None for _, memos in original for m in memos.values()),
                  "intact": sum(bool(m and m[1]) for _, memos in original
                                for m in memos.values())}
        for run in ("classic", "thorough"):
            rc, path, repairs = recover(damaged, os.path.join(case, run), run == "thorough")
            counts, bodies, kept = judge(original, mask, path)
            key = (table, run)
            if key not in WORKER["baseline"]:
                base = tempfile.mkdtemp(dir=scratch)
                _, base_path, _ = recover(table, os.path.join(base, "out"), run == "thorough")
                WORKER["baseline"][key] = judge(original, mask, base_path)[1]
                shutil.rmtree(base, ignore_errors=True)
            readers = {}
            if path:
                readers = {r: (o[0], None if o[0] else o[1]) if o else None
                           for r, o in ms.read_all(path).items()}
            result["runs"][run] = {
                "rc": rc, "result": path is not None, "repairs": repairs, "kept": kept,
                "recovered": counts["recovered"], "wrong": counts["wrong"], "readers": readers,
                "records differ": path is not None and bodies != WORKER["baseline"][key]}
        return result
    finally:
        shutil.rmtree(case, ignore_errors=True)


def opens_undamaged(table):
    return {r: bool(o and o[0]) for r, o in ms.read_all(table).items()}


def add(row, case, opens):
    row["cases"] += 1
    row["memos"] += case["memos"]
    row["intact"] += case["intact"]
    for name, run in case["runs"].items():
        row[name] += run["recovered"]
        row[name + " wrong"] += run["wrong"]
        row[name + " results"] += run["result"]
        row[name + " kept"] += run["kept"]
        row[name + " differ"] += run["records differ"]
        for reader, outcome in run["readers"].items():
            if outcome is not None and opens[reader]:
                row[name + " read " + reader] += 1
                row[name + " refused " + reader] += not outcome[0]


def print_table(title, rows):
    print("\n" + title + "\n")
    header = ("| %s | cases | memos | intact | classic | thorough | wrong c/t | records differ c/t "
              "| dbfread refused c/t | ogrinfo refused c/t | dbf refused c/t | M kept c/t |"
              % title.split()[-1])
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    total = collections.Counter()
    for row in rows.values():
        total.update(row)
    for name, row in list(rows.items()) + [("all", total)]:
        if not row["cases"]:
            continue
        readers = " | ".join(
            "%d/%d of %d/%d" % (row["classic refused " + r], row["thorough refused " + r],
                                row["classic read " + r], row["thorough read " + r])
            for r in ms.READERS)
        print("| %s | %d | %d | %d | %s | %s | %d/%d | %d/%d | %s | %d/%d of %d/%d |" % (
            name, row["cases"], row["memos"], row["intact"],
            ms.percent(row["classic"], row["intact"]), ms.percent(row["thorough"], row["intact"]),
            row["classic wrong"], row["thorough wrong"], row["classic differ"],
            row["thorough differ"], readers, row["classic kept"], row["thorough kept"],
            row["classic results"], row["thorough results"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ms.REPO, "build"))
    parser.add_argument("--data", default=os.path.join(ms.REPO, "testdata"))
    parser.add_argument("--seeds", default="1,2,3")
    parser.add_argument("--modes", default="", help="parts of mode names, comma-separated")
    parser.add_argument("--tables", default="", help="parts of table paths, comma-separated")
    parser.add_argument("--no-generated", action="store_true")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--cases", action="store_true", help="print every case")
    args = parser.parse_args()

    started = time.time()
    damage = ms.Damage(args.build)
    modes = ms.chosen(["copy"] + [m for m in damage.modes if damage.is_memo_mode(m)], args.modes)
    seeds = [int(s) for s in args.seeds.split(",")]
    os.environ.setdefault("BRENMOORTMP", tempfile.gettempdir())
    scratch = tempfile.mkdtemp(prefix="memo_measure_")
    by_mode = collections.OrderedDict((m, collections.Counter()) for m in modes)
    by_table = collections.OrderedDict()
    try:
        named = [(os.path.relpath(t, args.data), t) for t in ms.tables(args.data)
                 if ms.memo_companion(t)]
        if not args.no_generated:
            made = os.path.join(scratch, "generated")
            named += [("generated/" + name, ms.generate(args.build, made, name, 0.2, "--damaged",
                                                         0, "--memo-kind", kind))
                      for name, kind in GENERATED]
        named = [(n, t) for n, t in named if n in ms.chosen([n for n, _ in named], args.tables)]
        opens = {name: opens_undamaged(table) for name, table in named}
        jobs = [(name, table, mode, seed, scratch) for name, table in named for mode in modes
                for seed in (seeds if mode != "copy" and mode != "drop-memo" else seeds[:1])]
        with multiprocessing.Pool(args.jobs, start_worker, (args.build,)) as pool:
            for case in pool.imap(run_case, jobs):
                if case is None:
                    continue
                add(by_mode[case["mode"]], case, opens[case["name"]])
                add(by_table.setdefault(case["name"], collections.Counter()), case,
                    opens[case["name"]])
                if args.cases:
                    c, t = case["runs"]["classic"], case["runs"]["thorough"]
                    notes = ["%s refused by %s (%s)" % (run, reader, outcome[1])
                             for run, r in case["runs"].items()
                             for reader, outcome in r["readers"].items()
                             if outcome is not None and not outcome[0]]
                    print("%-28s %-21s %d memos %4d intact %4d classic %4d (%d wrong%s) "
                          "thorough %4d (%d wrong%s)%s" % (
                              case["name"], case["mode"], case["seed"], case["memos"],
                              case["intact"], c["recovered"], c["wrong"],
                              ", records differ" if c["records differ"] else "",
                              t["recovered"], t["wrong"],
                              ", records differ" if t["records differ"] else "",
                              "; " + "; ".join(notes + t["repairs"]) if notes or t["repairs"]
                              else ""), flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print_table("Per memo mode", by_mode)
    print_table("Per table", by_table)
    print("\nReaders that do not open the undamaged table (their refusals are not counted):")
    for name, ok in opens.items():
        refusing = [r for r, opened in ok.items() if not opened]
        if refusing:
            print("  %s: %s" % (name, ", ".join(refusing)))
    print("\n%d seconds" % (time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
