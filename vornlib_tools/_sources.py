"""Where a table's rows come from, read only when a build asks for them: a few
columns at a time, in chunks of a bounded number of rows.

- In memory: a pandas DataFrame, a pyarrow Table or RecordBatch, or a
  mapping from column names to arrays. Chunks are slices of it.
- A DuckDB relation: each read is a query of the columns it needs, streamed
  as Arrow batches. The relation must give its rows in the same order every
  time it runs (a table or view, or a query with ORDER BY), as node i is its
  i-th row.
- Parquet: a path to a file or to a directory of files, or a
  pyarrow.dataset.Dataset; read by row group, in file order.
- An Arrow stream: a pyarrow.RecordBatchReader, or any other object with
  __arrow_c_stream__ (polars frames among them). A stream can be read only
  once, so the build copies it into an Arrow file in its working directory
  on first use and reads that, memory-mapped, as often as it needs.

Chunks hold columns in a form vornlib_tools._convert.values takes (numpy
arrays, pandas Series, pyarrow arrays).
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path

import numpy as np


class Source:
    """A table's columns by name, read whole (`column`) or in chunks (`chunks`)."""

    #: True when the rows are read from elsewhere rather than held in memory.
    lazy = False

    @property
    def column_names(self) -> list[str]:
        raise NotImplementedError

    @property
    def num_rows(self) -> int:
        raise NotImplementedError

    def column(self, name: str):
        """The whole column."""
        raise NotImplementedError

    def chunks(self, names: Sequence[str], rows: int) -> Iterator[tuple[int, dict]]:
        """(first row, {name: column chunk}) for consecutive chunks of at most `rows` rows."""
        raise NotImplementedError

    def head(self, names: Sequence[str], rows: int) -> dict:
        """The first rows of these columns (fewer if the table is shorter)."""
        for _, chunk in self.chunks(names, rows):
            return chunk
        return {name: chunk for name, chunk in self._empty(names).items()}

    def bytes_per_row(self, names: Sequence[str]) -> float:
        """About how many bytes a row of these columns takes in the source's form."""
        return 8.0 * max(len(names), 1)

    def open(self, directory: Path | None, memory: int) -> None:
        """Called by a build before it reads: directory is where it may keep
        files, memory what the reading itself may hold (bytes)."""

    def close(self) -> None:
        """Called by a build when it ends, in whatever way."""

    def _empty(self, names: Sequence[str]) -> dict:
        raise NotImplementedError


class FrameSource(Source):
    """A pandas DataFrame or a mapping of equally long arrays, held in memory."""

    def __init__(self, frame) -> None:
        self.frame = frame
        self._pandas = not isinstance(frame, dict)

    @property
    def column_names(self) -> list[str]:
        return [str(c) for c in (self.frame.columns if self._pandas else self.frame)]

    @property
    def num_rows(self) -> int:
        if self._pandas:
            return len(self.frame)
        return len(next(iter(self.frame.values()), ()))

    def column(self, name: str):
        return self.frame[name]

    def chunks(self, names: Sequence[str], rows: int) -> Iterator[tuple[int, dict]]:
        total = self.num_rows
        for begin in range(0, total, max(rows, 1)):
            end = min(begin + rows, total)
            if self._pandas:
                yield begin, {name: self.frame[name].iloc[begin:end] for name in names}
            else:
                yield begin, {name: self.frame[name][begin:end] for name in names}

    def _empty(self, names: Sequence[str]) -> dict:
        return {name: self.frame[name].iloc[:0] if self._pandas else self.frame[name][:0] for name in names}


class ArrowSource(Source):
    """Columns read as Arrow record batches from a stream that can be opened
    once per read: a pyarrow Table, a DuckDB relation, a Parquet dataset, an
    Arrow file."""

    def __init__(self, names: Sequence[str], open_reader, count, lazy: bool, schema=None, head=None) -> None:
        self._names = [str(n) for n in names]
        self._open = open_reader  # (names, rows) -> iterator of record batches
        self._head = head  # (names, rows) -> a pyarrow Table of the first rows, reading no further
        self._count = count
        self._rows: int | None = None
        self._schema = schema
        self.lazy = lazy

    @property
    def column_names(self) -> list[str]:
        return list(self._names)

    @property
    def num_rows(self) -> int:
        if self._rows is None:
            self._rows = int(self._count())
        return self._rows

    def column(self, name: str):
        import pyarrow as pa

        arrays = [chunk[name] for _, chunk in self.chunks([name], 1 << 22)]
        if not arrays:
            return self._empty([name])[name]
        return pa.chunked_array([a for chunked in arrays for a in chunked.chunks], type=arrays[0].type)

    def chunks(self, names: Sequence[str], rows: int) -> Iterator[tuple[int, dict]]:
        import pyarrow as pa

        names = list(names)
        rows = max(int(rows), 1)
        pending: list = []
        count, begin = 0, 0
        for batch in self._open(names, rows):
            while batch.num_rows:
                take = min(batch.num_rows, rows - count)
                pending.append(batch.slice(0, take))
                batch = batch.slice(take)
                count += take
                if count == rows:
                    yield begin, _columns(pa.Table.from_batches(pending), names)
                    begin, pending, count = begin + count, [], 0
        if count:
            yield begin, _columns(pa.Table.from_batches(pending), names)

    def head(self, names: Sequence[str], rows: int) -> dict:
        if self._head is None:
            return super().head(names, rows)
        return _columns(self._head(list(names), rows), names)

    def bytes_per_row(self, names: Sequence[str]) -> float:
        sample = self.head(names, 4096)
        rows = max(min((len(c) for c in sample.values()), default=0), 1)
        return max(sum(c.nbytes for c in sample.values()) / rows, 1.0)

    def _empty(self, names: Sequence[str]) -> dict:
        import pyarrow as pa

        schema = self._schema() if callable(self._schema) else self._schema
        if schema is None:
            return {name: pa.chunked_array([], pa.null()) for name in names}
        return {name: pa.chunked_array([], schema.field(name).type) for name in names}


def _columns(table, names: Sequence[str]) -> dict:
    return {name: table.column(name) for name in names}


class StreamSource(ArrowSource):
    """A one-shot Arrow stream, copied on first use into an Arrow file in the
    build's directory (or read into memory, for a build without one). The
    copy serves later builds too, for as long as the Table lives."""

    def __init__(self, stream) -> None:
        self._stream = stream
        self._table = None
        self._directory: Path | None = None
        super().__init__(self._stream_names(stream), self._read, lambda: self._materialised().num_rows, lazy=True,
                         schema=lambda: self._materialised().schema)

    @staticmethod
    def _stream_names(stream) -> list[str]:
        schema = getattr(stream, "schema", None)
        if schema is not None and hasattr(schema, "names"):
            return list(schema.names)
        if hasattr(stream, "columns"):  # polars and similar frames
            return [str(c) for c in stream.columns]
        return []

    def open(self, directory: Path | None, memory: int) -> None:
        self._directory = directory

    def _materialised(self):
        import pyarrow as pa
        import pyarrow.ipc as ipc

        if self._table is not None:
            return self._table
        reader = self._stream if isinstance(self._stream, pa.RecordBatchReader) else \
            pa.RecordBatchReader.from_stream(self._stream)
        self._stream = None
        if self._directory is None:
            self._table = reader.read_all()
        else:
            path = self._directory / f"stream-{id(self)}.arrow"
            with pa.OSFile(str(path), "wb") as sink, ipc.new_file(sink, reader.schema) as writer:
                for batch in reader:
                    writer.write_batch(batch)
            self._table = ipc.open_file(pa.memory_map(str(path), "r")).read_all()  # zero-copy: mapped
            os.unlink(path)  # the mapping keeps the pages; the name goes now
        if not self._names:
            self._names = list(self._table.column_names)
        return self._table

    def _read(self, names: Sequence[str], rows: int):
        return self._materialised().select(list(names)).to_batches(max_chunksize=rows)

    @property
    def column_names(self) -> list[str]:
        if not self._names:
            self._materialised()
        return list(self._names)


def source_of(frame) -> Source:
    """The source of what a Table was given (see the module's list)."""
    if isinstance(frame, Source):
        return frame
    if isinstance(frame, Mapping):
        columns = {str(name): np.asarray(values) for name, values in frame.items()}
        lengths = {name: len(values) for name, values in columns.items()}
        if len(set(lengths.values())) > 1:
            raise ValueError(f"the columns of a table have different lengths: {lengths}")
        return FrameSource(columns)
    module = type(frame).__module__.split(".")[0]
    if module == "pandas" and hasattr(frame, "columns"):
        import pandas as pd

        if not frame.index.equals(pd.RangeIndex(len(frame))):
            frame = frame.reset_index(drop=True)
        return FrameSource(frame)
    if module == "pyarrow":
        import pyarrow as pa

        if isinstance(frame, pa.RecordBatch):
            frame = pa.Table.from_batches([frame])
        if isinstance(frame, pa.Table):
            return ArrowSource(frame.column_names, lambda names, rows: frame.select(list(names))
                               .to_batches(max_chunksize=rows), lambda: frame.num_rows, lazy=False,
                               schema=frame.schema)
        if isinstance(frame, pa.RecordBatchReader):
            return StreamSource(frame)
        import pyarrow.dataset as ds

        if isinstance(frame, ds.Dataset):
            return DatasetSource(frame)
    if isinstance(frame, (str, os.PathLike)):
        import pyarrow.dataset as ds

        path = Path(frame)
        if not path.exists():
            raise ValueError(f"a table's frame {str(path)!r} is not a file or directory")
        return DatasetSource(ds.dataset(str(path), format="parquet"))
    if module == "duckdb" and hasattr(frame, "project") and hasattr(frame, "aggregate"):
        return DuckDBSource(frame)
    if hasattr(frame, "__arrow_c_stream__"):
        return StreamSource(frame)
    raise TypeError(f"a table's frame is a pandas DataFrame, a pyarrow Table, a DuckDB relation, a Parquet path or "
                    f"dataset, an Arrow stream (an object with __arrow_c_stream__) or a mapping of arrays, "
                    f"not a {type(frame).__name__}")


class DatasetSource(ArrowSource):
    """A pyarrow.dataset.Dataset (Parquet files among them), read in file and
    row group order, so that every read gives the rows alike."""

    def __init__(self, dataset) -> None:
        import pyarrow.dataset as ds

        self.dataset = dataset
        options = {"batch_readahead": 0, "fragment_readahead": 0}
        if isinstance(dataset, ds.FileSystemDataset) and isinstance(dataset.format, ds.ParquetFileFormat):
            # Not the whole file buffered ahead: a file can be larger than the memory a build may hold.
            options["fragment_scan_options"] = ds.ParquetFragmentScanOptions(pre_buffer=False)

        def read(names, rows):
            return dataset.scanner(columns=list(names), batch_size=rows, **options).to_batches()

        def head(names, rows):
            return dataset.scanner(columns=list(names), batch_size=max(rows, 1 << 16), **options).head(rows)

        super().__init__(dataset.schema.names, read, dataset.count_rows, lazy=True, schema=dataset.schema, head=head)


class DuckDBSource(ArrowSource):
    """A DuckDB relation. DuckDB keeps the blocks a query reads in its own
    memory, up to its connection's memory_limit (80% of the machine's by
    default), so a build gives the connection its own reading share of the
    build's limit while it reads, and then sets it back."""

    def __init__(self, relation) -> None:
        import pyarrow as pa

        self.relation = relation
        self._restore: str | None = None

        def read(names, rows):
            return pa.RecordBatchReader.from_stream(relation.project(_projection(names)))

        def count():
            return relation.aggregate("count(*)").fetchall()[0][0]

        def schema():
            return pa.RecordBatchReader.from_stream(relation.limit(0)).schema

        def head(names, rows):
            return pa.RecordBatchReader.from_stream(relation.project(_projection(names)).limit(rows)).read_all()

        super().__init__(relation.columns, read, count, lazy=True, schema=schema, head=head)

    def open(self, directory: Path | None, memory: int) -> None:
        self._restore = self._setting("SELECT current_setting('memory_limit')")[0][0]
        self._setting(f"SET memory_limit = '{int(memory)}B'")

    def close(self) -> None:
        if self._restore is not None:
            self._setting(f"SET memory_limit = '{self._restore}'")
            self._restore = None

    def _setting(self, statement: str):
        result = self.relation.query("_vornlib_setting", statement)
        return result.fetchall() if result is not None else None


def _projection(names: Sequence[str]) -> str:
    return ", ".join(_quoted(n) for n in names)


def _quoted(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'
