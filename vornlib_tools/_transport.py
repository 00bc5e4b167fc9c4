"""Moving a Batch from a sampling worker to the training process through shared memory.

Pickling a large batch costs the training process as much time as sampling it
costs the worker: unpickling copies every array once more. Instead, the worker
puts the batch's arrays in an anonymous memory file (memfd) it keeps mapped,
sends a small description (field, dtype, shape, offset) over a Unix socket,
and passes the file descriptor itself alongside (SCM_RIGHTS). The receiver
maps the file and closes the descriptor, and builds its arrays directly on the
mapping: receiving is a system call and a few numpy views, whatever the
batch's size, and a batch kept holds no descriptor (the mappings are made
without the duplicate descriptor Python's mmap keeps by default, which a
process keeping a thousand batches runs out of).

Nobody names or unlinks anything. A worker keeps a few memory files of its
own (an `Outbox`) and writes each batch into one the receiver has given back:
the pages it wrote the last time are still there, so neither side allocates,
zeroes or frees memory per batch. The file is taken before the batch is made
(a `BatchWriter`), and the arrays the batch derives from sample()'s result
are computed straight into it: only sample()'s own arrays are copied there.
Which files are out is kept on a board, one byte per file in a small memory
file both processes map: the worker marks a file out when it takes it, and
the receiver marks it back when the last array viewing it is garbage
collected (or at once when it drops the message unmapped). When every file is
out the worker sends a fresh one it keeps no descriptor of, which the kernel
frees with its last mapping. Every file is freed when the worker exits and
the receiver has dropped its arrays, or (for a descriptor still in flight)
when the socket is closed.
"""

from __future__ import annotations

import dataclasses
import math
import mmap
import os
import pickle
import weakref
from multiprocessing import reduction
from multiprocessing.connection import Connection

import numpy as np

from vornlib_tools._batch import Batch

# Every array starts on a cache line of its own.
_ALIGN = 64
_FIELDS = [f.name for f in dataclasses.fields(Batch)]

# Message kinds, the third element of every message.
SHARED, PICKLED, FAILED = "shared", "pickled", "failed"


def _aligned(size: int) -> int:
    return -(-size // _ALIGN) * _ALIGN


def _layout(batch: Batch, written: dict[int, tuple[np.ndarray, int]], start: int
            ) -> tuple[dict, list[tuple[int, np.ndarray]], int] | None:
    """(description, [(offset, array)] to copy, size) of the batch's arrays, or
    None when a field holds what shared memory cannot carry (object arrays, a
    dict mixing arrays and other values): the batch is then pickled whole.
    An array of `written` (by id: (array, offset)) is already in the file and
    keeps its place; the others are placed from `start` on."""
    description, placed, size = {}, [], start

    def place(array: np.ndarray) -> tuple[int, np.dtype, tuple[int, ...]]:
        nonlocal size
        if array.dtype.hasobject:
            raise TypeError
        there = written.get(id(array))
        if there is not None and there[0] is array:
            return there[1], array.dtype, array.shape
        array = np.ascontiguousarray(array)
        offset = size
        placed.append((offset, array))
        size += _aligned(array.nbytes)
        return offset, array.dtype, array.shape

    try:
        for name in _FIELDS:
            value = getattr(batch, name)
            if isinstance(value, np.ndarray):
                description[name] = ("array", place(value))
            elif (isinstance(value, dict) and value
                  and all(isinstance(v, np.ndarray) for v in value.values())):
                description[name] = ("arrays", {key: place(v) for key, v in value.items()})
            elif isinstance(value, dict) and any(isinstance(v, np.ndarray) for v in value.values()):
                return None
            else:
                description[name] = ("value", value)
    except TypeError:
        return None
    return description, placed, size


def _map(fd: int, size: int) -> mmap.mmap:
    """A shared, writable mapping of a memory file that holds no descriptor of its own."""
    return mmap.mmap(fd, size, trackfd=False)


@dataclasses.dataclass
class _File:
    fd: int
    size: int
    mapping: mmap.mmap | None


class Outbox:
    """A worker's reusable memory files, each mapped once, and the board that says which are out."""

    def __init__(self, files: int) -> None:
        self.board_fd = os.memfd_create("vornlib-board", os.MFD_CLOEXEC)
        os.ftruncate(self.board_fd, files)
        self.board = _map(self.board_fd, files)
        self.files: list[_File | None] = [None] * files
        # Per file, the arrays its last batch made in place (weakly): a file is
        # not written again while the worker itself still holds one of them.
        self.held: list[list[weakref.ref]] = [[] for _ in range(files)]

    def share(self, conn: Connection) -> None:
        """Passes the board's descriptor to the receiver (board_of takes it)."""
        reduction.send_handle(conn, self.board_fd, 0)

    def take(self) -> tuple[int, _File]:
        """(slot, file) of a free file, marked out; slot -1 for a fresh file
        the caller closes after sending it."""
        for slot, held in enumerate(self.files):
            if self.board[slot] == 0 and not any(array() is not None for array in self.held[slot]):
                if held is None:
                    held = self.files[slot] = _File(os.memfd_create("vornlib-batch", os.MFD_CLOEXEC), 0, None)
                self.board[slot] = 1
                return slot, held
        return -1, _File(os.memfd_create("vornlib-batch", os.MFD_CLOEXEC), 0, None)

    def writer(self) -> BatchWriter:
        """A BatchWriter for the next batch, on a file taken now."""
        return BatchWriter(self, *self.take())


class BatchWriter:
    """One batch's memory file, from before the batch is made until it is sent.
    Arrays made with empty() are written in place: sending copies only the
    batch's other arrays, after them. A writer closed unsent gives its file back.

        with outbox.writer() as writer:
            batch = Batch.from_sample(..., empty=writer.empty)
            writer.send(conn, head, batch)
    """

    def __init__(self, outbox: Outbox, slot: int, file: _File) -> None:
        self._outbox, self._slot, self._file = outbox, slot, file
        self._used = 0
        self._written: dict[int, tuple[np.ndarray, int]] = {}  # id -> (array, offset); the array keeps the id
        self._sent = False

    def _room(self, size: int) -> mmap.mmap:
        """The file's mapping, with the file grown to at least size bytes. A
        grown file is mapped anew; arrays on the old mapping keep it, and they
        see the same pages."""
        file = self._file
        if size > file.size or file.mapping is None:
            grown = max(size, file.size + file.size // 4, 1)
            grown = -(-grown // mmap.PAGESIZE) * mmap.PAGESIZE
            os.ftruncate(file.fd, grown)
            file.size, file.mapping = grown, _map(file.fd, grown)
        return file.mapping

    def empty(self, shape: tuple[int, ...], dtype) -> np.ndarray:
        """An uninitialised array in the file, as np.empty(shape, dtype) makes one elsewhere."""
        dtype = np.dtype(dtype)
        count = math.prod(shape)
        if count == 0 or dtype.hasobject:
            return np.empty(shape, dtype)
        offset = self._used
        mapping = self._room(offset + count * dtype.itemsize)
        array = np.frombuffer(mapping, dtype, count, offset).reshape(shape)
        self._used = offset + _aligned(count * dtype.itemsize)
        self._written[id(array)] = (array, offset)
        return array

    def send(self, conn: Connection, head: tuple, item) -> None:
        """Sends (*head, kind, body) over conn: a Batch of plain arrays through
        the file, anything else pickled. Raises only if conn does (an item that
        cannot be pickled is sent as the failure it causes)."""
        layout = _layout(item, self._written, self._used) if isinstance(item, Batch) else None
        if layout is None:
            try:
                message = pickle.dumps((*head, PICKLED, item), protocol=pickle.HIGHEST_PROTOCOL)
            except Exception as error:
                fail(conn, head, error, f"{type(error).__name__}: {error} (pickling the transform's result)")
                return
            conn.send_bytes(message)
            return
        description, placed, size = layout
        size = max(size, 1)  # a mapping cannot be empty
        mapping = self._room(size)
        for offset, array in placed:
            data = memoryview(array.reshape(-1).view(np.uint8))
            mapping[offset:offset + len(data)] = data
        conn.send((*head, SHARED, (description, size, self._slot)))
        reduction.send_handle(conn, self._file.fd, 0)  # the destination pid is only used on Windows
        self._sent = True

    def close(self) -> None:
        """Gives the file back unless it was sent; closes a fresh file."""
        if self._slot >= 0:
            self._outbox.held[self._slot] = [weakref.ref(array) for array, _ in self._written.values()]
            if not self._sent:
                self._outbox.board[self._slot] = 0
        else:
            os.close(self._file.fd)  # its mapping goes with the last array on it
            self._file.mapping = None
        self._written.clear()

    def __enter__(self) -> BatchWriter:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def fail(conn: Connection, head: tuple, error: BaseException, trace: str) -> None:
    """Sends a failure; an exception that cannot be pickled travels as RuntimeError."""
    try:
        message = pickle.dumps((*head, FAILED, (error, trace)), protocol=pickle.HIGHEST_PROTOCOL)
    except Exception:
        message = pickle.dumps((*head, FAILED, (RuntimeError(f"{type(error).__name__}: {error}"), trace)))
    conn.send_bytes(message)


def _array(buffer: mmap.mmap, place: tuple) -> np.ndarray:
    offset, dtype, shape = place
    count = math.prod(shape)
    if count == 0:
        return np.empty(shape, dtype)
    return np.frombuffer(buffer, dtype, count, offset).reshape(shape)


def _give_back(board: mmap.mmap, slot: int) -> None:
    if slot >= 0 and not board.closed:  # slot -1: a fresh file, nobody's to give back
        board[slot] = 0


def board_of(conn: Connection, files: int) -> mmap.mmap:
    """The receiver's mapping of a worker's board, whose descriptor the worker
    sent after its ready message."""
    fd = reduction.recv_handle(conn)
    try:
        return _map(fd, files)
    finally:
        os.close(fd)


def receive(conn: Connection, body: tuple, board: mmap.mmap) -> Batch:
    """The Batch of a SHARED message whose body is `body`: takes its descriptor
    off conn and maps it (writable, so torch.from_numpy takes the arrays as
    they are). The file goes back to its worker when the mapping is collected."""
    description, size, slot = body
    fd = reduction.recv_handle(conn)
    try:
        buffer = _map(fd, size)
    finally:
        os.close(fd)
    if slot >= 0:
        weakref.finalize(buffer, _give_back, board, slot)
    fields = {}
    for name, (kind, value) in description.items():
        if kind == "array":
            fields[name] = _array(buffer, value)
        elif kind == "arrays":
            fields[name] = {key: _array(buffer, place) for key, place in value.items()}
        else:
            fields[name] = value
    return Batch(**fields)


def discard(conn: Connection, body: tuple, board: mmap.mmap) -> None:
    """Takes a SHARED message's descriptor off conn, closes it unmapped and
    gives its file back."""
    os.close(reduction.recv_handle(conn))
    _give_back(board, body[2])
