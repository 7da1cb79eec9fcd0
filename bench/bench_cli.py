#!/usr/bin/env python3
"""Benchmark the `quorvane` command end to end, on both of its CSV paths.

A statement of N rows (date, narration, amount; the bundled statement's narrations, each
with a random reference appended: 82 MB for a million rows) and a labelled history of N
rows are written to a temporary directory. Each command runs as its own process, as a
user runs it (interpreter start-up and imports included), once with the standard
library's csv module (QUORVANE_CLI_CSV=stdlib) and once with pyarrow (the `quorvane[cli]`
extra). The script checks that both paths write the same bytes, and that categorize
writes what a naive categoriser (csv in, each rule tried on each lowered narration, csv
out) writes. Targets for the pyarrow path: categorize and derive of a million rows in at
most 1.0 s each, derive in at most 250 MB.

    python bench/bench_cli.py [--n 1000000] [--repeat 3]
"""

import argparse
import csv
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import environment_summary, print_table  # noqa: E402

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
PATHS = ("stdlib", "pyarrow")


def write_inputs(folder, n, seed=2026):
    rng = random.Random(seed)
    statement = json.loads((DATA / "statement.json").read_text("utf-8"))["data"]
    history = json.loads((DATA / "history.json").read_text("utf-8"))["data"]
    with open(folder / "statement.csv", "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["date", "narration", "amount"])
        for i in range(n):
            tx = statement[i % len(statement)]
            writer.writerow([tx["date"], f"{tx['narration']} {rng.randrange(10**6)}", f"{tx['amount']:.2f}"])
    with open(folder / "history.csv", "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["narration", "category", "merchant"])
        for i in range(n):
            ex = history[i % len(history)]
            writer.writerow([f"{ex['narration']} {rng.randrange(10**6)}", ex["category"], ex["merchant"]])


def naive_categorize(source, rules_path, target):
    with open(rules_path, newline="", encoding="utf-8") as f:
        rules = [(row["pattern"].lower(), row["category"], row["merchant"]) for row in csv.DictReader(f)]
    with open(source, newline="", encoding="utf-8") as f, open(target, "w", newline="", encoding="utf-8") as g:
        reader, writer = csv.reader(f), csv.writer(g, lineterminator="\r\n")
        header = next(reader)
        column = header.index("narration")
        writer.writerow(header + ["category", "merchant", "rule"])
        for row in reader:
            text = row[column].lower()
            hit = next((i for i, rule in enumerate(rules) if rule[0] in text), None)
            writer.writerow(row + (["", "", ""] if hit is None else [rules[hit][1], rules[hit][2], str(hit)]))


def run(argv, path, stdout):
    """One process: (wall seconds, CPU seconds, peak resident MB)."""
    env = dict(os.environ, QUORVANE_CLI_CSV=path)
    with open(stdout, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen([sys.executable, "-m", "quorvane_cli", *map(str, argv)],
                                   env=env, stdout=out)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"quorvane {argv[0]} on the {path} path failed: status {status}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_inputs(folder, args.n)
        statement, history, rules = folder / "statement.csv", folder / "history.csv", DATA / "rules.csv"
        print(environment_summary())
        print(f"{args.n:,} rows, {statement.stat().st_size / 1e6:.1f} MB statement, "
              f"{history.stat().st_size / 1e6:.1f} MB history, {sum(1 for _ in open(rules)) - 1} "
              f"rules; median of {args.repeat} runs, each a new process")
        print()
        cases = [
            ("categorize", ["categorize", statement, "--rules", rules, "-o", folder / "{path}.csv"]),
            ("categorize --summary", ["categorize", statement, "--rules", rules, "--summary"]),
            ("derive", ["derive", history, "-o", folder / "{path}.rules"]),
        ]
        rows, outputs = [], {}
        for name, argv in cases:
            for path in PATHS:
                stdout = folder / f"{path}.stdout"
                runs = [run([str(a).replace("{path}", path) for a in argv], path, stdout)
                        for _ in range(args.repeat)]
                wall, cpu, peak = (statistics.median(r[i] for r in runs) for i in range(3))
                rows.append((f"{name} ({path})", f"{wall:.2f} s", f"{cpu:.2f} s", f"{peak:.0f} MB"))
                outputs[name, path] = stdout.read_bytes()
        print_table(["", "wall", "cpu", "peak"], rows)
        print()
        same = all((folder / f"stdlib.{e}").read_bytes() == (folder / f"pyarrow.{e}").read_bytes()
                   for e in ("csv", "rules"))
        same = same and outputs["categorize --summary", "stdlib"] == outputs["categorize --summary", "pyarrow"]
        naive_categorize(statement, rules, folder / "naive.csv")
        naive = (folder / "naive.csv").read_bytes() == (folder / "stdlib.csv").read_bytes()
        print("the two paths agree" if same else "MISMATCH between the two paths")
        print("categorize agrees with the naive categoriser" if naive else "MISMATCH with the naive categoriser")
        if not (same and naive):
            raise SystemExit(1)


if __name__ == "__main__":
    main()
