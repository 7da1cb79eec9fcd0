"""quorvane_columns.spark in a real Spark (local mode, two cores), through a classic session
and through Spark Connect: over any partitioning, rules in any form, the same results as
the single-process calls."""

import json
from unittest import mock

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import quorvane_columns as qc

pa = pytest.importorskip("pyarrow")
try:
    import quorvane_columns.spark as qcs
except ImportError:  # the spark fixture skips, or fails where Spark is required
    qcs = None
from columns_support import RULES, narration, rules_as  # noqa: E402

# A null label reads as empty, a row with neither label is left out.
labelled = st.tuples(st.one_of(st.none(), narration), st.sampled_from(["Food", "Fuel", "Ä", None]),
                     st.sampled_from(["M1", "M2", None]))
SCHEMA = "id int, text string, category string, merchant string"


@pytest.fixture(params=["classic", "connect"])
def session(request):
    """Each test runs on a classic DataFrame and on a Spark Connect one (the sessions are
    the run's: a fixture named as theirs would be made anew for each test)."""
    return request.getfixturevalue("spark" if request.param == "classic" else "spark_connect")


@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(examples=st.lists(labelled, max_size=30), partitions=st.integers(1, 4),
       form=st.sampled_from(["dicts", "columns", "stream", "polars categorical", "spark"]),
       block=st.sampled_from([1, 64 << 20]))  # bytes taken at once: one batch, or all
@example(examples=[("zesto", "Food", "M1"), (None, "Fuel", "M2")], partitions=2, form="columns",
         block=1)
def test_spark_gives_the_single_process_results(session, examples, partitions, form, block):
    rows = [(i, n, c, m) for i, (n, c, m) in enumerate(examples)]
    # In order: the first rows in the first partition.
    df = session.createDataFrame(rows, SCHEMA).repartitionByRange(partitions, "id")

    with mock.patch.object(qcs, "_BLOCK_BYTES", block):
        out = qcs.categorize(df, rules_as(form, session), column="text")
    # The input's category and merchant are replaced.
    assert out.schema.simpleString() == "struct<id:int,text:string,rule:int,category:string,merchant:string>"
    got = out.toArrow().to_pydict()
    want = qc.categorize([n for n, _, _ in examples], RULES)
    assert {name: got[name] for name in want} == want
    assert got["id"] == list(range(len(rows)))
    assert got["text"] == [n for n, _, _ in examples]

    labelled = [e for e in examples if e[0] is not None]
    with mock.patch.object(qcs, "_BLOCK_BYTES", block):
        rules = qcs.derive(df.dropna(subset=["text"]), narration="text")
    assert isinstance(rules, pa.Table)
    assert rules.to_pydict() == qc.derive(*([e[k] for e in labelled] for k in range(3)))


def door_message(call):
    with pytest.raises(Exception) as raised:
        call()
    return str(raised.value)


BAD_RULES = [{"pattern": "a", "category": None, "merchant": "M"}]
STREAMING = ("a streaming Spark DataFrame gives its rows only to a running query: read its source "
             "with spark.read, or call this in foreachBatch on each micro-batch")


def streamed(df):
    """Narrations and labels that arrive as a stream (Spark's own refusal of a frame read
    at once named writeStream, not the call)."""
    return df.sparkSession.readStream.format("rate").load().selectExpr(
        "CAST(value AS string) AS narration", "'F' AS category", "'M' AS merchant")


def bad_text(df):
    """`df` twice over, then its first row with a merchant that is not UTF-8: row 4 of one
    partition, in its second batch of three."""
    bad = df.limit(1).selectExpr("narration", "amount", "category", "CAST(unhex('FF') AS string) AS merchant")
    return df.union(df).union(bad).coalesce(1)


@pytest.mark.parametrize("call, error, message", [
    (lambda df: qcs.categorize(df, RULES, column="nope"), ValueError,
     "no column 'nope' in the DataFrame (its columns: 'narration', 'amount', 'category', 'merchant')"),
    (lambda df: qcs.categorize(df, RULES, column="amount"), TypeError,
     "column 'amount' is int, not string or binary"),
    (lambda df: qcs.categorize(df, BAD_RULES), ValueError, door_message(lambda: qc.categorize([], BAD_RULES))),
    (lambda df: qcs.categorize(df, df.selectExpr("category AS pattern", "narration AS category", "merchant")),
     ValueError, "rules: column 'pattern': null in row 1"),
    (lambda df: qcs.derive(df, narration="category"), ValueError,
     "category: null in row 1 of partition 0"),
    (lambda df: qcs.categorize(df.select("*", "narration"), RULES), ValueError,
     "the DataFrame has several columns named 'narration'; rename or drop all but one"),
    (lambda df: qcs.categorize(df.selectExpr("*", "amount AS Amount"), RULES), ValueError,  # as Spark reads names
     "the DataFrame has several columns named 'Amount'; rename or drop all but one"),
    (lambda df: qcs.categorize(df.selectExpr("*", "INTERVAL '1' YEAR AS `a.span`"), RULES), TypeError,
     "column 'a.span' is interval year, which Spark does not pass to Python workers; cast or drop it first"),
    (lambda df: qcs.categorize(df.selectExpr("*", "array(named_struct('a', 1, 'a', 2)) AS twice"), RULES), TypeError,
     "column 'twice' is array<struct<a:int,a:int>>, which Spark does not pass to Python workers; "
     "cast or drop it first"),
    (lambda df: qcs.derive(bad_text(df)), ValueError, "merchant: row 4 of partition 0 is not valid UTF-8 text"),
    (lambda df: qcs.derive(streamed(df)), TypeError, "df: derive reads every row at once, and " + STREAMING),
    (lambda df: qcs.categorize(df, streamed(df).selectExpr("narration AS pattern", "category", "merchant")),
     TypeError, "rules: " + STREAMING),
    (lambda df: qc.categorize(streamed(df), RULES), TypeError, "narrations: " + STREAMING),
    # Checked on the driver, not in every task (where Spark wraps it in its own error).
    (lambda df: qcs.categorize(df, RULES, threads=0), ValueError, "threads: expected at least 1, got 0"),
    (lambda df: qcs.derive(df, threads=True), TypeError, "threads: expected an int or None, got 'bool'"),
    (lambda df: qcs.categorize(bad_text(df), RULES, column="merchant").collect(), "worker",
     "merchant: row 4 of partition 0 is not valid UTF-8 text"),
])
def test_mistakes_are_reported_by_name_and_place(session, call, error, message):
    df = session.createDataFrame([("zesto", 1, "F", "Z"), ("kart", 2, None, "K")],
                               "narration string, amount int, category string, merchant string").coalesce(1)
    with pytest.raises(Exception if error == "worker" else error) as raised:
        call(df)
    shown = str(raised.value)
    if error == "worker":  # a lazy call's mistake, raised by the action that runs it
        shown = qcs._WORKER_VALUE_ERROR.findall(shown)[-1]
    assert shown == message


def test_columns_are_chosen_by_name(session):
    """mapInArrow looks columns up by name, reading a dot as a struct's field: a name that
    holds one, input or not, still works. Texts may come as binary (Parquet written
    without the string annotation), read as UTF-8 and passed through as they came. A
    column the result replaces (by a name Spark reads as its own, such as 'RULE') never
    reaches the workers, whatever its type. A Spark
    Connect frame is resolved anew by each action: a view since redefined with its
    columns in another order still gives each column its own values."""
    df = session.createDataFrame([(1, b"zesto", "Food", "Z"), (2, b"KART 2", "Shop", "K")],
                               "`t.id` int, `n.x` binary, `c``x` string, `m.x` string")
    df = df.selectExpr("*", "INTERVAL '1' YEAR AS RULE")
    df.createOrReplaceTempView("texts")
    categorized = qcs.categorize(session.table("texts"), RULES, column="n.x")
    df.select("`t.id`", "`n.x`", "`m.x`", "`c``x`", "rule").createOrReplaceTempView("texts")
    out = categorized.toArrow().sort_by("t.id")
    assert out.column_names == ["t.id", "n.x", "c`x", "m.x", "rule", "category", "merchant"]
    assert out["n.x"].to_pylist() == [b"zesto", b"KART 2"]
    assert out["m.x"].to_pylist() == ["Z", "K"]
    assert {name: out[name].to_pylist() for name in ("rule", "category", "merchant")} == \
        qc.categorize(["zesto", "KART 2"], RULES)
    rules = qcs.derive(session.table("texts"), narration="n.x", category="c`x", merchant="m.x")
    assert rules.to_pydict() == qc.derive(["zesto", "KART 2"], ["Food", "Shop"], ["Z", "K"])


def test_a_stream_is_categorized_as_it_comes(session, tmp_path):
    """A streaming frame, written to a sink or handed batch by batch to foreachBatch (where
    derive runs too, on the batch's rows), gives each row the single-process answer."""
    examples = [("zesto 1", "Food", "Z"), (None, "Food", "Z"), ("KART 2", "Shop", "K"),
                ("ΣΟΦΊΑ kart", "Shop", None), ("", None, "Z")] * 2
    rows = [(i, *example) for i, example in enumerate(examples)]
    session.createDataFrame(rows, SCHEMA).repartition(2).write.parquet(str(tmp_path / "in"))
    stream = session.readStream.schema(SCHEMA).option("maxFilesPerTrigger", 1).parquet(str(tmp_path / "in"))
    into = str(tmp_path / "out")

    def each(batch, number):
        qcs.categorize(batch, RULES, column="text").write.mode("append").parquet(f"{into}/categorized")
        rules = qcs.derive(batch.dropna(subset=["text"]), narration="text").to_pylist()
        ids = batch.select("id").toArrow()["id"].to_pylist()
        batch.sparkSession.createDataFrame([(json.dumps(ids), json.dumps(rules))], "ids string, rules string") \
            .write.mode("append").parquet(f"{into}/derived")

    queries = [qcs.categorize(stream, rules_as("spark", session), column="text").writeStream
               .trigger(availableNow=True).format("memory").queryName("categorized_stream").start(),
               stream.writeStream.trigger(availableNow=True).foreachBatch(each)
               .option("checkpointLocation", f"{into}/each.checkpoint").start()]
    try:
        for query in queries:
            query.awaitTermination(120)
            assert query.exception() is None
    finally:
        for query in queries:
            query.stop()
    texts = [text for text, _, _ in examples]
    for out in (session.table("categorized_stream"), session.read.parquet(f"{into}/categorized")):
        out = out.toArrow().sort_by("id")
        assert out["text"].to_pylist() == texts
        assert {k: out[k].to_pylist() for k in ("rule", "category", "merchant")} == qc.categorize(texts, RULES)
    derived = session.read.parquet(f"{into}/derived").toArrow().to_pydict()
    assert sorted(sum(map(json.loads, derived["ids"]), [])) == list(range(len(examples)))
    for ids, rules in zip(derived["ids"], derived["rules"]):  # a row a batch
        labelled = [examples[i] for i in json.loads(ids) if examples[i][0] is not None]
        want = qc.derive(*([e[k] for e in labelled] for k in range(3)))
        assert json.loads(rules) == [dict(zip(want, rule)) for rule in zip(*want.values())]


@pytest.mark.parametrize("typed", [False, True])  # spark.sql.preserveCharVarcharTypeInfo
def test_char_padding_is_no_part_of_the_text(session, tmp_path, typed):
    """Spark pads a char(n) column it reads from a table with spaces to n characters:
    narrations, labels and rules are read without them (a pattern 'ab ' met 'ab' in its
    padding, a pattern padded met no longer narration); the column kept passes as it is.
    Where the type is kept, Spark sends no char column to the workers: read, it goes as a
    string; kept, it is refused by name."""
    texts, categories, merchants = ["zesto", "ab", "kart ab"], ["Food", "Fuel", "Fuel"], ["Z", "K", "K"]
    path = tmp_path / "padded"
    rows = list(zip(range(3), texts, categories, merchants))
    session.createDataFrame(rows, SCHEMA).coalesce(1).write.parquet(str(path))
    session.conf.set("spark.sql.preserveCharVarcharTypeInfo", str(typed).lower())
    try:
        session.sql(f"CREATE OR REPLACE TEMPORARY VIEW padded (id int, text char(9), category char(6), "
                    f"merchant varchar(4)) USING parquet OPTIONS (path '{path}')")
        df = session.table("padded")
        stored = [dict(zip(("pattern", "category", "merchant"), rule)) for rule in zip(texts, categories, merchants)]
        cases = [(stored, df.selectExpr("text AS pattern", "category", "merchant"))]
        if typed:
            with pytest.raises(TypeError, match=r"^column 'text' is char\(9\), which Spark does not pass"):
                qcs.categorize(df, RULES, column="text")
            df = df.selectExpr("id", "CAST(rtrim(text) AS string) AS text", "category", "merchant")
        else:
            spaced = [{"pattern": "ab ", "category": "Spaced", "merchant": "S"}]
            cases.append((spaced, spaced))
        for rules, given in cases:
            out = qcs.categorize(df, given, column="text").toArrow().sort_by("id")
            assert out["text"].to_pylist() == (texts if typed else [text.ljust(9) for text in texts])
            assert {name: out[name].to_pylist() for name in ("rule", "category", "merchant")} == \
                qc.categorize(texts, rules)
        assert qcs.derive(session.table("padded"), narration="text").to_pydict() == \
            qc.derive(texts, categories, merchants)
    finally:
        session.conf.set("spark.sql.preserveCharVarcharTypeInfo", "false")


def test_plain_calls_read_a_spark_frame_by_its_rows(session):
    """A Spark DataFrame handed to the single-process calls: its own Arrow stream declares
    plain strings while, under spark.sql.execution.arrow.useLargeVarTypes, its batches
    hold large ones, and a batch of one row read through it gave empty texts."""
    session.conf.set("spark.sql.execution.arrow.useLargeVarTypes", "true")
    try:
        numbered = session.createDataFrame([(i, *rule.values()) for i, rule in enumerate(RULES)], ["i", *RULES[0]])
        rules = numbered.repartitionByRange(len(RULES), "i").drop("i")  # a rule a partition
        narrations = session.createDataFrame([("KART 2",)], "narration string")
        assert pa.table(qc.categorize(narrations, rules)).to_pydict() == qc.categorize(["KART 2"], RULES)
    finally:
        session.conf.set("spark.sql.execution.arrow.useLargeVarTypes", "false")
