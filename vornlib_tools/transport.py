"""Moving a Batch from a sampling worker to the training process through shared memory.

Pickling a large batch costs the training process as much time as sampling it
costs the worker: unpickling copies every array once more. Instead, the worker
writes the batch's arrays into an anonymous memory file (memfd), sends a small
description (field, dtype, shape, offset) over a Unix socket, and passes the
file descriptor itself alongside (SCM_RIGHTS). The receiver maps the file and
builds its arrays directly on the mapping: receiving is a system call and a
few numpy views, whatever the batch's size.

Nobody names or unlinks anything. The worker closes its descriptor right after
sending it; the receiver closes its copy right after mapping it. The memory
then belongs to the mapping alone, and the kernel frees it when the last array
viewing it is garbage collected, or when the process holding it dies, or (for
a descriptor still in flight) when the socket is closed.
"""

from __future__ import annotations

import dataclasses
import mmap
import os
import pickle
from multiprocessing import reduction
from multiprocessing.connection import Connection

import numpy as np

from vornlib_tools.batch import Batch

# Every array starts on a cache line of its own.
_ALIGN = 64
_FIELDS = [f.name for f in dataclasses.fields(Batch)]
# A single pwrite moves at most this much on Linux.
_MAX_WRITE = 1 << 30

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


def send(conn: Connection, head: tuple, item) -> None:
    """Sends (*head, kind, body) over conn: a Batch of plain arrays through a
    memory file, anything else pickled. Raises only if conn does (an item that
    cannot be pickled is sent as the failure it causes)."""
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
    fd = os.memfd_create("vornlib-batch", os.MFD_CLOEXEC)
    try:
        os.ftruncate(fd, max(size, 1))  # a mapping cannot be empty
        for offset, array in placed:
            data = memoryview(array.reshape(-1).view(np.uint8))
            done = 0
            while done < len(data):
                done += os.pwrite(fd, data[done:done + _MAX_WRITE], offset + done)
        conn.send((*head, SHARED, (description, size)))
        reduction.send_handle(conn, fd, 0)  # the destination pid is only used on Windows
    finally:
        os.close(fd)


def fail(conn: Connection, head: tuple, error: BaseException, trace: str) -> None:
    """Sends a failure; an exception that cannot be pickled travels as RuntimeError."""
    try:
        message = pickle.dumps((*head, FAILED, (error, trace)), protocol=pickle.HIGHEST_PROTOCOL)
    except Exception:
        message = pickle.dumps((*head, FAILED, (RuntimeError(f"{type(error).__name__}: {error}"), trace)))
    conn.send_bytes(message)


def _array(buffer: mmap.mmap, place: tuple) -> np.ndarray:
    offset, dtype, shape = place
    count = int(np.prod(shape, dtype=np.int64))
    if count == 0:
        return np.empty(shape, dtype)
    return np.frombuffer(buffer, dtype, count, offset).reshape(shape)


def receive(conn: Connection, body: tuple) -> Batch:
    """The Batch of a SHARED message whose body is `body`: takes its descriptor
    off conn and maps it (writable, so torch.from_numpy takes the arrays as they are)."""
    description, size = body
    fd = reduction.recv_handle(conn)
    try:
        buffer = mmap.mmap(fd, max(size, 1))
    finally:
        os.close(fd)
    fields = {}
    for name, (kind, value) in description.items():
        if kind == "array":
            fields[name] = _array(buffer, value)
        elif kind == "arrays":
            fields[name] = {key: _array(buffer, place) for key, place in value.items()}
        else:
            fields[name] = value
    return Batch(**fields)


def discard(conn: Connection) -> None:
    """Takes a SHARED message's descriptor off conn and closes it unmapped."""
    os.close(reduction.recv_handle(conn))
