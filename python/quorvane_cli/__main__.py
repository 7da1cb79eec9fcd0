"""`python -m quorvane_cli`: the same as the `quorvane` command."""

from quorvane_cli import program

raise SystemExit(program())
