#!/usr/bin/env python3
"""Check the column door on a narration column whose text passes 2^31 bytes.

A small pool of narrations (ASCII, letters that lower to several code points, a final
sigma, a pattern over 64 KiB) is tiled into one `large_string` column (or `large_binary`,
or a chunked `string` column whose chunks together pass 2^31 bytes) without copying a
row. Every row of `categorize` and `explain` is then compared with the pool's own answer
(the pool's `categorize` with a plain-Python model first), `unmatched` and `evaluate`
with the pool's figures scaled, and `derive` with `quorvane.derive_rules` on the pool.
No timing target: it reports times and the process's peak memory.

    python bench/bench_scale.py [--layout large_string|large_binary|chunked] [--bytes 2.3e9]

Needs pyarrow and numpy, and a little more memory than --bytes.
"""

import argparse
import resource
import time

import numpy as np
import pyarrow as pa

import quorvane
import quorvane_columns as qc

HUGE = "k" + "".join(chr(97 + (i * 7) % 26) for i in range(70_000))
RULES = [["zestobites", "Food", "ZestoBites"], ["İstanbul", "Travel", "IST"],
         ["ΟΔΟΣ", "Greek", "Road"], ["straße", "German", "Strasse"],
         ["kartville", "Shopping", "Kartville"], [HUGE, "Huge", "Pattern"],
         ["upi/", "Transfers", "UPI"], ["atm wdl", "Cash", "ATM"]]
POOL = ["UPI/ZESTOBITES/DINNER/4471", "ATM WDL MG ROAD", "", "İstanbul zestobites",
        "ΚΑΤΩ ΟΔΟΣ 12", "ΟΔΟΣΑ", "STRASSE 5", "ẞ straẞe", "nothing here 99", None,
        "x" * 3000 + "atm wdl", "İ" * 2000 + "kartville", "b" * 5000 + HUGE.upper() + "upi/"]
LABELS = [("Food", "Z"), ("Cash", None), (None, "U"), ("", "")]


def model(narration):
    low = narration.lower()
    return next((i for i, rule in enumerate(RULES) if rule[0].lower() in low), None)


def tiled(layout, k):
    """The pool repeated k times as one column, and the pool's byte length."""
    texts = [(n or "").encode() for n in POOL]
    lengths = np.array([len(t) for t in texts], dtype=np.int64)
    size = int(lengths.sum())
    data = np.tile(np.frombuffer(b"".join(texts), dtype=np.uint8), k)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    offsets = np.append((starts[None, :] + np.arange(k)[:, None] * size).ravel(), k * size)
    valid = np.tile([n is not None for n in POOL], k)
    if layout != "chunked":
        kind = pa.large_string() if layout == "large_string" else pa.large_binary()
        return pa.Array.from_buffers(kind, len(valid), [
            pa.py_buffer(np.packbits(valid, bitorder="little")), pa.py_buffer(offsets),
            pa.py_buffer(data)])
    per = (2**30 // size) * len(POOL)  # rows of about 1 GiB a chunk
    chunks = []
    for first in range(0, len(valid), per):
        last = min(len(valid), first + per)
        chunks.append(pa.Array.from_buffers(pa.string(), last - first, [
            pa.py_buffer(np.packbits(valid[first:last], bitorder="little")),
            pa.py_buffer((offsets[first:last + 1] - offsets[first]).astype(np.int32)),
            pa.py_buffer(data[offsets[first]:offsets[last]])]))
    return pa.chunked_array(chunks)


def labels(k, which):
    words = sorted({pair[which] for pair in LABELS if pair[which] is not None})
    picks = [LABELS[i % len(LABELS)][which] for i in range(len(POOL))]
    indices = [words.index(p) if p is not None else 0 for p in picks]
    return picks, pa.DictionaryArray.from_arrays(
        pa.array(np.tile(indices, k), mask=np.tile([p is None for p in picks], k)),
        pa.array(words))


def column(table, name):
    return table.column(name).combine_chunks().fill_null(-1).to_numpy()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--layout", default="large_string",
                        choices=["large_string", "large_binary", "chunked"])
    parser.add_argument("--bytes", type=float, default=2.3e9)
    args = parser.parse_args()
    pool = pa.array(POOL, type=pa.large_string())
    answers = qc.categorize(pool, RULES)
    assert answers.column("rule").to_pylist() == [None if n is None else model(n) for n in POOL]
    k = -(-int(args.bytes) // sum(len((n or "").encode()) for n in POOL))
    big = tiled(args.layout, k)
    print(f"{args.layout}: {len(big):,} rows, {k:,} copies of {len(POOL)} narrations")
    failures = []

    def check(name, call, compare):
        start = time.perf_counter()
        try:
            result = call()
        except MemoryError:
            failures.append(f"{name}: MemoryError")
            print(f"{name:10} MemoryError")
            return
        seconds = time.perf_counter() - start
        ok = compare(result)
        if not ok:
            failures.append(name)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
        print(f"{name:10} {seconds:6.1f} s  peak {peak:5.1f} GiB  {'equal' if ok else 'DIFFERS'}")

    def rows_equal(names, small):
        return lambda result: all(
            np.array_equal(column(result, c), np.tile(column(small, c), k)) for c in names)

    check("categorize", lambda: qc.categorize(big, RULES), rows_equal(["rule"], answers))
    check("explain", lambda: qc.explain(big, RULES),
          rows_equal(["rule", "start", "end", "matched"], qc.explain(pool, RULES)))
    thrice = qc.unmatched(pa.array(POOL * 3), RULES).to_pylist()
    for group in thrice:
        group["count"] = group["count"] * k // 3
    check("unmatched", lambda: qc.unmatched(big, RULES), lambda r: r.to_pylist() == thrice)
    # derive and evaluate take no null narration: the same buffers without validity
    whole = (pa.chunked_array([pa.Array.from_buffers(c.type, len(c), [None, *c.buffers()[1:]])
                               for c in big.chunks]) if args.layout == "chunked" else
             pa.Array.from_buffers(big.type, len(big), [None, *big.buffers()[1:]]))
    (categories, cat_column), (merchants, mer_column) = labels(k, 0), labels(k, 1)
    examples = [{"narration": n or "", "category": c or "", "merchant": m or ""}
                for n, c, m in zip(POOL, categories, merchants) if c or m]
    rules = quorvane.derive_rules({"data": examples})["rules"]
    check("derive", lambda: qc.derive(whole, cat_column, mer_column),
          lambda r: r.to_pylist() == rules)
    figures = qc.evaluate(pa.array([n or "" for n in POOL]), pa.array(categories),
                          pa.array(merchants), RULES).summary.to_pylist()[0]
    for key in ("rows", "matched", "correct"):
        figures[key] *= k
    check("evaluate", lambda: qc.evaluate(whole, cat_column, mer_column, RULES),
          lambda r: r.summary.to_pylist()[0] == figures)
    print("all equal" if not failures else f"FAILED: {', '.join(failures)}")


if __name__ == "__main__":
    main()
