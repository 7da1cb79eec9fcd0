#!/usr/bin/env python3
"""Benchmark quorvane_columns.spark in a local Spark, side by side with Spark's own idioms.

Two sections, each checked for agreement before it is timed, over a DataFrame cached in
the executors so that only the work itself is timed:

- categorise N narrations x R rules: quorvane_columns.spark.categorize (mapInArrow)
  against Spark SQL's first-match idiom, a CASE WHEN chain of
  `contains(lower(narration), pattern)` run in the JVM, and against collecting the column
  to the driver for one quorvane_columns.categorize call. Each run writes to Spark's
  `noop` sink, which computes every row and keeps none.
- derive rules from N labelled examples: quorvane_columns.spark.derive (counts per
  partition, finished on the driver) against collecting the three columns to the driver
  for one quorvane_columns.derive call.

    python bench/bench_spark.py [--n 500000] [--rules 200] [--partitions 8] [--repeat 3]

Needs pyspark 4 and Java 17 or later (pip install "quorvane[spark]").
"""

import argparse
import os
import sys

import pyarrow as pa
import pyarrow.compute as pc
from pyspark.sql import SparkSession

import quorvane_columns as qc
import quorvane_columns.spark as qcs

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_categorize  # noqa: E402
import bench_derive  # noqa: E402
from common import environment_summary, format_seconds, print_table, time_call  # noqa: E402


def report(title, rows):
    """rows: (name, Timing); the first row is ours, each other row gets our speed-up."""
    ours = rows[0][1].median
    table = [[name, format_seconds(t.best), format_seconds(t.median),
              "" if t.median is ours else f"{t.median / ours:.2f}x"] for name, t in rows]
    print(f"## {title}")
    print_table(["implementation", "best", "median", "ours faster by"], table, align="<>>>")
    print()


def cached(spark, table, partitions):
    df = spark.createDataFrame(table).repartition(partitions).cache()
    df.count()
    return df


def case_when(rules):
    """Spark SQL's first match: one CASE WHEN branch per rule, in order."""
    def quoted(text):
        return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"
    branches = " ".join(f"WHEN contains(lower(narration), {quoted(r['pattern'].lower())}) THEN {i}"
                        for i, r in enumerate(rules))
    return f"CASE {branches} END AS rule"


def categorize_section(spark, n, n_rules, partitions, repeat):
    narrations, rules = bench_categorize.build_workload(n, n_rules, 20261001)
    texts = [t["narration"] if isinstance(t, dict) else t for t in narrations]
    df = cached(spark, pa.table({"id": pa.array(range(n), pa.int64()), "narration": texts}),
                partitions)
    sql = case_when(rules)

    ours = qcs.categorize(df, rules).select("id", "rule")
    idiom = df.selectExpr("id", sql)
    got = ours.toArrow().sort_by("id").column("rule")
    want = qc.categorize(pa.array(texts), rules).column("rule")
    assert got.equals(want.cast(got.type)), "quorvane_columns.spark and quorvane_columns disagree"
    other = idiom.toArrow().sort_by("id").column("rule").cast(got.type)
    differ = pc.sum(pc.invert(pc.fill_null(pc.equal(got, other), False))).as_py() or 0
    differ -= pc.sum(pc.and_(got.is_null(), other.is_null())).as_py() or 0
    print(f"workload: {n:,} narrations x {n_rules} rules in {partitions} partitions; "
          f"Spark SQL's lower() differs from Unicode's on {differ:,} rows")

    def run(frame):
        frame.write.format("noop").mode("overwrite").save()

    def on_driver():
        return qc.categorize(df.select("narration").toArrow().column(0), rules)

    rows = [
        ("quorvane_columns.spark.categorize", time_call(run, ours, repeat=repeat)),
        ("Spark SQL CASE WHEN chain", time_call(run, idiom, repeat=repeat)),
        ("collect + quorvane_columns.categorize", time_call(on_driver, repeat=repeat)),
    ]
    report(f"categorise {n:,} x {n_rules}", rows)
    df.unpersist()


def derive_section(spark, n, partitions, repeat):
    examples = bench_derive.build_workload(n, max(10, n // 2000), 20261002)
    df = cached(spark, pa.Table.from_pylist(examples), partitions)

    def on_driver():
        table = df.select("narration", "category", "merchant").toArrow()
        return qc.derive(*table.columns)

    assert qcs.derive(df).equals(on_driver()), "quorvane_columns.spark.derive disagrees"
    print(f"workload: {n:,} labelled examples in {partitions} partitions; results equal")
    rows = [
        ("quorvane_columns.spark.derive", time_call(qcs.derive, df, repeat=repeat)),
        ("collect + quorvane_columns.derive", time_call(on_driver, repeat=repeat)),
    ]
    report(f"derive over {n:,} examples", rows)
    df.unpersist()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=500_000)
    parser.add_argument("--rules", type=int, default=200)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--master", default="local[2]")
    args = parser.parse_args(argv)
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master(args.master).config("spark.ui.enabled", "false")
             .config("spark.ui.showConsoleProgress", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    print(environment_summary())
    print(f"Spark {spark.version}, master {args.master}")
    print()
    categorize_section(spark, args.n, args.rules, args.partitions, args.repeat)
    derive_section(spark, args.n, args.partitions, args.repeat)
    spark.stop()


if __name__ == "__main__":
    main()
