"""Files that appear whole or not at all, their checksums, and flushing them to the disk."""

from __future__ import annotations

import hashlib
import io
import os
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO

HASH_CHUNK_BYTES = 1 << 22


@contextmanager
def atomic_file(path: Path, durable: bool = True) -> Iterator[BinaryIO]:
    """A stream to write `path` through: it appears under its name only when the block ends normally.

    On any exception, KeyboardInterrupt included, the temporary file is removed. Without
    `durable` the data may still sit in the page cache, which is safe against a killed
    process; the caller syncs it (`sync`) before relying on it after a crash.
    """
    temporary = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    try:
        with temporary.open("wb") as stream:
            yield stream
            if durable:
                stream.flush()
                os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    if durable:
        sync(path.parent)


class HashingWriter(io.RawIOBase):
    """A write-only stream that passes everything on to `raw` and keeps its SHA-256."""

    def __init__(self, raw: BinaryIO) -> None:
        super().__init__()
        self._raw = raw
        self._digest = hashlib.sha256()

    def writable(self) -> bool:
        return True

    def write(self, data: bytes) -> int:  # type: ignore[override]
        written = self._raw.write(data)
        self._digest.update(memoryview(data)[:written])
        return written

    def tell(self) -> int:
        return self._raw.tell()

    def flush(self) -> None:
        self._raw.flush()

    def hexdigest(self) -> str:
        return self._digest.hexdigest()


def file_sha256(path: Path) -> str | None:
    """The file's SHA-256, or None if it does not exist."""
    digest = hashlib.sha256()
    try:
        with path.open("rb") as stream:
            while chunk := stream.read(HASH_CHUNK_BYTES):
                digest.update(chunk)
    except FileNotFoundError:
        return None
    return digest.hexdigest()


def sync(path: Path) -> None:
    """Flush a file, or a directory's entries, to the disk."""
    if os.name != "posix" and path.is_dir():
        return
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
