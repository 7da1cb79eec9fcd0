"""quorvane_columns.dask: over any partitioning, the same results as the single-process
calls and the existing module; on a real cluster, the work runs in the workers."""

import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane
import quorvane_columns as qc

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd

    import quorvane_columns.dask as qd
except ImportError:
    dask = None

needs_dask = pytest.mark.skipif(dask is None, reason='needs pip install "quorvane[dask]"')


RULES = [
    {"pattern": "zesto", "category": "Food", "merchant": "ZestoBites"},
    {"pattern": "kart", "category": "Shopping", "merchant": "Kartville"},
    {"pattern": "σοφία", "category": "Books", "merchant": "Sofia"},
    {"pattern": "upi zesto", "category": "Transfer", "merchant": "UPI"},
]

words = st.sampled_from(["zesto", "ZESTO", "kart", "upi", "fuel", "ÄRGER", "σοφία", "ab", "4471"])
narration = st.lists(words, max_size=5).map(" ".join)
example = st.tuples(narration, st.sampled_from(["Food", "Fuel", "Ä"]), st.sampled_from(["M1", "M2"]))


def frame(examples, categorical=False):
    """The examples, their narration called `text`, indexed by labels (not a range)."""
    index = [f"row {i}" for i in range(len(examples))]
    texts = {name: pd.Series([e[k] for e in examples], dtype="string", index=index)
             for k, name in enumerate(("text", "category", "merchant"))}
    if categorical:  # Dask keeps a categorical's categories in every partition
        texts["category"] = texts["category"].astype("category")
    return pd.DataFrame(dict(texts, amount=pd.Series(range(len(examples)), index=index)))


def rows(df):
    """A pandas frame as a dict of lists, None for every kind of null."""
    return {name: [None if pd.isna(v) else v for v in df[name].tolist()] for name in df.columns}


def derive_rules(df):
    """What the existing module derives from the frame's rows."""
    data = [{"narration": n, "category": c, "merchant": m}
            for n, c, m in zip(df["text"], df["category"], df["merchant"])]
    return [(r["pattern"], r["category"], r["merchant"]) for r in quorvane.derive_rules({"data": data})["rules"]]


def check(ddf, df, split_every=8, rules=RULES):
    """Both calls on `ddf` against the single-process ones on `df`, its rows together."""
    out = qd.categorize(ddf, rules, column="text")
    computed = out.compute()
    assert list(computed.columns) == ["text", "amount", "rule", "category", "merchant"]
    # Every dtype is the one the frame announced (categories, unknown beforehand, aside).
    assert dict(computed.dtypes.astype(str)) == dict(out.dtypes.astype(str))
    assert str(computed["rule"].dtype) == "Int32"
    want = qc.categorize(df["text"], RULES)
    got = rows(computed)
    assert {name: got[name] for name in ("rule", "category", "merchant")} == rows(want)
    assert got["amount"] == list(df["amount"])  # the frame's own columns, rows in order

    rules = qd.derive(ddf, narration="text", split_every=split_every, threads=1)
    assert list(zip(rules["pattern"], rules["category"], rules["merchant"])) == derive_rules(df)


@needs_dask
@settings(max_examples=25, deadline=None)
@given(examples=st.lists(example, max_size=40), npartitions=st.integers(1, 7),
       split_every=st.integers(2, 4), categorical=st.booleans())
def test_any_partitioning_gives_the_single_process_results(examples, npartitions, split_every,
                                                           categorical):
    df = frame(examples, categorical)
    with dask.config.set(scheduler="synchronous"):
        check(dd.from_pandas(df, npartitions=npartitions, sort=False), df, split_every)


def rules_as(form):
    """RULES in a form categorize takes: some can be read only once (a stream), or by one
    thread at a time (a relation), and neither pickles."""
    import pyarrow as pa

    table = pa.Table.from_pylist(RULES)
    if form == "stream":
        return pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
    if form == "duckdb":
        return pytest.importorskip("duckdb").from_arrow(table)
    if form == "pandas category":
        return pd.DataFrame(RULES, index=[7, 3, 5, 1]).astype("category")
    if form == "dask":
        return dd.from_pandas(pd.DataFrame(RULES), npartitions=2)
    if form == "columns":
        return {name: [rule[name] for rule in RULES] for name in RULES[0]}
    return {"rules": RULES}


@needs_dask
@pytest.mark.parametrize("form", ["stream", "duckdb", "pandas category", "dask", "columns", "request"])
@pytest.mark.parametrize("series", [False, True])
def test_rules_in_any_form_reach_every_partition(form, series):
    df = frame([(f"{word} {i}", "", "") for i in range(12) for word in ("zesto", "ΣΟΦΊΑ", "x")])
    df = df[["text", "amount"]]
    ddf = dd.from_pandas(df, npartitions=4, sort=False)
    with dask.config.set(scheduler="threads"):
        if series:  # the three columns alone, aligned with the frame's rows
            out = qd.categorize(ddf["text"], rules_as(form))
            computed = ddf.assign(**{name: out[name] for name in out.columns}).compute()
        else:
            computed = qd.categorize(ddf, rules_as(form), column="text").compute()
    assert list(computed.index) == list(df.index)
    assert list(computed.columns) == ["text", "amount", "rule", "category", "merchant"]
    want = rows(qc.categorize(df["text"], RULES))
    assert {name: rows(computed)[name] for name in want} == want


@needs_dask
def test_a_null_narration_names_its_partition_and_a_null_label_reads_as_empty():
    df = frame([(f"zesto {i}", "Food", "M1") for i in range(6)] + [("kart 1", None, None)]
               + [(f"kart {i}", "Shop", None) for i in range(2)])
    ddf = dd.from_pandas(df, npartitions=3, sort=False)
    # The row with neither label is left out, a lone null label is empty.
    assert rows(qd.derive(ddf, narration="text")) == rows(
        qc.derive(df["text"], df["category"], df["merchant"]))
    assert rows(qd.derive(ddf, narration="text"))["merchant"] == ["M1", ""]
    df.iloc[4, 0] = None
    with pytest.raises(ValueError) as raised:
        qd.derive(dd.from_pandas(df, npartitions=3, sort=False), narration="text")
    assert str(raised.value) == "text: null in row 1 of partition 1"


@needs_dask
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="a LocalCluster whose worker processes start under the ASan preload "
                           "never comes up (tried: still waiting after five minutes)")
def test_a_local_cluster_runs_the_work_in_both_workers():
    distributed = pytest.importorskip("distributed")
    examples = [(f"upi zesto {i}" if i % 3 else f"kart {i} σοφία", "Food" if i % 3 else "Shop",
                 f"M{i % 2}") for i in range(400)]
    df = frame(examples)
    ddf = dd.from_pandas(df, npartitions=8, sort=False)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        pids = client.run(os.getpid)  # worker address -> its process id
        with distributed.get_task_stream(client) as stream:
            # Rules that neither pickle nor can be read twice: read once, shipped as a table.
            check(ddf, df, split_every=3, rules=rules_as("stream"))
    ran_in = {pids[task["worker"]] for task in stream.data
              if str(task["key"]).startswith(("('quorvane-categorize-", "_count-"))}
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
    assert ran_in == set(pids.values())
