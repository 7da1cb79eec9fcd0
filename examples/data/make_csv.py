#!/usr/bin/env python3
"""Write the CSV forms of the bundled samples, for the command-line examples.

    statement.csv   date, narration, amount    (from statement.json)
    rules.csv       pattern, category, merchant (from rules.json)
    history.csv     narration, category, merchant (from history.json)

Standard library only, and deterministic: python examples/data/make_csv.py
"""

import csv
import json
from pathlib import Path
from typing import Any, Dict, List, Sequence

HERE = Path(__file__).resolve().parent


def records(name: str, key: str) -> List[Dict[str, Any]]:
    with open(HERE / name, encoding="utf-8") as f:
        value: List[Dict[str, Any]] = json.load(f)[key]
        return value


def write(name: str, columns: Sequence[str], rows: List[Dict[str, Any]]) -> None:
    with open(HERE / name, "w", encoding="utf-8", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(columns)
        for row in rows:
            writer.writerow([f"{row[c]:.2f}" if c == "amount" else row[c] for c in columns])


def main() -> None:
    write("statement.csv", ("date", "narration", "amount"), records("statement.json", "data"))
    write("rules.csv", ("pattern", "category", "merchant"), records("rules.json", "rules"))
    write("history.csv", ("narration", "category", "merchant"), records("history.json", "data"))


if __name__ == "__main__":
    main()
