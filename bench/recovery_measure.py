#!/usr/bin/python3
"""How much of what survives a damage the engine brings back, and what it
passes off as records.

    bench/recovery_measure.py [--build DIR] [--data DIR] [--seeds 1,2,3]
                              [--modes a,b] [--tables a,b] [--no-generated]
                              [--jobs N] [--cases]

Every table under the data folder (subfolders too), and a few tables made
by bench_table (a customer file with and without its memo, and a ledger of
numbers only), is damaged by
every record mode of dbfdamage (the memo modes are memo_measure.py's) with
each seed (once for the modes that draw nothing from it), then recovered
twice through the engine's C interface: classic (FileRecover) and
thorough (FileRecoverEx with KEST_THOROUGH). Records are
compared by their bytes after the deletion flag, memo references blanked
(a recovery may renumber them into a memo file of its own):

  ceiling    the original live records whose bytes still stand, byte for
             byte, somewhere in the damaged file: nothing can bring back
             more;
  touched    the original live records the damage left not whole
             (live - ceiling);
  recovered  the original live records found among the result's live
             records, each original matched at most once;
  false      live records of the result whose bytes are no record of the
             original table (live or deleted): misread bytes passed off as
             a record;
  twice      live records of the result that repeat an original more often
             than the original table holds it;
  readers    the results python3-dbfread, GDAL (as `ogrinfo -ro -al -so`
             opens a table) and python3-dbf (strict; every field of every
             record read) refuse, of the results of tables the reader
             opens undamaged.

Then per table, and every table, mode and seed where the thorough run
recovers fewer records than the classic one. --modes, --tables and
--seeds choose (parts of names, comma-separated), so that a change can be
tried on damage held out from the one it was made on. The damaged copies
are checked unchanged after both runs. A measure to run by hand: it times
nothing and asserts nothing (its exit status is 1 only when a run changed
a damaged copy).
"""

import argparse
import collections
import hashlib
import multiprocessing
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure_support as ms  # noqa: E402


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Original:
    """What the healthy table holds, for judging a result."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.mask = ms.masker(data)
        slots = [(flag, self.mask(body)) for flag, body in ms.records(data)]
        self.live = collections.Counter(body for flag, body in slots if flag == 0x20)
        self.any = set(body for _, body in slots)
        self.opens = {reader: bool(outcome and outcome[0])
                      for reader, outcome in ms.read_all(path).items()}


def measure_run(engine, damaged, out, thorough, original, intact):
    rc, result, repairs = engine.recover(damaged, out, thorough)
    got = collections.Counter()
    false = 0
    readers = {}
    if result is not None:
        with open(result, "rb") as f:
            data = f.read()
        for flag, body in ms.records(data):
            if flag != 0x20:
                continue
            body = original.mask(body)
            got[body] += 1
            false += body not in original.any
        readers = {r: o for r, o in ms.read_all(result).items() if original.opens[r]}
    return {
        "rc": rc, "result": result is not None, "repairs": repairs, "false": false,
        "recovered": sum(min(n, got[body]) for body, n in intact.items()),
        "twice": sum(max(0, got[body] - n) for body, n in original.live.items()),
        "readers": readers,
    }


def add(row, ceiling, live, runs):
    row["cases"] += 1
    row["live"] += live
    row["ceiling"] += ceiling
    for name, run in runs.items():
        row[name] += run["recovered"]
        row[name + " false"] += run["false"]
        row[name + " twice"] += run["twice"]
        for reader, outcome in run["readers"].items():
            if outcome is not None:
                row[name + " read " + reader] += 1
                row[name + " refused " + reader] += not outcome[0]


def print_table(title, rows):
    print("\n" + title + "\n")
    header = ("| %s | cases | live | ceiling | touched | classic | thorough | false c/t "
              "| twice c/t | dbfread refused c/t | ogrinfo refused c/t | dbf refused c/t |") % title.split()[-1]
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
        print("| %s | %d | %d | %d | %d | %s | %s | %d/%d | %d/%d | %s |" % (
            name, row["cases"], row["live"], row["ceiling"], row["live"] - row["ceiling"],
            ms.percent(row["classic"], row["ceiling"]), ms.percent(row["thorough"], row["ceiling"]),
            row["classic false"], row["thorough false"], row["classic twice"],
            row["thorough twice"], readers))


WORKER = {}
# Modes that draw nothing from the seed: one case each.
UNSEEDED = ("copy", "zero-header", "zero-header-area")


def start_worker(build):
    WORKER["engine"] = ms.Engine(build)
    WORKER["damage"] = ms.Damage(build)
    WORKER["originals"] = {}


def run_case(job):
    """One table, mode and seed, in a scratch folder of its own; None when
    the mode does not apply."""
    name, table, mode, seed, scratch = job
    originals = WORKER["originals"]
    if table not in originals:
        originals[table] = Original(table)
    original = originals[table]
    case = tempfile.mkdtemp(dir=scratch)
    try:
        damaged = os.path.join(case, os.path.basename(table))
        if not WORKER["damage"].apply(mode, seed, table, damaged):
            return None
        before = digest(damaged)
        with open(damaged, "rb") as f:
            bytes_ = f.read()
        with open(table, "rb") as f:
            source = f.read()
        # The mask only blanks bytes, so a body stands in the file when its
        # unmasked original does.
        intact = collections.Counter()
        for flag, body in ms.records(source):
            if flag == 0x20 and body in bytes_:
                intact[original.mask(body)] += 1
        runs = {run: measure_run(WORKER["engine"], damaged, os.path.join(case, run),
                                 run == "thorough", original, intact)
                for run in ("classic", "thorough")}
        for run in runs.values():
            run["readers"] = {r: (o[0], None if o[0] else o[1]) if o else None
                              for r, o in run["readers"].items()}  # records stay here
        return {"name": name, "mode": mode, "seed": seed, "runs": runs,
                "ceiling": sum(intact.values()), "live": sum(original.live.values()),
                "changed": digest(damaged) != before}
    finally:
        shutil.rmtree(case, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ms.REPO, "build"))
    parser.add_argument("--data", default=os.path.join(ms.REPO, "testdata"))
    parser.add_argument("--seeds", default="1,2,3")
    parser.add_argument("--modes", default="", help="parts of mode names, comma-separated")
    parser.add_argument("--tables", default="", help="parts of table paths, comma-separated")
    parser.add_argument("--no-generated", action="store_true",
                        help="leave out the tables bench_table makes")
    parser.add_argument("--jobs", type=int, default=2, help="cases measured at once")
    parser.add_argument("--cases", action="store_true", help="print every case")
    args = parser.parse_args()

    started = time.time()
    damage = ms.Damage(args.build)
    modes = ms.chosen([m for m in damage.modes if not damage.is_memo_mode(m)], args.modes)
    seeds = [int(s) for s in args.seeds.split(",")]
    os.environ.setdefault("BRENMOORTMP", tempfile.gettempdir())

    scratch = tempfile.mkdtemp(prefix="recovery_measure_")
    by_mode = collections.OrderedDict((m, collections.Counter()) for m in modes)
    by_table = collections.OrderedDict()
    worse, changed = [], []
    unsupported = collections.OrderedDict()
    empty = []
    try:
        named = [(os.path.relpath(t, args.data), t) for t in ms.tables(args.data)]
        if not args.no_generated:
            made = os.path.join(scratch, "generated")
            named += [("generated/" + name,
                       ms.generate(args.build, made, name, 0.3, "--damaged", 0, *options))
                      for name, options in (("customers.dbf", ()),
                                            ("customers_memo.dbf", ("--memo",)),
                                            ("ledger.dbf", ("--ledger",)))]
        named = [(n, t) for n, t in named if n in ms.chosen([n for n, _ in named], args.tables)]
        jobs = []
        for name, table in named:
            original = Original(table)
            refusing = [r for r, ok in original.opens.items() if not ok]
            if refusing:
                unsupported[name] = refusing
            if not original.live:
                empty.append(name)
            else:
                by_table[name] = collections.Counter()
                jobs += [(name, table, mode, seed, scratch) for mode in modes
                         for seed in (seeds[:1] if mode in UNSEEDED else seeds)]
        with multiprocessing.Pool(args.jobs, start_worker, (args.build,)) as pool:
            for case in pool.imap(run_case, jobs):
                if case is None:
                    continue
                name, mode, seed, runs = case["name"], case["mode"], case["seed"], case["runs"]
                add(by_mode[mode], case["ceiling"], case["live"], runs)
                add(by_table[name], case["ceiling"], case["live"], runs)
                if case["changed"]:
                    changed.append("%s %s %d" % (name, mode, seed))
                c, t = runs["classic"], runs["thorough"]
                if t["recovered"] < c["recovered"]:
                    worse.append("%s %s seed %d: thorough %d < classic %d of %d" % (
                        name, mode, seed, t["recovered"], c["recovered"], case["ceiling"]))
                if args.cases:
                    notes = ["%s refused by %s (%s)" % (run, reader, outcome[1])
                             for run, r in runs.items()
                             for reader, outcome in r["readers"].items()
                             if outcome is not None and not outcome[0]]
                    notes += t["repairs"]
                    print("%-30s %-21s %d ceiling %5d classic %5d (rc %d, %d false) "
                          "thorough %5d (rc %d, %d false)%s" % (
                              name, mode, seed, case["ceiling"], c["recovered"], c["rc"],
                              c["false"], t["recovered"], t["rc"], t["false"],
                              "; " + "; ".join(notes) if notes else ""), flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print_table("Per damage mode", by_mode)
    print_table("Per table", by_table)
    print("\nThorough below classic (%d):" % len(worse))
    for line in worse:
        print("  " + line)
    print("\nReaders that do not open the undamaged table (their refusals are not counted):")
    for name, refusing in unsupported.items():
        print("  %s: %s" % (name, ", ".join(refusing)))
    if empty:
        print("\nLeft out, no live record by their header: " + ", ".join(empty))
    print("\n%d seconds" % (time.time() - started))
    if changed:
        print("damaged copies changed by a run: " + ", ".join(changed))
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
