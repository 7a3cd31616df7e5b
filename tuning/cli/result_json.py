"""Result files as the module entries write them: json.dumps(record, indent=4), keys in field order.

A record holding large numeric tables is written table by table: the general encoder spends longer on the
tables of a large set than the tool's whole run otherwise takes.
"""
import json
from typing import Any, Dict, Sequence


def with_tables(head: Dict[str, Any], tables: Sequence[Any]) -> str:
    """The text json.dumps(dict(head), indent=4) gives when head's last key is an empty list to be filled with
    tables (numpy arrays of two dimensions)."""
    text = json.dumps(head, indent=4)
    if not tables:
        return text
    import numpy as np

    # repr is the encoder's text for a finite real; only a table with NaN or infinity needs more.
    body = ",\n".join(_table_text(t.tolist(), " " * 8, repr if np.isfinite(t).all() else _number) for t in tables)
    return text[:-len("[]\n}")] + "[\n" + body + "\n    ]\n}"


def _table_text(rows, indent: str, number) -> str:
    inner = indent + "    "
    separator = ",\n" + inner + "    "
    lines = [inner + "[\n" + inner + "    " + separator.join(map(number, row)) + "\n" + inner + "]"
             for row in rows]
    return indent + "[\n" + ",\n".join(lines) + "\n" + indent + "]"


def _number(value: float) -> str:
    return repr(value) if value == value and value not in (float("inf"), float("-inf")) else json.dumps(value)
