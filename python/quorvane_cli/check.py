"""quorvane_cli.check: `quorvane check`, the rules that never win and, with a labelled
history, how the rules do on it; optionally an HTML report.

Exit status 0 when no rule is flagged, 1 when some are (so a rules file can gate a
pre-commit hook or CI), 2 on a usage error or an unreadable file.
"""

from __future__ import annotations

import argparse
from typing import Any, Dict, List, Optional, Sequence

import quorvane_columns as qc

from quorvane_cli import options
from quorvane_cli.csvfile import CsvFile
from quorvane_cli.derive import unlabelled
from quorvane_cli.failures import shown, warn
from quorvane_cli.output import Target
from quorvane_cli.rules import read_rules
from quorvane_cli.text import aligned, counted, ratio, visible

NAME = "check"

#: Rules with fewer hits than this are left out of the worst rules: their precision says
#: little.
MIN_HITS = 5
#: How many of the worst rules are printed.
WORST_RULES = 10
#: How many unmatched groups the report shows.
REPORT_GROUPS = 20

Columns = Dict[str, List[Any]]


def add_parser(verbs: Any) -> None:
    p = verbs.add_parser(
        NAME, help="find rules that never win, and score rules on labelled history",
        description="Print the rules that can never win (a duplicate or conflicting pattern, "
        "or an earlier pattern inside theirs) and, given a labelled history, how the rules "
        "label it: coverage, accuracy, precision, and the worst rules by precision. Exit "
        "status 0 when no rule is flagged, 1 when some are, 2 on a usage error or an "
        "unreadable file.")
    options.add_input(p, "history", "HISTORY.csv",
                      "labelled transactions with narration, category and merchant columns",
                      optional=True)
    options.add_rules(p)
    p.add_argument("--report", metavar="REPORT.html",
                   help="also write a self-contained HTML page (figures by category, every "
                   "rule, the findings, the largest unmatched groups); a file is replaced "
                   "only once complete, and - is standard output instead of the text")
    p.set_defaults(run=run)


def _data(result: Any) -> Columns:
    """A result of quorvane_columns as a dict of lists."""
    return result if isinstance(result, dict) else result.to_pydict()


def read_history(path: str, column: Optional[str], delimiter: Optional[str]) -> List[Any]:
    """The narration, category and merchant columns of a labelled history, whole."""
    with CsvFile(path, NAME, delimiter) as source:
        wanted = [source.column([column] if column else options.NARRATION_COLUMNS, "--column"),
                  source.column(["category"]), source.column(["merchant"])]
        batches, skipped = [], 0
        for batch in source.batches():
            kept, left_out = source.kind.without_unlabelled([batch.columns[c] for c in wanted])
            batches.append(kept)
            skipped += left_out
    if skipped:  # as derive leaves them out
        warn(unlabelled(path, skipped))
    return [source.kind.joined([batch[k] for batch in batches]) for k in range(3)]


class Checked:
    """What check found: the findings, and with a history its figures and word groups."""

    def __init__(self, rules: Any, history: Optional[Sequence[Any]]) -> None:
        self.findings = _data(qc.lint(rules))
        narrations, categories, merchants = history or ([], [], [])
        figures = qc.evaluate(narrations, categories, merchants, rules)
        self.per_rule = _data(figures.per_rule)
        self.evaluation: Optional[qc.Evaluation] = None
        self.groups: Optional[Columns] = None
        if history is not None:
            self.evaluation = qc.Evaluation(self.per_rule, _data(figures.per_category),
                                            _data(figures.summary))
            self.groups = _data(qc.unmatched(history[0], rules, top=REPORT_GROUPS))


def summary_line(summary: Columns) -> str:
    rows, matched, correct = (summary[name][0] for name in ("rows", "matched", "correct"))
    macro = summary["macro_f1"][0]
    return (f"{counted(rows, 'row')}: {matched:,} matched (coverage {ratio(summary['coverage'][0])}), "
            f"{correct:,} correct (accuracy {ratio(summary['accuracy'][0])}, precision "
            f"{ratio(summary['precision'][0])}); macro F1 "
            f"{ratio(macro, 3, percent=False)}.")


def worst_rules(per_rule: Columns) -> List[int]:
    """The rules with at least MIN_HITS hits, lowest precision first (then by rule)."""
    eligible = [r for r, hits in enumerate(per_rule["hits"]) if hits >= MIN_HITS]
    eligible.sort(key=lambda r: (per_rule["precision"][r], r))
    return eligible[:WORST_RULES]


def text(rules_path: str, history_path: Optional[str], checked: Checked) -> str:
    """What check prints: the findings, then the figures on the history."""
    findings, rules = checked.findings, len(checked.per_rule["rule"])
    count = len(findings["rule"])
    lines = [f"{shown(rules_path)}: no finding in {counted(rules, 'rule')}."] if not count else [
        f"{shown(rules_path)}: {count:,} of {counted(rules, 'rule')} "
        f"{'never wins' if count == 1 else 'never win'}:"] + [
        f"  {kind}: {message}" for kind, message in zip(findings["kind"], findings["message"])]
    if checked.evaluation is not None and history_path is not None:
        per_rule = checked.evaluation.per_rule
        lines += ["", f"{shown(history_path)}: {summary_line(checked.evaluation.summary)}", ""]
        worst = worst_rules(per_rule)
        if worst:
            lines.append(f"Worst rules by precision (at least {MIN_HITS} hits):")
            cells = [[f"{r} {per_rule['pattern'][r]!r}: {visible(per_rule['category'][r])} / "
                      f"{visible(per_rule['merchant'][r])}", f"{per_rule['hits'][r]:,}",
                      f"{per_rule['correct'][r]:,}", ratio(per_rule["precision"][r])]
                     for r in worst]
            lines += [f"  {line}" for line in aligned(["Rule", "Hits", "Correct", "Precision"],
                                                      cells)]
        else:
            lines.append(f"No rule has {MIN_HITS} hits or more.")
    return "".join(line + "\n" for line in lines)


def run(args: argparse.Namespace) -> int:
    options.stdin_once("history", args.history, args.rules)
    inputs = [args.rules] + ([args.history] if args.history else [])
    page = (None if args.report is None
            else Target(args.report, reads=inputs, option="--report"))
    printed = Target("-", reads=inputs) if page is None or not page.to_stdout else None
    rules = read_rules(args.rules)
    history = (read_history(args.history, args.column, args.delimiter)
               if args.history else None)
    checked = Checked(rules, history)
    if page is not None:
        # Written before anything is printed: a page that cannot be written is the one
        # line of a failure, not the end of a report.
        from quorvane_cli import report  # html and pathlib load only for a page

        with page.open() as out:
            out.write(report.render(shown(args.rules), shown(args.history) if args.history
                                    else None, checked).encode("utf-8"))
    if printed is not None:
        with printed.open() as out:
            # A file name that is not UTF-8 is printed as the bytes it was given as.
            out.write(text(args.rules, args.history, checked).encode("utf-8", "surrogateescape"))
    return 1 if checked.findings["rule"] else 0
