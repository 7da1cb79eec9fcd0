#!/usr/bin/env python3
"""Benchmark the `quorvane categorize` and `derive` commands on large CSV files.

A statement of N rows (date, narration, amount; the bundled statement's narrations, each
with a random reference appended) and a labelled history of N rows are written to a
temporary directory. The commands run in-process on them and are set against two
pure-Python floors: copying the same file through the csv module (the least a
CSV-in, CSV-out command can cost), and a naive categoriser (csv in, each rule tried on
each lowered narration, csv out). The script checks the naive output equals the
command's.

    python bench/bench_cli.py [--n 1000000] [--repeat 1]
"""

import argparse
import csv
import json
import os
import random
import sys
import tempfile
from pathlib import Path

import quorvane_cli

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import environment_summary, format_seconds, print_table, time_call  # noqa: E402

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"


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


def csv_copy(source, target):
    with open(source, newline="", encoding="utf-8") as f, open(target, "w", newline="", encoding="utf-8") as g:
        csv.writer(g, lineterminator="\r\n").writerows(csv.reader(f))


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


def command(*argv):
    status = quorvane_cli.main([str(arg) for arg in argv])
    if status != 0:
        raise SystemExit(f"quorvane {argv[0]} failed with status {status}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_inputs(folder, args.n)
        statement, history, rules = folder / "statement.csv", folder / "history.csv", DATA / "rules.csv"
        size = statement.stat().st_size
        print(environment_summary())
        print(f"{args.n:,} rows, {size / 1e6:.1f} MB statement, {history.stat().st_size / 1e6:.1f} MB "
              f"history, {sum(1 for _ in open(rules)) - 1} rules; best of {args.repeat}")
        print()
        cases = [
            ("csv copy (floor)", csv_copy, (statement, folder / "copy.csv")),
            ("naive categorize", naive_categorize, (statement, rules, folder / "naive.csv")),
            ("quorvane categorize", command, ("categorize", statement, "--rules", rules, "-o", folder / "out.csv")),
            ("quorvane categorize --summary", command, ("categorize", statement, "--rules", rules, "--summary")),
            ("quorvane derive", command, ("derive", history, "-o", folder / "rules.csv")),
        ]
        rows = []
        for name, func, func_args in cases:
            devnull = open(os.devnull, "w")
            stdout, sys.stdout = sys.stdout, devnull  # the summary's text
            try:
                best = time_call(func, *func_args, repeat=args.repeat).best
            finally:
                sys.stdout = stdout
                devnull.close()
            rows.append((name, format_seconds(best), f"{best / args.n * 1e6:.2f} us", f"{args.n / best:,.0f}"))
        print_table(["", "best", "per row", "rows/s"], rows)
        same = (folder / "naive.csv").read_bytes() == (folder / "out.csv").read_bytes()
        print()
        print("naive and command outputs agree" if same else "MISMATCH between naive and command outputs")
        if not same:
            raise SystemExit(1)


if __name__ == "__main__":
    main()
