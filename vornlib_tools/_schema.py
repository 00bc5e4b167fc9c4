"""Names: edge types, their keys, and the names a graph may use.

An edge type (source, relation, destination) is addressed in every
per-edge-type dict by its key, the three names joined by "__". A name that
itself contains "__" could make two triples share a key, so the toolkit
refuses such names wherever it takes them.
"""

from __future__ import annotations

from collections.abc import Iterable

EdgeType = tuple[str, str, str]

KEY_SEPARATOR = "__"


def edge_type_key(edge_type: Iterable[str]) -> str:
    """The string that addresses an edge type in every per-edge-type dict."""
    return KEY_SEPARATOR.join(edge_type)


def reverse_relation(relation: str) -> str:
    """The relation of a foreign key's reverse edge type, unless one is named."""
    return f"rev_{relation}"


def check_name(name: object, what: str) -> str:
    """name unchanged if it can be part of an edge type key; else ValueError naming `what`."""
    if not isinstance(name, str) or not name:
        raise ValueError(f"{what} must be a non-empty str, not {name!r}")
    if KEY_SEPARATOR in name:
        raise ValueError(f"{what} {name!r} contains {KEY_SEPARATOR!r}, which separates the parts of an "
                         f"edge type key: two edge types could then share a key")
    return name
