#!/usr/bin/env python3
"""Write history.json: labelled bank-statement narrations for the rule-derivation demo.

The examples stand for six months of one account holder's past transactions
(April to September 2026), each labelled by hand with a category and a merchant.
They use the same merchants as statement.json, written the way banks write them:
UPI, POS, ECOM, NEFT, IMPS, ACH and bill-payment lines with reference numbers,
masked card and phone numbers, dates, branch codes and mixed letter case.

A few things are there on purpose, so that the demo shows how derivation behaves:

- two food-delivery apps, two cab services, several grocers and two fuel stations,
  so words such as "order", a payment app's handle ("okzen", "pnx") or a city name
  are shared by several merchants and make poor patterns;
- one retailer under two labels (Kartville for shopping, Kartville Fresh for
  groceries), so the brand alone only identifies the larger of the two;
- recurring account and policy numbers that change once (a second loan, a second
  phone), so the merchant's name rather than the number is the most typical word;
- generic narrations ("UPI payment", "POS purchase", ...) labelled with different
  categories, which must not produce a rule.

Standard library only, and deterministic: the same script always writes the same file.

    python examples/data/make_history.py [--output examples/data/history.json] [--seed 2026]
"""

import argparse
import json
import random
from pathlib import Path
from typing import Dict, List, Optional, Sequence

HERE = Path(__file__).resolve().parent

MONTHS = ("APR", "MAY", "JUN", "JUL", "AUG", "SEP")  # the six months the history covers
MONTH_NUMBERS = dict(zip(MONTHS, range(4, 10)))
CARD = "4821XXXXXXXX7731"
OTHER_CARD = "5312XXXXXXXX0466"
OWN_BRANCH = "KRBK0000123"
DAYS_IN_MONTH = {4: 30, 5: 31, 6: 30, 7: 31, 8: 31, 9: 30}


class Noise:
    """Random but reproducible details: reference numbers, dates, letter case."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng

    def digits(self, count: int) -> str:
        return str(self.rng.randrange(10 ** (count - 1), 10**count))

    def upi_ref(self) -> str:
        return "6" + self.digits(11)

    def code(self, length: int = 5) -> str:
        alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789"
        return "".join(self.rng.choice(alphabet) for _ in range(length))

    def month(self) -> str:
        return self.rng.choice(MONTHS)

    def date(self) -> str:
        month = self.rng.choice(MONTHS)
        return f"{self.rng.randint(1, 28):02d}-{MONTH_NUMBERS[month]:02d}-2026"

    def time(self) -> str:
        return f"{self.rng.randint(7, 22):02d}:{self.rng.randint(0, 59):02d}"

    def card(self) -> str:
        return CARD if self.rng.random() < 0.85 else OTHER_CARD

    def cased(self, text: str, upper: float = 0.6, title: float = 0.25) -> str:
        """Mostly upper case, as banks print it; sometimes title or lower case."""
        roll = self.rng.random()
        if roll < upper:
            return text.upper()
        if roll < upper + title:
            return text.title()
        return text.lower()

    def pick(self, *options: str) -> str:
        return self.rng.choice(options)


# ---------------------------------------------------------------- merchants
#
# Each entry: (category, merchant, number of examples, narration maker). A maker takes
# a Noise and the example's index within its merchant, and returns one narration; the
# index alternates details that must vary (a second policy, another phone number).


def salary(n: Noise, i: int) -> str:
    if n.rng.random() < 0.15:
        return (f"NEFT CR-{OWN_BRANCH}-TARANGINI SOFTLABS PVT LTD-PERF BONUS FY26-"
                f"KRBKN{n.digits(11)}")
    return (f"NEFT CR-{OWN_BRANCH}-TARANGINI SOFTLABS PVT LTD-SALARY {n.month()} 2026-"
            f"KRBKN{n.digits(11)}")


def rent(n: Noise, i: int) -> str:
    month = n.month()
    if n.rng.random() < 0.25:
        return f"IMPS/P2A/{n.upi_ref()}/MEERA IYER/XXXXXXX2231/rent {month.lower()}"
    return f"UPI/{n.upi_ref()}/RENT {month} 26/meera.iyer@okzen/Meera Iyer"


def kestrel(n: Noise, i: int) -> str:
    # The current home loan, and an earlier personal loan that closed in July.
    if i < 4:
        return f"ACH D- KESTREL FINANCE LTD-LN0039912207 EMI {n.rng.randint(31, 36)}/36"
    return f"ACH D- KESTREL FINANCE LTD-LN0045678912 EMI {n.rng.randint(1, 6):02d}/36"


def orbit(n: Noise, i: int) -> str:
    return f"ACH D- ORBIT FINANCE-CD{n.digits(8)} INST {n.rng.randint(1, 9)}/9"


def annapurna(n: Noise, i: int) -> str:
    if n.rng.random() < 0.2:
        return f"UPI/{n.upi_ref()}/groceries/annapurna.smart@okzen/ANNAPURNA SUPERMART"
    place = n.pick("BENGALURU", "Blr", "JAYANAGAR", "BANGALORE")
    return f"POS {n.card()} {n.cased('annapurna supermart')} {place}"


def freshbasket(n: Noise, i: int) -> str:
    if n.rng.random() < 0.7:
        note = n.pick("veggies", "fruits", "milk", "Order", "NA")
        return f"UPI/{n.upi_ref()}/{note}/freshbasket.blr@okzen/{n.cased('freshbasket daily')}"
    return f"ECOM {n.card()} FRESHBASKET*ORDER {n.digits(7)}"


def kartville_fresh(n: Noise, i: int) -> str:
    return f"ECOM {n.card()} {n.cased('kartville fresh', upper=0.8)} BENGALURU IN"


def kartville(n: Noise, i: int) -> str:
    roll = n.rng.random()
    if roll < 0.6:
        return f"ECOM {n.card()} KARTVILLE ONLINE BENGALURU IN"
    if roll < 0.85:
        return f"ECOM {n.card()} PG*KARTVILLE {n.digits(9)}"
    return f"UPI/{n.upi_ref()}/Order {n.digits(5)}/kartville.pay@qpay/KARTVILLE"


def provisions(n: Noise, i: int) -> str:
    return f"POS {n.card()} SRI LAKSHMI PROVISION STORES JAYANAGAR"


def shubh_kirana(n: Noise, i: int) -> str:
    note = n.pick("Groceries", "milk", "atta dal", "NA")
    name = "शुभ किराना भंडार" if i % 2 else "SHUBH KIRANA BHANDAR"
    return f"UPI/{n.upi_ref()}/{note}/shubh.kirana@okzen/{name}"


def zestobites(n: Noise, i: int) -> str:
    if n.rng.random() < 0.75:
        brand = n.pick("ZESTOBITES FOOD", "ZestoBites Food", "ZESTOBITES")
        return f"UPI/{n.upi_ref()}/Order {n.digits(5)}/zestobites@pnx/{brand}"
    return f"ECOM {n.card()} ZESTOBITES*ORDER {n.digits(6)} BENGALURU"


def tiffingo(n: Noise, i: int) -> str:
    if i % 3:
        return f"UPI/{n.upi_ref()}/Order {n.digits(5)}/tiffingo.pay@pnx/{n.cased('tiffingo')}"
    return f"ECOM {n.card()} PG*TIFFINGO {n.digits(6)} BENGALURU"


def cafe_etoile(n: Noise, i: int) -> str:
    return f"POS {n.card()} {n.cased('café étoile')} {('KORAMANGALA', 'INDIRANAGAR')[i % 2]}"


def taverna(n: Noise, i: int) -> str:
    # A holiday in Greece in September.
    return f"POS INTL {CARD} ΤΑΒΕΡΝΑ ΟΛΥΜΠΟΣ {n.pick('ATHINA', 'PIREAS')} GR"


def chalo(n: Noise, i: int) -> str:
    return f"UPI/{n.upi_ref()}/Ride {n.code()}/chalo.rides@pnx/ChaloRides"


def zipcab(n: Noise, i: int) -> str:
    if i % 5 < 3:
        return f"UPI/{n.upi_ref()}/Trip {n.code()}/zipcab@qpay/ZIPCAB TECHNOLOGIES"
    return f"ECOM {n.card()} ZIPCAB*TRIP {n.code(6)} BENGALURU IN"


def city_metro(n: Noise, i: int) -> str:
    if i % 5 < 3:
        return "METRO CARD TOPUP/CITY METRO RAIL/CARD 00423117"
    return f"UPI/{n.upi_ref()}/Metro recharge/citymetro@qpay/CITY METRO RAIL"


def ganesh_fuels(n: Noise, i: int) -> str:
    return f"POS {n.card()} {n.cased('shree ganesh fuels', upper=0.8)} HOSUR RD"


def highway_petro(n: Noise, i: int) -> str:
    return f"POS {n.card()} HIGHWAY PETRO SVC NH44 {('KRISHNAGIRI', 'HOSUR', 'ATTIBELE')[i % 3]}"


def suvidyut(n: Noise, i: int) -> str:
    month = n.month()
    if i % 3:
        return f"BILLPAY/SUVIDYUT POWER CO/CA 1100234567/{month}26"
    return f"UPI/{n.upi_ref()}/Electricity {month}/suvidyut.bill@qpay/SUVIDYUT POWER"


def linkstream(n: Noise, i: int) -> str:
    return f"SI-LINKSTREAM FIBRE BROADBAND-ACC 70022319-{n.month()}"


def vayufone(n: Noise, i: int) -> str:
    if i % 3 == 0:
        return f"UPI/{n.upi_ref()}/Recharge 98XXXXXX21/vayufone.rech@qpay/VAYUFONE MOBILE"
    if i % 3 == 1:
        return f"UPI/{n.upi_ref()}/Recharge 97XXXXXX08/vayufone.rech@qpay/VAYUFONE MOBILE"
    return f"BILLPAY/VAYUFONE POSTPAID/{n.digits(10)}/{n.month()}26"


def streamverse(n: Noise, i: int) -> str:
    return f"ECOM {n.card()} STREAMVERSE*MONTHLY PLAN MUMBAI"


def tunebox(n: Noise, i: int) -> str:
    if i % 2:
        return f"ECOM {n.card()} TUNEBOX PREMIUM INDIVIDUAL"
    return f"UPI/{n.upi_ref()}/Autopay {n.month()}/tunebox@pnx/TuneBox Music"


def suraksha(n: Noise, i: int) -> str:
    policy = "310078265" if i % 3 == 2 else "300044512"
    return f"ACH D- SURAKSHA LIFE INSURANCE-POL {policy} PREMIUM"


def healthshield(n: Noise, i: int) -> str:
    if i % 2:
        return "NACH DR/HEALTHSHIELD GENERAL INS/POL HS-22019845"
    return f"ECOM {n.card()} HEALTHSHIELD GENERAL INSURANCE RENEWAL"


def atm(n: Noise, i: int) -> str:
    place = n.pick("MG ROAD BLR", "INDIRANAGAR 100FT RD", "JAYANAGAR 4TH BLK", "HOSUR RD")
    return f"ATM WDL/ATM {n.digits(5)}/{place}/{n.date()} {n.time()}"


def interest(n: Noise, i: int) -> str:
    month = MONTH_NUMBERS[n.month()]
    return f"INT.PD:01-{month:02d}-2026 TO {DAYS_IN_MONTH[month]}-{month:02d}-2026"


def sms_alerts(n: Noise, i: int) -> str:
    quarter = n.pick("JAN-MAR", "APR-JUN")
    return f"SMS ALERT CHRGS {quarter} 2026 INCL GST"


def forex_markup(n: Noise, i: int) -> str:
    return f"INTL TXN MARKUP FEE 3.5% + GST REF {n.digits(7)}"


def card_fees(n: Noise, i: int) -> str:
    return f"DEBIT CARD ANNUAL FEE {n.pick(CARD, OTHER_CARD)} + GST"


def household(n: Noise, i: int) -> str:
    return f"NEFT DR-{OWN_BRANCH}-SUNITA SHARMA-HOUSEHOLD EXP-KRBKN{n.digits(11)}"


def zenith(n: Noise, i: int) -> str:
    if i % 2:
        return f"ECOM {n.card()} PG*ZENITH TRAVELS BOOKING"
    return f"UPI/{n.upi_ref()}/Tickets/zenithtravels@qpay/ZENITH TRAVELS"


def cheque_deposit(n: Noise, i: int) -> str:
    return f"CHQ DEP/{n.digits(6)}/CLG/BLR-CTS/{n.pick('ANIL MEHTA', 'R K TRADERS', 'LATA RAO')}"


def cash_deposit(n: Noise, i: int) -> str:
    return f"CASH DEP/SELF/CDM {n.digits(5)}/{('JAYANAGAR 4TH BLK', 'MG ROAD BLR')[i % 2]}"


def blue_lotus(n: Noise, i: int) -> str:
    name = ("blue lotus book house", "blue lotus books")[i % 2]
    return f"POS {n.card()} {n.cased(name)} {n.pick('KORAMANGALA', 'JAYANAGAR')}"


FRIENDS = (
    ("rahul.kapoor@okzen", "RAHUL KAPOOR"), ("priya.nair99@qpay", "PRIYA NAIR"),
    ("arjun.m@pnx", "ARJUN MENON"), ("deepa.s@okzen", "DEEPA SUBRAMANIAM"),
)


def friends(n: Noise, i: int) -> str:
    handle, name = n.rng.choice(FRIENDS)
    note = n.pick("dinner split", "movie", "trip share", "gift", "NA", "thanks")
    if n.rng.random() < 0.3:
        return f"IMPS/P2A/{n.upi_ref()}/{name}/XXXXXXX{n.digits(4)}/{note}"
    return f"UPI/{n.upi_ref()}/{note}/{handle}/{n.cased(name.lower(), upper=0.5, title=0.5)}"


MERCHANTS = (
    ("Salary", "Tarangini Softlabs", 8, salary),
    ("Rent", "Meera Iyer (landlord)", 8, rent),
    ("Loan EMI", "Kestrel Finance", 10, kestrel),
    ("Loan EMI", "Orbit Finance", 5, orbit),
    ("Groceries", "Annapurna Supermart", 22, annapurna),
    ("Groceries", "FreshBasket", 20, freshbasket),
    ("Groceries", "Kartville Fresh", 5, kartville_fresh),
    ("Groceries", "Sri Lakshmi Provisions", 8, provisions),
    ("Groceries", "शुभ किराना (Shubh Kirana)", 14, shubh_kirana),
    ("Shopping", "Kartville", 24, kartville),
    ("Shopping", "Blue Lotus Book House", 3, blue_lotus),
    ("Food & Dining", "ZestoBites", 30, zestobites),
    ("Food & Dining", "TiffinGo", 18, tiffingo),
    ("Food & Dining", "Café Étoile", 8, cafe_etoile),
    ("Food & Dining", "Ταβέρνα Όλυμπος, Athens", 2, taverna),
    ("Transport", "ChaloRides", 26, chalo),
    ("Transport", "ZipCab", 16, zipcab),
    ("Transport", "City Metro", 8, city_metro),
    ("Fuel", "Shree Ganesh Fuels", 10, ganesh_fuels),
    ("Fuel", "Highway Petro Services", 5, highway_petro),
    ("Utilities", "Suvidyut Power", 6, suvidyut),
    ("Utilities", "LinkStream Fibre", 6, linkstream),
    ("Utilities", "VayuFone Mobile", 8, vayufone),
    ("Subscriptions", "StreamVerse", 6, streamverse),
    ("Subscriptions", "TuneBox", 6, tunebox),
    ("Insurance", "Suraksha Life", 4, suraksha),
    ("Insurance", "HealthShield General", 3, healthshield),
    ("Cash", "ATM withdrawal", 12, atm),
    ("Interest", "Savings interest", 6, interest),
    ("Bank charges", "SMS alerts", 2, sms_alerts),
    ("Bank charges", "Forex markup", 4, forex_markup),
    ("Bank charges", "Card fees", 2, card_fees),
    ("Household", "Sunita Sharma", 6, household),
    ("Travel", "Zenith Travels", 4, zenith),
    ("Deposits", "Cheque deposit", 3, cheque_deposit),
    ("Deposits", "Cash deposit", 3, cash_deposit),
    ("Transfers", "Friends", 16, friends),
)

# Narrations that say nothing about the merchant, labelled from memory with different
# categories. Each phrase lands in more than one of these groups, so no word is typical
# of any of them and they get no rule.
GENERIC_PHRASES = (
    "UPI payment", "UPI PAYMENT", "Payment via UPI", "Paid via UPI", "POS purchase",
    "POS PURCHASE", "Card purchase", "Online payment",
)
GENERIC_LABELS = (
    ("Food & Dining", "Street food"),
    ("Shopping", "Local shops"),
    ("Personal care", "Salon"),
)
GENERIC_COPIES = 2  # each phrase, each copy to the next label in turn


def build(seed: int) -> List[Dict[str, str]]:
    rng = random.Random(seed)
    noise = Noise(rng)
    examples = []
    for category, merchant, count, make in MERCHANTS:
        for index in range(count):
            narration = make(noise, index)
            examples.append({"narration": narration, "category": category, "merchant": merchant})
    turn = 0
    for phrase in GENERIC_PHRASES:
        for _ in range(GENERIC_COPIES):
            category, merchant = GENERIC_LABELS[turn % len(GENERIC_LABELS)]
            examples.append({"narration": phrase, "category": category, "merchant": merchant})
            turn += 1
    rng.shuffle(examples)
    return examples


def dump(examples: List[Dict[str, str]]) -> str:
    """One example a line, like statement.json, with non-ASCII text as is."""
    lines = [json.dumps(example, ensure_ascii=False) for example in examples]
    return '{\n  "data": [\n    ' + ",\n    ".join(lines) + "\n  ]\n}\n"


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output", type=Path, default=HERE / "history.json")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args(argv)

    examples = build(args.seed)
    text = dump(examples)
    args.output.write_text(text, encoding="utf-8")
    pairs = {(e["category"], e["merchant"]) for e in examples}
    print(f"wrote {args.output}: {len(examples)} examples, {len(pairs)} (category, merchant) "
          f"pairs, {len(text.encode('utf-8')):,} bytes")


if __name__ == "__main__":
    main()
