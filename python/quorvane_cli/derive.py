"""quorvane_cli.derive: `quorvane derive`, rules learnt from labelled transactions."""

from __future__ import annotations

import argparse
import concurrent.futures
from functools import partial
from typing import Any, List

from quorvane_columns._native import DeriveCounter

from quorvane_cli import options
from quorvane_cli.csvfile import CsvFile
from quorvane_cli.failures import rows_have, shown, warn
from quorvane_cli.output import Target
from quorvane_cli.stdlib_csv import RULE_COLUMNS, lines_of

NAME = "derive"

def add_parser(verbs: Any) -> None:
    p = verbs.add_parser(NAME, help="learn rules from labelled transactions",
                         description="Write the rules learnt from labelled examples as CSV, "
                         "ready for categorize --rules.")
    options.add_input(p, "history", "HISTORY.csv",
                      "examples with narration, category and merchant columns")
    options.add_output(p, "the rules")
    p.set_defaults(run=run)


def unlabelled(path: str, count: int) -> str:
    """The warning that `count` rows of `path` were left out for having no label."""
    return f"{shown(path)}: {rows_have(count)} neither a category nor a merchant: left out"


def run(args: argparse.Namespace) -> None:
    target = Target(args.output, reads=[args.history])
    rows: List[List[Any]] = []
    with CsvFile(args.history, NAME, args.delimiter) as source:
        columns = [source.column([args.column] if args.column else options.NARRATION_COLUMNS,
                                 "--column"),
                   source.column(["category"]), source.column(["merchant"])]
        # Counted batch by batch into one native counter, so that memory holds one batch
        # and the counts (each distinct label and token once), never the whole history,
        # and no table of counts crosses into Python between batches.
        # The counter's tables are sized once, for the rows the file is expected to hold,
        # rather than grown (and copied) on the way. Sizing them takes a few hundredths of
        # a second for a million rows, so it is done while the first batch is read.
        # A row with neither a category nor a merchant is one the user has not labelled:
        # it is left out, rather than taught as a label of its own.
        kind = source.kind
        skipped = 0
        with concurrent.futures.ThreadPoolExecutor(1) as aside:
            made = aside.submit(partial(DeriveCounter, source.expected_rows, skip_unlabelled=True))
            counter = None
            for batch in source.batches(counted=True):
                counter = made.result()
                skipped += kind.count_examples(counter, *(batch.columns[c] for c in columns))
        if counter is not None:
            rows = kind.derived_rules(counter)
    if skipped:
        warn(unlabelled(args.history, skipped))
    with target.open() as out:
        out.write(lines_of([list(RULE_COLUMNS)] + rows, ","))
