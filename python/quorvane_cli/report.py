"""quorvane_cli.report: the HTML page of `quorvane check --report`, written from the
template report.html: one self-contained file, readable without scripts or network, its
charts inline SVG."""

from __future__ import annotations

import html
import os
import string
from pathlib import Path
from typing import TYPE_CHECKING, AbstractSet, Any, Dict, List, Optional, Sequence

from quorvane_cli.text import ratio

if TYPE_CHECKING:
    from quorvane_cli.check import Checked

Columns = Dict[str, List[Any]]

TEMPLATE = Path(__file__).with_name("report.html")

# Bar colours that stay apart in grey print: a dark and a light one.
RECALL_COLOUR = "#2b5c8a"
PRECISION_COLOUR = "#9cc3e4"
WRONG_COLOUR = "#d98c6a"
UNMATCHED_COLOUR = "#d9d9d9"


# An HTML parser drops a NUL from text (and reads it as U+FFFD inside SVG) and reads a CR as
# a line feed; a CR written as a character reference stays a CR.
_UNPARSED = str.maketrans({"\0": "\ufffd", "\r": "&#13;"})


def esc(value: object) -> str:
    return html.escape(str(value), quote=True).translate(_UNPARSED)


def file_name(path: str) -> str:
    """A path as the page names it: bytes of the name that are not UTF-8 (held in the
    argument as surrogates) as \\x escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def count(value: int) -> str:
    return f"{value:,}"


def share(value: Optional[float]) -> str:
    """A ratio as the page shows it: a percentage with one decimal, or n/a."""
    return esc(ratio(value))


def table(titles: Sequence[str], kinds: str, rows: Sequence[Sequence[str]], ident: str,
          flagged: AbstractSet[int] = frozenset()) -> str:
    """An HTML table of escaped cells. `kinds` has a letter per column: n (a number, to
    the right), t (text that may wrap anywhere) or k (a short key, kept on one line)."""
    classes = {"n": ' class="n"', "t": ' class="text"', "k": ' class="key"'}
    head = "".join(f"<th{classes[k] if k == 'n' else ''}>{esc(t)}</th>"
                   for t, k in zip(titles, kinds))
    body = []
    for r, row in enumerate(rows):
        mark = ' class="flagged"' if r in flagged else ""
        body.append(f"<tr{mark}>" + "".join(f"<td{classes[k]}>{cell}</td>"
                                            for cell, k in zip(row, kinds)) + "</tr>")
    return (f'<table id="{ident}">\n<thead><tr>{head}</tr></thead>\n<tbody>\n'
            + "\n".join(body) + "\n</tbody>\n</table>")


def none(text: str) -> str:
    return f'<p class="none">{esc(text)}</p>'


# ---------------------------------------------------------------- charts


def category_chart(per_category: Columns) -> str:
    """Two bars per category, recall and precision, on a 0-100% scale."""
    label_width, bar_width, value_width, pitch = 190, 380, 60, 34
    categories = per_category["category"]
    height = 56 + pitch * len(categories)
    width = label_width + bar_width + value_width
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" role="img" id="category-chart" '
             f'viewBox="0 0 {width} {height}" width="{width}" height="{height}">',
             "<title>Recall and precision by category</title>"]
    # Legend, then a light rule at every quarter.
    parts.append(f'<rect x="{label_width}" y="6" width="12" height="12" fill="{RECALL_COLOUR}"/>'
                 f'<text x="{label_width + 18}" y="16">recall</text>'
                 f'<rect x="{label_width + 90}" y="6" width="12" height="12" '
                 f'fill="{PRECISION_COLOUR}" stroke="#555" stroke-width="0.5"/>'
                 f'<text x="{label_width + 108}" y="16">precision</text>')
    for q in range(5):
        x = label_width + bar_width * q / 4
        parts.append(f'<line x1="{x:.1f}" y1="28" x2="{x:.1f}" y2="{height - 18}" '
                     f'stroke="#ccc" stroke-width="1"/><text x="{x:.1f}" y="{height - 4}" '
                     f'text-anchor="middle">{25 * q}%</text>')
    for k, name in enumerate(categories):
        y = 34 + pitch * k
        shown = name if len(name) <= 28 else name[:27] + "\u2026"
        parts.append(f'<text x="{label_width - 8}" y="{y + 17}" text-anchor="end">'
                     f"<title>{esc(name)}</title>{esc(shown)}</text>")
        for j, (field, colour) in enumerate((("recall", RECALL_COLOUR),
                                             ("precision", PRECISION_COLOUR))):
            value = per_category[field][k]
            top = y + 3 + 13 * j
            if value is not None:
                parts.append(f'<rect x="{label_width}" y="{top}" width="{bar_width * value:.1f}" '
                             f'height="11" fill="{colour}" stroke="#555" stroke-width="0.5"/>')
            parts.append(f'<text x="{label_width + bar_width + 6}" y="{top + 10}">'
                         f"{share(value)}</text>")
    parts.append("</svg>")
    return "\n".join(parts)


def rows_chart(summary: Columns) -> str:
    """One bar split into the rows labelled right, labelled wrong and left unmatched."""
    rows, matched, correct = (summary[name][0] for name in ("rows", "matched", "correct"))
    width, bar = 640, 600
    pieces = [("labelled right", correct, RECALL_COLOUR), ("labelled wrong", matched - correct,
                                                           WRONG_COLOUR),
              ("unmatched", rows - matched, UNMATCHED_COLOUR)]
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" role="img" id="rows-chart" '
             f'viewBox="0 0 {width} 64" width="{width}" height="64">',
             "<title>Rows labelled right, labelled wrong and unmatched</title>"]
    x = 0.0
    for k, (name, value, colour) in enumerate(pieces):
        size = bar * value / rows if rows else 0.0
        parts.append(f'<rect x="{x:.1f}" y="4" width="{size:.1f}" height="22" fill="{colour}" '
                     f'stroke="#555" stroke-width="0.5"/>')
        x += size
        lx = 200 * k
        parts.append(f'<rect x="{lx}" y="38" width="12" height="12" fill="{colour}" '
                     f'stroke="#555" stroke-width="0.5"/><text x="{lx + 18}" y="48">'
                     f"{esc(name)}: {count(value)}</text>")
    parts.append("</svg>")
    return "\n".join(parts)


# ---------------------------------------------------------------- sections


def summary_section(summary: Columns) -> str:
    figures = [("Rows", count(summary["rows"][0])), ("Matched", count(summary["matched"][0])),
               ("Correct", count(summary["correct"][0])),
               ("Coverage", share(summary["coverage"][0])),
               ("Accuracy", share(summary["accuracy"][0])),
               ("Precision", share(summary["precision"][0])),
               ("Macro F1", esc(ratio(summary["macro_f1"][0], 3, percent=False)))]
    items = "\n".join(f"<dt>{esc(name)}</dt><dd>{value}</dd>" for name, value in figures)
    return f'<dl class="figures" id="summary">\n{items}\n</dl>\n{rows_chart(summary)}'


def category_table(per_category: Columns) -> str:
    rows = [[esc(per_category["category"][k]), count(per_category["support"][k]),
             count(per_category["predicted"][k]), count(per_category["correct"][k]),
             share(per_category["precision"][k]), share(per_category["recall"][k]),
             share(per_category["f1"][k])] for k in range(len(per_category["category"]))]
    return table(["Category", "Labelled", "Predicted", "Correct", "Precision", "Recall", "F1"],
                 "tnnnnnn", rows, "per-category")


def rule_table(per_rule: Columns, figures: bool, flagged: AbstractSet[int]) -> str:
    """Every rule; with `figures`, its hits, correct rows and precision on the history."""
    titles = ["Rule", "Pattern", "Category", "Merchant"]
    rows = [[str(r), esc(per_rule["pattern"][r]), esc(per_rule["category"][r]),
             esc(per_rule["merchant"][r])] for r in range(len(per_rule["rule"]))]
    if not figures:
        return table(titles, "nttt", rows, "per-rule", flagged)
    for r, row in enumerate(rows):
        row += [count(per_rule["hits"][r]), count(per_rule["correct"][r]),
                share(per_rule["precision"][r])]
    return table(titles + ["Hits", "Correct", "Precision"], "ntttnnn", rows, "per-rule",
                 flagged)


def findings_section(findings: Columns) -> str:
    if not findings["rule"]:
        return none("Every rule can win.")
    rows = [[str(r), esc(kind), str(by), esc(message)] for r, kind, by, message in
            zip(findings["rule"], findings["kind"], findings["by"], findings["message"])]
    return table(["Rule", "Kind", "By", "Why"], "nknt", rows, "findings")


def unmatched_section(groups: Columns, unmatched: int) -> str:
    """The largest groups of the `unmatched` narrations, and how many are in those left out."""
    if not groups["word"]:
        return none("Every narration is matched by a rule.")
    rows = []
    for word, n, examples in zip(groups["word"], groups["count"], groups["examples"]):
        items = "".join(f"<li>{esc(e)}</li>" for e in examples)
        rows.append(['<span class="none">no word</span>' if word is None else esc(word),
                     count(n), f'<ul class="examples">{items}</ul>'])
    section = table(["Word", "Narrations", "Examples"], "knt", rows, "unmatched")
    rest = unmatched - sum(groups["count"])
    if rest > 0:
        section += "\n" + none(f"{count(rest)} more unmatched "
                               f"{'narration is' if rest == 1 else 'narrations are'} in smaller "
                               "groups, not shown.")
    return section


def render(rules_name: str, history_name: Optional[str], checked: Checked) -> str:
    """The page: the rules and the findings always; the figures, the charts and the
    unmatched groups when a labelled history was checked."""
    no_history = none("No labelled history was given: run quorvane check --rules RULES "
                      "HISTORY.csv --report ... for these figures.")
    flagged = set(checked.findings["rule"])
    fields = {
        "rules_name": esc(file_name(rules_name)),
        "history_note": "" if history_name is None
        else f", labelled history: <code>{esc(file_name(history_name))}</code>",
        "summary": no_history, "category_chart": "", "category_table": "",
        "unmatched": no_history, "findings": findings_section(checked.findings),
        "rule_table": rule_table(checked.per_rule, False, flagged),
    }
    evaluation = checked.evaluation
    if evaluation is not None:
        fields["summary"] = summary_section(evaluation.summary)
        if evaluation.per_category["category"]:
            fields["category_chart"] = category_chart(evaluation.per_category)
            fields["category_table"] = category_table(evaluation.per_category)
        else:
            fields["category_chart"] = none("The history has no rows.")
        fields["rule_table"] = rule_table(evaluation.per_rule, True, flagged)
        summary = evaluation.summary
        fields["unmatched"] = unmatched_section(checked.groups or {"word": []},
                                                summary["rows"][0] - summary["matched"][0])
    return string.Template(TEMPLATE.read_text(encoding="utf-8")).substitute(fields)
