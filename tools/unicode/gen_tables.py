"""tools/unicode/gen_tables.py: build src/unicode/tables.inc from the Unicode Character Database.

Run by hand (never at build time), from anywhere:

    python3 tools/unicode/gen_tables.py [UCD_DIR] [--output FILE]

UCD_DIR defaults to /usr/share/unicode (Debian's unicode-data package). Only the UCD version
pinned in UCD_VERSION is accepted, checked against the '# Name-X.Y.Z.txt' stamp of each file
that has one; UnicodeData.txt has none, so it must agree with the stamped
DerivedGeneralCategory.txt on the category of every code point. Moving to a new version means
changing UCD_VERSION, regenerating and reviewing the diff. The output is byte-for-byte
deterministic.

Every code point gets one 32-bit record (see the RECORD_* constants); identical records are
shared, and a three-stage trie maps a code point to its record index. Before writing, the
generator decodes the compressed tables for every code point 0..0x10FFFF and compares the result
with the uncompressed data.
"""

import argparse
import os
import re
import sys
import tempfile
from pathlib import Path

UCD_VERSION = "15.0.0"
DEFAULT_UCD_DIR = "/usr/share/unicode"
DEFAULT_OUTPUT = Path(__file__).resolve().parents[2] / "src" / "unicode" / "tables.inc"

CODE_POINTS = 0x110000

# Record layout, written into tables.inc for classes.cpp to use. The four flag bits match the
# bit order of the test shim's qv_char_flags.
FLAG_ALNUM = 1 << 0
FLAG_PRINTABLE = 1 << 1
FLAG_CASED = 1 << 2
FLAG_CASE_IGNORABLE = 1 << 3
RECORD_LOWER_SEQ = 1 << 4  # lower-case mapping is a sequence in the pool, not a delta
RECORD_LOWER_LEN_SHIFT = 5  # 3 bits: sequence length when RECORD_LOWER_SEQ is set
RECORD_PAYLOAD_SHIFT = 8  # 24 bits: signed delta to the mapping, or pool offset
MAX_LOWER_LEN = 3  # detail::kMaxLowerLength in classes.h holds the same bound

NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
NUMBER_CATEGORIES = {"Nd", "Nl", "No"}

STAMP_RE = re.compile(r"^# ([A-Za-z]+)-(\d+\.\d+\.\d+)\.txt$")


class UcdError(Exception):
    """The UCD files are missing, of the wrong version or inconsistent."""


def check_stamp(path):
    """Refuse a UCD file whose '# Name-X.Y.Z.txt' header names another version."""
    with open(path, encoding="utf-8") as f:
        head = [f.readline().strip() for _ in range(5)]
    for line in head:
        m = STAMP_RE.match(line)
        if m:
            if m.group(1) != path.stem or m.group(2) != UCD_VERSION:
                raise UcdError(f"{path}: stamped '{line}', expected {path.stem}-{UCD_VERSION}")
            return
    raise UcdError(f"{path}: no version stamp in the first lines")


def read_ucd(path):
    """Yield (first, last, fields) for every data line of a UCD file.

    Handles '#' comments, ';'-separated fields, 'a..b' ranges and the '<Name, First>' /
    '<Name, Last>' line pairs that UnicodeData.txt uses for large ranges. fields[0] is the code
    point column as written; the remaining fields are stripped.
    """
    pending = None
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [field.strip() for field in line.split(";")]
            lo, _, hi = fields[0].partition("..")
            first = int(lo, 16)
            last = int(hi, 16) if hi else first
            if first > last or last >= CODE_POINTS:
                raise UcdError(f"{path}:{lineno}: bad code point range {fields[0]}")
            name = fields[1] if len(fields) > 1 else ""
            if name.endswith(", First>"):
                pending = (first, fields, name[: -len(", First>")])
                continue
            if name.endswith(", Last>"):
                if pending is None or pending[2] != name[: -len(", Last>")]:
                    raise UcdError(f"{path}:{lineno}: '{name}' without its First line")
                first, fields, _ = pending
                pending = None
            elif pending is not None:
                raise UcdError(f"{path}:{lineno}: First line of a range not followed by Last")
            yield first, last, fields
    if pending is not None:
        raise UcdError(f"{path}: unterminated First/Last range")


def parse_code_points(text):
    return tuple(int(part, 16) for part in text.split())


def load(ucd_dir):
    """Read the UCD and return per-code-point (flags, lower) lists, lower a tuple of code points."""
    files = {
        "unicode_data": ucd_dir / "UnicodeData.txt",
        "special_casing": ucd_dir / "SpecialCasing.txt",
        "core_properties": ucd_dir / "DerivedCoreProperties.txt",
        "general_category": ucd_dir / "extracted" / "DerivedGeneralCategory.txt",
    }
    for path in files.values():
        if not path.is_file():
            raise UcdError(f"missing UCD file {path}")
    for key in ("special_casing", "core_properties", "general_category"):
        check_stamp(files[key])

    category = ["Cn"] * CODE_POINTS
    for first, last, fields in read_ucd(files["general_category"]):
        category[first : last + 1] = [fields[1]] * (last - first + 1)

    # UnicodeData.txt carries no version stamp, so it must agree with the stamped category file
    # on every code point; a file from another version would differ in its assigned set.
    data_category = ["Cn"] * CODE_POINTS
    lower = [None] * CODE_POINTS
    for first, last, fields in read_ucd(files["unicode_data"]):
        data_category[first : last + 1] = [fields[2]] * (last - first + 1)
        if fields[13]:
            if first != last:
                raise UcdError(f"UnicodeData.txt: lower-case mapping on range {fields[0]}")
            lower[first] = parse_code_points(fields[13])
    if data_category != category:
        cp = next(i for i in range(CODE_POINTS) if data_category[i] != category[i])
        raise UcdError(
            f"UnicodeData.txt disagrees with DerivedGeneralCategory-{UCD_VERSION} at U+{cp:04X}"
        )

    # Conditional entries (a fifth field naming a language or a context such as Final_Sigma) are
    # left out: lower-casing is untailored, and Final_Sigma is handled in code.
    for first, _last, fields in read_ucd(files["special_casing"]):
        if len(fields) > 4 and fields[4]:
            continue
        lower[first] = parse_code_points(fields[1])

    wanted = {"Alphabetic": FLAG_ALNUM, "Cased": FLAG_CASED, "Case_Ignorable": FLAG_CASE_IGNORABLE}
    flags = [0] * CODE_POINTS
    seen = set()
    for first, last, fields in read_ucd(files["core_properties"]):
        bit = wanted.get(fields[1])
        if bit is not None:
            seen.add(fields[1])
            for cp in range(first, last + 1):
                flags[cp] |= bit
    if seen != set(wanted):
        raise UcdError(f"DerivedCoreProperties.txt lacks {sorted(set(wanted) - seen)}")

    for cp in range(CODE_POINTS):
        gc = category[cp]
        if gc in NUMBER_CATEGORIES:
            flags[cp] |= FLAG_ALNUM
        if gc not in NOT_PRINTABLE or cp == 0x20:
            flags[cp] |= FLAG_PRINTABLE
        if lower[cp] is None or lower[cp] == (cp,):
            lower[cp] = (cp,)
        elif not 1 <= len(lower[cp]) <= MAX_LOWER_LEN:
            raise UcdError(f"U+{cp:04X}: lower-case mapping longer than {MAX_LOWER_LEN}")
    return flags, lower


def encode_records(flags, lower):
    """Return (record per code point, pool of multi-code-point lower-case mappings)."""
    pool = []
    pool_offsets = {}
    records = []
    payload_limit = 1 << (31 - RECORD_PAYLOAD_SHIFT)
    for cp in range(CODE_POINTS):
        mapping = lower[cp]
        if len(mapping) == 1:
            payload = mapping[0] - cp
            if not -payload_limit <= payload < payload_limit:
                raise UcdError(f"U+{cp:04X}: lower-case delta {payload} does not fit a record")
            record = flags[cp] | ((payload << RECORD_PAYLOAD_SHIFT) & 0xFFFFFFFF)
        else:
            if mapping not in pool_offsets:
                pool_offsets[mapping] = len(pool)
                pool.extend(mapping)
            record = (
                flags[cp]
                | RECORD_LOWER_SEQ
                | (len(mapping) << RECORD_LOWER_LEN_SHIFT)
                | (pool_offsets[mapping] << RECORD_PAYLOAD_SHIFT)
            )
        records.append(record)
    return records, pool


def split_blocks(values, shift):
    """Share identical blocks of 2**shift values: return (index per block, concatenated blocks)."""
    size = 1 << shift
    index = []
    blocks = []
    seen = {}
    for start in range(0, len(values), size):
        block = tuple(values[start : start + size])
        if block not in seen:
            seen[block] = len(seen)
            blocks.extend(block)
        index.append(seen[block])
    return index, blocks


def element_bytes(values):
    top = max(values)
    return 1 if top < 1 << 8 else 2 if top < 1 << 16 else 4


def table_bytes(values):
    return len(values) * element_bytes(values)


def build_trie(record_ids):
    """Pick the smallest three-stage trie: stage1[cp >> (s2 + s3)] -> stage2 -> stage3 -> id.

    Ties go to the first candidate in a fixed order, so the choice is deterministic.
    """
    best = None
    for shift3 in range(3, 9):
        stage2_flat, stage3 = split_blocks(record_ids, shift3)
        for shift2 in range(2, 8):
            if (CODE_POINTS >> (shift2 + shift3)) << (shift2 + shift3) != CODE_POINTS:
                continue
            stage1, stage2 = split_blocks(stage2_flat, shift2)
            size = table_bytes(stage1) + table_bytes(stage2) + table_bytes(stage3)
            if best is None or size < best[0]:
                best = (size, shift2, shift3, stage1, stage2, stage3)
    return best[1:]


def verify(flags, lower, records, pool, record_ids, trie):
    """Decode every code point through the compressed tables and compare with the source data."""
    shift2, shift3, stage1, stage2, stage3 = trie
    unique = sorted(set(record_ids))
    assert unique == list(range(len(unique)))
    mask2 = (1 << shift2) - 1
    mask3 = (1 << shift3) - 1
    for cp in range(CODE_POINTS):
        block2 = stage1[cp >> (shift2 + shift3)]
        block3 = stage2[(block2 << shift2) | ((cp >> shift3) & mask2)]
        record = records[stage3[(block3 << shift3) | (cp & mask3)]]
        if record & 0xF != flags[cp]:
            raise UcdError(f"table check failed: flags of U+{cp:04X}")
        payload = record >> RECORD_PAYLOAD_SHIFT
        if record & RECORD_LOWER_SEQ:
            length = (record >> RECORD_LOWER_LEN_SHIFT) & 7
            mapping = tuple(pool[payload : payload + length])
        else:
            if payload & (1 << (31 - RECORD_PAYLOAD_SHIFT)):
                payload -= 1 << (32 - RECORD_PAYLOAD_SHIFT)
            mapping = (cp + payload,)
        if mapping != lower[cp]:
            raise UcdError(f"table check failed: lower-case mapping of U+{cp:04X}")


def c_type(values):
    return {1: "std::uint8_t", 2: "std::uint16_t", 4: "std::uint32_t"}[element_bytes(values)]


def c_array(name, ctype, values, fmt="{}"):
    lines = [f"constexpr {ctype} {name}[{len(values)}] = {{"]
    line = "   "
    for value in values:
        item = " " + fmt.format(value) + ","
        if len(line) + len(item) > 100:
            lines.append(line)
            line = "   "
        line += item
    lines.append(line)
    lines.append("};")
    return "\n".join(lines)


def emit(record_list, pool, trie):
    shift2, shift3, stage1, stage2, stage3 = trie
    data_bytes = (
        table_bytes(stage1)
        + table_bytes(stage2)
        + table_bytes(stage3)
        + 4 * len(record_list)
        + 4 * len(pool)
    )
    out = [
        f"// Generated by tools/unicode/gen_tables.py from UCD {UCD_VERSION}. Do not edit.",
        "//",
        "// Per-code-point record: bits 0-3 flags (alnum, printable, cased, case-ignorable);",
        "// bit 4 set: the lower-case mapping is pool[payload .. payload + len), len in bits 5-7;",
        "// bit 4 clear: the mapping is the code point plus payload. Payload: bits 8-31, signed.",
        "// Lookup, with S2 = kStage2Shift, S3 = kStage3Shift and Mn = (1 << Sn) - 1:",
        "//   b2 = kStage1[cp >> (S2 + S3)];  b3 = kStage2[b2 << S2 | (cp >> S3 & M2)];",
        "//   record = kRecords[kStage3[b3 << S3 | (cp & M3)]].",
        f"// Data: {data_bytes} bytes.",
        "",
        "#include <cstdint>",
        "",
        "namespace quorvane::unicode::tables {",
        "",
        "// clang-format off",
        f'constexpr char kUcdVersion[] = "{UCD_VERSION}";',
        "",
        f"constexpr std::uint32_t kFlagAlnum = 0x{FLAG_ALNUM:X};",
        f"constexpr std::uint32_t kFlagPrintable = 0x{FLAG_PRINTABLE:X};",
        f"constexpr std::uint32_t kFlagCased = 0x{FLAG_CASED:X};",
        f"constexpr std::uint32_t kFlagCaseIgnorable = 0x{FLAG_CASE_IGNORABLE:X};",
        f"constexpr std::uint32_t kLowerIsSequence = 0x{RECORD_LOWER_SEQ:X};",
        f"constexpr unsigned kLowerLengthShift = {RECORD_LOWER_LEN_SHIFT};",
        f"constexpr unsigned kPayloadShift = {RECORD_PAYLOAD_SHIFT};",
        f"constexpr unsigned kMaxLowerLength = {MAX_LOWER_LEN};",
        "",
        f"constexpr unsigned kStage2Shift = {shift2};",
        f"constexpr unsigned kStage3Shift = {shift3};",
        "",
        c_array("kRecords", "std::uint32_t", record_list, "0x{:08X}"),
        "",
        c_array("kLowerPool", "char32_t", pool or [0], "0x{:04X}"),  # C++ has no empty arrays
        "",
        c_array("kStage1", c_type(stage1), stage1),
        "",
        c_array("kStage2", c_type(stage2), stage2),
        "",
        c_array("kStage3", c_type(stage3), stage3),
        "// clang-format on",
        "",
        "}  // namespace quorvane::unicode::tables",
        "",
    ]
    return "\n".join(out), data_bytes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ucd_dir", nargs="?", default=DEFAULT_UCD_DIR, type=Path)
    parser.add_argument("--output", default=DEFAULT_OUTPUT, type=Path)
    args = parser.parse_args(argv)
    try:
        flags, lower = load(args.ucd_dir)
        records, pool = encode_records(flags, lower)
        record_list = list(dict.fromkeys(records))  # first-use order: deterministic
        record_index = {record: i for i, record in enumerate(record_list)}
        record_ids = [record_index[record] for record in records]
        trie = build_trie(record_ids)
        verify(flags, lower, record_list, pool, record_ids, trie)
        text, data_bytes = emit(record_list, pool, trie)
    except UcdError as err:
        print(f"gen_tables.py: {err}", file=sys.stderr)
        return 1
    args.output.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=args.output.parent, prefix=".tables.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.chmod(tmp, 0o644)  # mkstemp creates 0600
        os.replace(tmp, args.output)
    except BaseException:
        os.unlink(tmp)
        raise
    print(
        f"wrote {args.output}: {len(record_list)} records, {len(pool)} pool code points, "
        f"{data_bytes} bytes of table data"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
