# quorvane-stubs/__init__.pyi: the types of the quorvane extension module, for editors and
# type checkers. The module itself is native; these shapes exist only for type checking
# (import them under `if TYPE_CHECKING:`).
#
# Units: rates are annual percentages (8.5 means 8.5% a year); amounts in results are whole
# currency units; a month is "YYYY-MM" text. Keys outside these shapes are ignored by the
# module, and reported by type checkers.

from typing import Literal, Sequence

from typing_extensions import NotRequired, TypedDict

__version__: str
__all__ = [
    "__version__",
    "compute_emi",
    "compute_emi_json",
    "categorize_transactions",
    "categorize_transactions_json",
    "derive_rules",
    "derive_rules_json",
]

# ---------------------------------------------------------------- categorisation

class Rule(TypedDict):
    """A narration containing `pattern` (letter case ignored) gets the category and merchant."""

    pattern: str
    category: str
    merchant: str

class Transaction(TypedDict):
    narration: str

class CategorizeRequest(TypedDict):
    """Transactions in any order, rules in priority order: the first rule that matches wins."""

    data: Sequence[Transaction]
    rules: Sequence[Rule]

class Category(TypedDict):
    category: str
    merchant: str

class CategorizeResult(TypedDict):
    """One entry per transaction, in order; None where no rule matched."""

    data: list[Category | None]

# ---------------------------------------------------------------- rule derivation

class LabelledTransaction(TypedDict):
    narration: str
    category: str
    merchant: str

class DeriveRequest(TypedDict):
    data: Sequence[LabelledTransaction]

class DeriveResult(TypedDict):
    """At most one rule per (category, merchant), sorted by category then merchant."""

    rules: list[Rule]

# ---------------------------------------------------------------- loan instalments

EmiMode = Literal["emi", "tenure", "loanAmount"]

class EmiRequest(TypedDict):
    """A loan. `mode` names what to solve for; the other two of loanAmount, emi and months
    must be given: "emi" needs loanAmount and months, "tenure" loanAmount and emi,
    "loanAmount" emi and months."""

    mode: EmiMode
    loanAmount: NotRequired[float | None]
    emi: NotRequired[float | None]
    months: NotRequired[int | None]
    interestRate: float  # annual, in percent
    inflationRate: NotRequired[float]  # annual, in percent; 0 when absent
    start: NotRequired[str | None]  # "YYYY-MM", the month of the first instalment

class EmiTotals(TypedDict):
    """Sums over the schedule; real amounts are in money of the first month."""

    nominalPaid: int
    realPaid: int
    nominalPrincipal: int
    nominalInterest: int
    realPrincipal: int
    realInterest: int  # negative when inflation outweighs interest

class EmiMonth(TypedDict):
    """One instalment. `year` and `month` (1 to 12) are present when the request had a start."""

    index: int  # from 0
    year: NotRequired[int]
    month: NotRequired[int]
    emi: int
    principal: int
    interest: int
    outstanding: int  # after this instalment
    realEmi: int
    realPrincipal: int
    realInterest: int
    remainingEmi: int  # instalments still to pay after this one
    realRemainingEmi: int

class EmiYearMonth(TypedDict):
    nominal: int
    real: int

class EmiYear(TypedDict):
    """A calendar year: `months` has 12 slots, January first, None where nothing was paid."""

    year: int
    months: list[EmiYearMonth | None]
    nominalTotal: int
    realTotal: int
    closingOutstanding: int

class EmiResult(TypedDict):
    """The solved loan: whole currency units, with the rates and start as given."""

    mode: EmiMode
    loanAmount: int
    emi: int
    months: int
    interestRate: float
    inflationRate: float
    start: NotRequired[str]
    totals: EmiTotals
    schedule: list[EmiMonth]
    years: list[EmiYear]  # empty without a start

# ---------------------------------------------------------------- functions

def categorize_transactions(request: CategorizeRequest) -> CategorizeResult:
    """Categorise each transaction by the first rule whose pattern occurs in its narration,
    letter case ignored. ValueError for a request that does not read."""

def categorize_transactions_json(request_json: str) -> str:
    """categorize_transactions with the request and the result as JSON text; a rule or a
    transaction may also be an array of its field values in order."""

def derive_rules(request: DeriveRequest) -> DeriveResult:
    """Learn at most one rule per (category, merchant) pair from labelled examples, in the
    form categorize_transactions takes."""

def derive_rules_json(request_json: str) -> str:
    """derive_rules with the request and the result as JSON text."""

def compute_emi(request: EmiRequest) -> EmiResult:
    """Solve a loan for its monthly instalment, tenure or amount and build its monthly
    schedule in whole currency units (rates: annual percent; start: "YYYY-MM").
    ValueError for a loan the engine rejects, e.g. one whose instalment never repays it."""

def compute_emi_json(request_json: str) -> str:
    """compute_emi with the request and the result as JSON text."""
