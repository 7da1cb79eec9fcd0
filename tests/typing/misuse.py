"""Uses of the quorvane stubs, checked by tests/python/test_typing.py with mypy --strict.

Each line marked `# E: text` must get an error whose message contains the text; every
other line must pass. Never run: type checking only."""

from typing import List, Optional

import quorvane
from quorvane import CategorizeRequest, EmiRequest, EmiResult, Rule

# ---------------------------------------------------------------- what must pass

rules: List[Rule] = [{"pattern": "zesto", "category": "Food", "merchant": "ZestoBites"}]
request: CategorizeRequest = {"data": [{"narration": "UPI/ZESTOBITES"}], "rules": rules}
entry = quorvane.categorize_transactions(request)["data"][0]
category: Optional[str] = entry["category"] if entry is not None else None
derived: List[Rule] = quorvane.derive_rules({"data": [
    {"narration": "zesto 1", "category": "Food", "merchant": "Z"}]})["rules"]
loan: EmiRequest = {"mode": "tenure", "loanAmount": 100000, "emi": 5000.5, "interestRate": 9}
result: EmiResult = quorvane.compute_emi(loan)
months: int = result["months"] + result["schedule"][0]["index"]
year: Optional[int] = result["schedule"][0].get("year")
text: str = quorvane.compute_emi_json('{"mode": "emi"}')
version: str = quorvane.__version__

# ---------------------------------------------------------------- what must fail

quorvane.compute_emi({"mode": "emi", "loanAmout": 1000, "months": 12, "interestRate": 9})  # E: "loanAmout"
quorvane.compute_emi({"mode": "annuity", "interestRate": 9})  # E: "mode"
quorvane.compute_emi({"mode": "emi", "loanAmount": 1000, "months": 12})  # E: "interestRate"
quorvane.compute_emi({"mode": "emi", "months": "12", "interestRate": 9})  # E: "months"
quorvane.compute_emi({"mode": "emi", "interestRate": 9, "inflationRate": None})  # E: "inflationRate"
quorvane.categorize_transactions({"data": [{"narative": "x"}], "rules": []})  # E: "narative"
quorvane.categorize_transactions({"data": [], "rules": [{"pattern": "x", "category": "c"}]})  # E: "merchant"
quorvane.categorize_transactions_json({"data": [], "rules": []})  # E: "categorize_transactions_json"
quorvane.derive_rules({"data": [{"narration": "x", "category": "c", "merchant": 1}]})  # E: "merchant"
quorvane.compute_emi(loan)["totals"]["nominalIntrest"]  # E: "nominalIntrest"
quorvane.compute_emi(loan)["schedule"][0]["principle"]  # E: "principle"
quorvane.categorize_transactions(request)["data"][0]["category"]  # E: None
bad_emi: str = result["emi"]  # E: incompatible types in assignment
quorvane.compute_emi(request=loan, extra=1)  # E: "extra"
quorvane.no_such_function()  # E: "no_such_function"
