"""quorvane_cli.check: the `quorvane check` verb: the rules that never win and, with a
labelled history, how the rules do on it; optionally an HTML report.

Exit status 0 when no rule is flagged, 1 when some are (so a rules file can be gated in a
pre-commit hook or CI), 2 on a usage error or an unreadable file.
"""

from __future__ import annotations

import argparse
from typing import Any, Dict, List, Optional

import quorvane_cli
from quorvane_cli import report
from quorvane_cli.table import CsvSource, aligned, utf8_stdout

#: Rules with fewer hits than this are left out of the worst-rules list: their precision
#: says little.
MIN_HITS = 5
#: How many of the worst rules are printed.
WORST_RULES = 10
#: How many unmatched groups the report shows.
REPORT_GROUPS = 20

Columns = Dict[str, List[Any]]


def add_parser(verbs: Any) -> None:
    p = verbs.add_parser(
        "check", help="find rules that never win, and score rules on labelled history",
        description="Print the rules that can never win (a duplicate or conflicting pattern, "
        "or an earlier pattern inside theirs) and, given a labelled history, how the rules "
        "label it: coverage, accuracy, precision, and the worst rules by precision. Exit "
        "status 0 when no rule is flagged, 1 when some are, 2 on a usage error or an "
        "unreadable file.")
    p.add_argument("history", nargs="?", metavar="HISTORY.csv",
                   help="labelled transactions: narration, category and merchant columns")
    p.add_argument("--rules", required=True, metavar="RULES",
                   help="rules in priority order: CSV with pattern, category and merchant "
                   "columns, or the JSON of a request's rule list")
    p.add_argument("--column", metavar="NAME",
                   help="the narration column (default: narration, description or details)")
    p.add_argument("--report", metavar="REPORT.html",
                   help="also write a self-contained HTML page: figures by category, every "
                   "rule, the findings and the largest unmatched groups")
    p.set_defaults(run=run)


class History:
    """A labelled history, column by column."""

    def __init__(self, path: str, column: Optional[str]) -> None:
        self.path = path
        self.narrations: List[str] = []
        self.categories: List[str] = []
        self.merchants: List[str] = []
        with CsvSource(path, "check") as source:
            names = [column] if column else list(quorvane_cli.NARRATION_COLUMNS)
            wanted = [source.column(names, "--column"), source.column(["category"]),
                      source.column(["merchant"])]
            for _, rows in source.chunks():
                for target, index in zip((self.narrations, self.categories, self.merchants),
                                         wanted):
                    target += [fields[index] for fields in rows]


def percent(value: Optional[float]) -> str:
    return "n/a" if value is None else f"{value:.1%}"


def summary_line(summary: Columns) -> str:
    rows, matched, correct = (summary[name][0] for name in ("rows", "matched", "correct"))
    macro = summary["macro_f1"][0]
    return (f"{rows:,} rows: {matched:,} matched (coverage {percent(summary['coverage'][0])}), "
            f"{correct:,} correct (accuracy {percent(summary['accuracy'][0])}, precision "
            f"{percent(summary['precision'][0])}); macro F1 "
            f"{'n/a' if macro is None else f'{macro:.3f}'}.")


def worst_rules(per_rule: Columns) -> List[int]:
    """The rules with at least MIN_HITS hits, lowest precision first (then by rule)."""
    eligible = [r for r, hits in enumerate(per_rule["hits"]) if hits >= MIN_HITS]
    eligible.sort(key=lambda r: (per_rule["precision"][r], r))
    return eligible[:WORST_RULES]


def rule_label(per_rule: Columns, r: int) -> str:
    return (f"{r} {per_rule['pattern'][r]!r}: {per_rule['category'][r]} / "
            f"{per_rule['merchant'][r]}")


def run(args: argparse.Namespace) -> int:
    import quorvane_columns as qc

    rules = quorvane_cli.read_rules(args.rules)
    history = History(args.history, args.column) if args.history else None
    findings: Columns = qc.lint(rules)
    evaluation = None
    if history is not None:
        evaluation = qc.evaluate(history.narrations, history.categories, history.merchants,
                                 rules)
    if args.report:
        # Written before anything is printed: a page that cannot be written is the one
        # line of a failure, not the end of a report.
        groups = None if history is None else qc.unmatched(history.narrations, rules,
                                                           top=REPORT_GROUPS)
        report.write(args.report, report.render(
            args.rules, rules, findings, history_path=history.path if history else None,
            evaluation=evaluation, groups=groups))

    out = utf8_stdout()
    count = len(findings["rule"])
    if count:
        out.write(f"{args.rules}: {count:,} of {len(rules):,} rules never win:\n")
        for kind, message in zip(findings["kind"], findings["message"]):
            out.write(f"  {kind}: {message}\n")
    else:
        out.write(f"{args.rules}: no finding in {len(rules):,} rules.\n")
    if history is not None and evaluation is not None:
        out.write(f"\n{history.path}: {summary_line(evaluation.summary)}\n")
        per_rule = evaluation.per_rule
        worst = worst_rules(per_rule)
        if worst:
            out.write(f"\nWorst rules by precision (at least {MIN_HITS} hits):\n")
            cells = [[rule_label(per_rule, r), f"{per_rule['hits'][r]:,}",
                      f"{per_rule['correct'][r]:,}", percent(per_rule["precision"][r])]
                     for r in worst]
            for line in aligned(["Rule", "Hits", "Correct", "Precision"], cells):
                out.write(f"  {line}\n")
        else:
            out.write(f"\nNo rule has {MIN_HITS} hits or more.\n")
    return 1 if count else 0


__all__ = ["add_parser", "run", "worst_rules", "summary_line"]
