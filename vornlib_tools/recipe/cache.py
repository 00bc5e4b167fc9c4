"""When a graph directory built earlier may be reused: only if it was built
from the same declarations and the same data.

The fingerprint of a database holds, per table, every declaration of its
Table (keys, references, times, known_at, units, categorical, ignore), its
column names and dtypes, its row count and what can be told of its contents
without reading more than the table's memory holds:

- a table held in memory (pandas, a pyarrow Table, arrays): a digest of
  every value of every column;
- a table read lazily (vornlib_tools._sources) is not read whole, as it may
  be larger than memory: its dtypes come from its schema, its row count
  from its source (Parquet metadata, a count in DuckDB), and its contents
  stand for a digest of its first SAMPLE_ROWS rows plus, for files, each
  file's path, size and modification time. A DuckDB relation whose values
  change further down, its row count alike, is therefore not noticed: say
  so with Settings.fingerprint (a version);
- an Arrow stream can be read only once and only by the build, so nothing
  says its rows are those of the last build: a graph built from one is
  never reused.

The fingerprint is stored in the graph directory's metadata. A run whose
fingerprint differs rebuilds the graph and says which tables changed.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os

import numpy as np
import pandas as pd

from vornlib_tools._convert import values
from vornlib_tools._database import Database, Table
from vornlib_tools._graph import read_index
from vornlib_tools._sources import DatasetSource, StreamSource

# The key of graph.json under which the recipe records what the graph was built from.
METADATA_KEY = "recipe"
# The rows of a lazily read table whose values the fingerprint takes (a bounded read).
SAMPLE_ROWS = 4096
# The contents of a table read from an Arrow stream: never the same as before.
UNREAD_STREAM = "an Arrow stream, whose rows only a build reads"


def fingerprint(database: Database, **settings) -> dict:
    """{"tables": {name: the table's fingerprint}, **settings}, JSON-ready."""
    return _json({"tables": {name: table_fingerprint(table, name) for name, table in database.tables.items()},
                  **settings})


def table_fingerprint(table: Table, name: str = "") -> dict:
    declared = {key: _plain(value) for key, value in vars(table).items()
                if key not in ("frame", "column_names") and not key.startswith("_")}
    source = table.source
    if isinstance(source, StreamSource):
        return {"declared": declared, "columns": {column: None for column in table.column_names}, "rows": None,
                "contents": UNREAD_STREAM}
    if source.lazy:
        sample = source.head(table.column_names, SAMPLE_ROWS)
        columns = {column: _dtype(sample[column]) for column in table.column_names}
        digest = _digest(sample, name)
        if isinstance(source, DatasetSource):
            digest.update(_files_stamp(source.dataset))
        return {"declared": declared, "columns": columns, "rows": int(source.num_rows),
                "contents": digest.hexdigest()}
    whole = {column: table.column(column) for column in table.column_names}
    return {"declared": declared, "columns": {column: _dtype(data) for column, data in whole.items()},
            "rows": int(table.num_rows), "contents": _digest(whole, name).hexdigest()}


def _digest(columns: dict, name: str):
    digest = hashlib.sha256()
    for column, data in columns.items():
        digest.update(column.encode())
        digest.update(_column_digest(data, f"table {name!r}, column {column!r}"))
    return digest


def _files_stamp(dataset) -> bytes:
    """Each file's path, size and modification time (from the file system, not the file)."""
    files = list(getattr(dataset, "files", None) or [])
    if not files:
        return b""
    infos = dataset.filesystem.get_file_info(files)
    return json.dumps([[info.path, info.size, info.mtime_ns] for info in infos]).encode()


def recorded(directory: str | os.PathLike) -> dict | None:
    """The fingerprint a graph directory was built with, or None (no complete graph there)."""
    try:
        return read_index(directory).get(METADATA_KEY)
    except (OSError, ValueError):
        return None


def changes(directory: str | os.PathLike, wanted: dict) -> list[str] | None:
    """None if the directory holds a graph built from `wanted`; else what
    differs, in words (empty when there is no graph to compare with)."""
    found = recorded(directory)
    if found is None:
        return []
    tables, before = wanted.get("tables", {}), found.get("tables", {})
    streams = [f"table {name!r} is {UNREAD_STREAM}" for name, table in tables.items()
               if table.get("contents") == UNREAD_STREAM]
    if found == wanted and not streams:
        return None
    differences = streams + [f"table {name!r} is new" for name in tables if name not in before]
    differences += [f"table {name!r} is gone" for name in before if name not in tables]
    for name in tables:
        if name in before and tables[name] != before[name]:
            what = [part for part in ("declared", "columns", "rows", "contents")
                    if tables[name].get(part) != before[name].get(part)]
            differences.append(f"table {name!r}: {', '.join(what)} changed")
    differences += [f"{key} changed" for key in sorted(set(wanted) | set(found))
                    if key != "tables" and wanted.get(key) != found.get(key)]
    return differences


def _dtype(column) -> str:
    return str(getattr(column, "dtype", None) or getattr(column, "type", None) or np.asarray(column).dtype)


def _column_digest(column, where: str) -> bytes:
    """A digest of every value of a column, missing ones included."""
    try:
        array, missing = values(column, where)
    except ValueError:  # a type the graph leaves out: its values' text stands for them
        items = column.to_pylist() if hasattr(column, "to_pylist") else list(np.asarray(column, dtype=object))
        array, missing = np.array([repr(item) for item in items], dtype=object), None
    digest = hashlib.sha256(str(array.dtype).encode())
    if array.dtype.kind in "biufcmM":
        digest.update(np.ascontiguousarray(array).view(np.uint8).tobytes())
    else:  # text and other objects: pandas hashes them without a Python loop
        digest.update(pd.util.hash_array(array.astype(object), categorize=False).tobytes())
    if missing is not None:
        digest.update(np.packbits(missing).tobytes())
    return digest.digest()


def _plain(value):
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return _plain(dataclasses.asdict(value))
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _json(value) -> dict:
    """The form JSON gives back, so that a recorded fingerprint compares equal."""
    return json.loads(json.dumps(value, default=str))
