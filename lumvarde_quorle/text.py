"""File names and messages as they can be shown to people, on a terminal or in a page: control characters
and the bytes of names that are not UTF-8 written as escapes."""

from __future__ import annotations

import re

__all__ = ["escape_character", "shown"]

# C0 and C1 controls and DEL, which a terminal obeys (ESC starts a command, BEL rings), and the lone
# surrogates by which Python carries the bytes of a file name that is not UTF-8.
_UNSHOWABLE = re.compile(r"[\x00-\x1f\x7f-\x9f\ud800-\udfff]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def escape_character(character: str) -> str:
    code = ord(character)
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a name that is not UTF-8, shown as that byte
        return f"\\x{code - 0xDC00:02x}"
    return _NAMED.get(character) or (f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")


def shown(text: str) -> str:
    """`text` (a file name, a message holding one) as it can be shown: control characters and the bytes of
    names that are not UTF-8 written as escapes (\\x1b, \\n, \\xff), the rest as it is."""
    return _UNSHOWABLE.sub(lambda found: escape_character(found.group()), text)
