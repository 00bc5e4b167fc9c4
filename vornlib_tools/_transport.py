"""Moving a Batch from a sampling worker to the training process through shared memory.

Pickling a large batch costs the training process as much time as sampling it
costs the worker: unpickling copies every array once more. Instead, the worker
copies the batch's arrays into an anonymous memory file (memfd) it keeps
mapped, sends a small description (field, dtype, shape, offset) over a Unix
socket, and passes the file descriptor itself alongside (SCM_RIGHTS). The
receiver maps the file and closes the descriptor, and builds its arrays
directly on the mapping: receiving is a system call and a few numpy views,
whatever the batch's size, and a batch kept holds no descriptor (the
mappings are made without the duplicate descriptor Python's mmap keeps by
default, which a process keeping a thousand batches runs out of).

Nobody names or unlinks anything. A worker keeps a few memory files of its
own (an `Outbox`) and writes each batch into one the receiver has given back:
the pages it wrote the last time are still there, so neither side allocates,
zeroes or frees memory per batch. Which files are out is kept on a board, one
byte per file in a small memory file both processes map: the worker marks a
file out when it sends it, and the receiver marks it back when the last array
viewing it is garbage collected (or at once when it drops the message
unmapped). When every file is out the worker sends a fresh one it keeps no
descriptor of, which the kernel frees with its last mapping. Every file is
freed when the worker exits and the receiver has dropped its arrays, or (for
a descriptor still in flight) when the socket is closed.
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


def _layout(batch: Batch) -> tuple[dict, list[tuple[int, np.ndarray]], int] | None:
    """(description, [(offset, array)], size) of the batch's arrays, or None when
    a field holds what shared memory cannot carry (object arrays, a dict mixing
    arrays and other values): the batch is then pickled whole."""
    description, placed, size = {}, [], 0

    def place(array: np.ndarray) -> tuple[int, np.dtype, tuple[int, ...]]:
        nonlocal size
        if array.dtype.hasobject:
            raise TypeError
        array = np.ascontiguousarray(array)
        offset = size
        placed.append((offset, array))
        size += -(-array.nbytes // _ALIGN) * _ALIGN
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

    def share(self, conn: Connection) -> None:
        """Passes the board's descriptor to the receiver (board_of takes it)."""
        reduction.send_handle(conn, self.board_fd, 0)

    def take(self, size: int) -> tuple[int, _File]:
        """(slot, file) of a mapped file of at least `size` bytes, marked out;
        slot -1 for a fresh file the caller unmaps and closes after sending it."""
        for slot, held in enumerate(self.files):
            if self.board[slot] == 0:
                if held is None:
                    held = _File(os.memfd_create("vornlib-batch", os.MFD_CLOEXEC), 0, None)
                if size > held.size:
                    if held.mapping is not None:
                        held.mapping.close()
                    os.ftruncate(held.fd, size)
                    held.size, held.mapping = size, _map(held.fd, size)
                self.files[slot] = held
                self.board[slot] = 1
                return slot, held
        fd = os.memfd_create("vornlib-batch", os.MFD_CLOEXEC)
        os.ftruncate(fd, size)
        return -1, _File(fd, size, _map(fd, size))


def send(conn: Connection, head: tuple, item, outbox: Outbox) -> None:
    """Sends (*head, kind, body) over conn: a Batch of plain arrays through a
    memory file of the outbox, anything else pickled. Raises only if conn does
    (an item that cannot be pickled is sent as the failure it causes)."""
    layout = _layout(item) if isinstance(item, Batch) else None
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
    slot, file = outbox.take(size)
    try:
        for offset, array in placed:
            data = memoryview(array.reshape(-1).view(np.uint8))
            file.mapping[offset:offset + len(data)] = data
        conn.send((*head, SHARED, (description, size, slot)))
        reduction.send_handle(conn, file.fd, 0)  # the destination pid is only used on Windows
    except BaseException:
        if slot >= 0:
            outbox.board[slot] = 0
        raise
    finally:
        if slot < 0:
            file.mapping.close()
            os.close(file.fd)


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
