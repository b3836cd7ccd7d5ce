"""Many chip files at once: a folder of chips as one table and one array.

``read_chips`` reads chip files, from a folder tree or a list of paths, with
the chip reader's own ``sarchip_header`` and ``sarchip_raw``, into a
``ChipSet``: the paths, the header dictionaries, and the images stacked into
one array (or a list when the shapes differ). It can read in a pool of worker
processes, and it either stops at the first bad file, naming it, or collects
the bad files and goes on. ``chips_to_dask`` builds a lazy Dask array of the
same images from the headers alone.

Pure Python over the two reader functions: nothing here decodes a data block.
pandas (``ChipSet.table``), Dask (``chips_to_dask``) and tqdm (a progress bar)
are optional; each is imported only when used.
"""

from __future__ import annotations

import collections
import concurrent.futures
import ctypes
import fnmatch
import hashlib
import mmap
import os
import pickle
import platform
import re
import struct
import sys
import traceback
from typing import (TYPE_CHECKING, Any, Callable, Deque, Dict, Iterable, List, Optional, Sequence, Tuple,
                    Union)

import numpy as np

if TYPE_CHECKING:  # numpy.typing is newer than the oldest NumPy supported
    import dask.array
    import pandas
    from numpy.typing import DTypeLike, NDArray

__all__ = ["ChipSet", "read_chips", "chips_to_dask", "find_chips"]

# A file found in a folder is taken for a chip when it starts with this.
_MAGIC = b"[PhoenixHeaderVer"

# sarchip_raw's layouts, tried in its order: the names that select them and
# whether the result has two planes on a last axis (float64) or is complex.
_LAYOUTS = (
    (("ap", "amppha", "AP", "AMPPHA"), True),
    (("r", "real", "REAL"), True),
    (("c", "cplx", "complex", "C", "CPLX", "COMPLEX"), False),
)

# The process pool's start method: None is the interpreter's default. Tests
# set a context here to run the workers in a known way.
_mp_context: Any = None

# A progress bar shows only for reads that last longer than this (seconds).
_PROGRESS_DELAY = 2.0

_PathArg = Union[str, "os.PathLike[str]"]
_Source = Union[_PathArg, Iterable[_PathArg]]


class _ChipFile(Exception):
    """Names the file whose reading failed, as the cause of the failure
    (before Python 3.11, which has no exception notes)."""


class _WorkerTraceback(Exception):
    """The traceback of a failure in a worker process, as text."""

    def __str__(self) -> str:
        return "\n" + str(self.args[0]) if self.args else ""


def _name_file(exc: BaseException, path: str, remote: Optional[str] = None) -> BaseException:
    """Add the file's path to `exc` (a note, or a chained cause before 3.11)
    and, for a failure in a worker, the worker's traceback as its cause."""
    note = f"while reading the chip file {path!r}"
    if remote is not None:
        exc.__cause__ = _WorkerTraceback(remote)
        exc.__suppress_context__ = True
    if hasattr(exc, "add_note"):
        exc.add_note(note)
    else:
        notes = getattr(exc, "__notes__", None)
        exc.__notes__ = [*notes, note] if isinstance(notes, list) else [note]
        context = _ChipFile(note)
        context.__cause__ = exc.__cause__
        exc.__cause__ = context
        exc.__suppress_context__ = True
    return exc


def _layout(ofmt: object) -> Optional[bool]:
    """True for a plane layout, False for the complex one, None for no layout,
    by the comparisons sarchip_raw makes, in its order."""
    for names, planes in _LAYOUTS:
        for name in names:
            if ofmt == name:
                return planes
    return None


def _check_dtype(dtype: Optional[DTypeLike], planes: Optional[bool]) -> Optional[np.dtype[Any]]:
    if dtype is None:
        return None
    dt = np.dtype(dtype)
    if dt.kind not in "fc":
        raise TypeError(f"dtype must be a float or complex type, not {dt}")
    if planes is not None:
        native = np.dtype(np.float64 if planes else np.complex128)
        if not np.can_cast(native, dt, "same_kind"):
            raise TypeError(f"dtype {dt} cannot hold the {native} images of ofmt={_quote(native)}: "
                            "use complex64 for the complex layout, float32 for the plane layouts")
    return dt


def _quote(native: np.dtype[Any]) -> str:
    return "'c'" if native.kind == "c" else "'ap' or 'r'"


def _check_path(item: object) -> str:
    if isinstance(item, (str, bytes, os.PathLike)):
        path = os.fspath(item)
        return os.fsdecode(path)
    raise TypeError(f"a chip path must be a str or an os.PathLike, not {type(item).__name__}")


def _chip_paths(source: object, pattern: Optional[str], failed: Callable[[str, Exception], None]) -> List[str]:
    """The files to read: a folder's chips in sorted order, other paths as given."""
    return [path for path, _ in _chip_sources(source, pattern, failed, True)]


def _chip_sources(source: object, pattern: Optional[str], failed: Callable[[str, Exception], None],
                  check: bool) -> List[Tuple[str, bool]]:
    """(path, found in a folder) for each file, in reading order. Without
    `check` the files found in folders are not opened here, and the caller
    must tell the chips among them by their first line."""
    if isinstance(source, (str, bytes, os.PathLike)):
        items: Iterable[object] = [source]
    else:
        try:
            items = iter(source)  # type: ignore[call-overload]
        except TypeError:
            raise TypeError("source must be a folder, a chip path or an iterable of them, "
                            f"not {type(source).__name__}") from None
    paths: List[Tuple[str, bool]] = []
    for item in items:
        path = _check_path(item)
        if os.path.isdir(path):
            paths.extend((found, True) for found in _search(path, pattern, failed, check))
        else:
            paths.append((path, False))
    return paths


def _search(folder: str, pattern: Optional[str], failed: Callable[[str, Exception], None],
            check: bool = True) -> List[str]:
    """Every chip below `folder`, sorted: regular files (or links to them)
    whose name matches `pattern` and whose first line starts like a chip's.
    Links to folders are not followed, so a link loop cannot trap the search;
    FIFOs and devices are never opened, so none can block it."""
    candidates: List[str] = []
    stack = [folder]
    while stack:
        here = stack.pop()
        try:
            with os.scandir(here) as entries:
                for entry in entries:
                    try:
                        if entry.is_dir(follow_symlinks=False):
                            stack.append(entry.path)
                        elif entry.is_file() and (pattern is None or fnmatch.fnmatch(entry.name, pattern)):
                            candidates.append(entry.path)
                    except OSError as exc:
                        failed(entry.path, exc)
        except OSError as exc:
            failed(here, exc)
    candidates.sort()
    if not check:
        return candidates
    found = []
    for path in candidates:
        try:
            with open(path, "rb") as f:
                start = f.read(len(_MAGIC))
        except OSError as exc:
            failed(path, exc)
            continue
        if start == _MAGIC:
            found.append(path)
    return found


def find_chips(source: _Source, pattern: Optional[str] = None) -> List[str]:
    """The files that :func:`read_chips` and :func:`chips_to_dask` read for
    ``source`` and ``pattern``, in their order, without reading them. A folder
    that cannot be listed, or a file in one that cannot be opened, raises."""

    def failed(path: str, exc: Exception) -> None:
        raise _name_file(exc, path)

    return _chip_paths(source, pattern, failed)


class _Shared:
    """Memory that worker processes write chips into: an unnamed shared-memory
    file (memfd), which the workers open through /proc under the parent's pid
    and the parent maps while reading. The result is then mapped again
    copy-on-write, so that a process forked later gets its own copy, as with
    ordinary memory. Linux only; elsewhere, or when anything here fails, the
    images travel back through the pool's pipes instead."""

    def __init__(self, shape: Tuple[int, ...], dtype: np.dtype[Any], capacity: int) -> None:
        self.shape, self.dtype, self.capacity = shape, dtype, capacity
        self.slot = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
        self.size = self.slot * capacity
        self.fd = os.memfd_create("corvane-chips", os.MFD_CLOEXEC)  # type: ignore[attr-defined]
        try:
            os.ftruncate(self.fd, self.size)
            self.map = mmap.mmap(self.fd, self.size)
        except BaseException:
            os.close(self.fd)
            raise
        # What a worker needs to find and shape a slot; the token tells one
        # read's file from an earlier one that had the same descriptor.
        self.spec = (f"/proc/{os.getpid()}/fd/{self.fd}", os.urandom(8).hex(), self.size, self.slot, shape, dtype.str)

    def array(self) -> NDArray[Any]:
        return np.frombuffer(self.map, self.dtype).reshape((self.capacity,) + self.shape)

    def private(self, count: int) -> NDArray[Any]:
        """The first `count` slots, mapped copy-on-write; releases the rest."""
        # Not populated: the pages are in the file already, and the first
        # read of a page maps it with its neighbours (about as fast as
        # reading ordinary memory for the first time), where mapping all of
        # them here made the parent wait some 100 ms for 256 MiB.
        flags = mmap.MAP_PRIVATE
        view = np.frombuffer(mmap.mmap(self.fd, self.size, flags=flags), self.dtype)
        self.close()
        return view.reshape((self.capacity,) + self.shape)[:count]

    def close(self) -> None:
        if self.fd >= 0:
            self.map.close()
            os.close(self.fd)
            self.fd = -1


def _shared_block(shape: Tuple[int, ...], dtype: np.dtype[Any], capacity: int) -> Optional[_Shared]:
    if not (hasattr(os, "memfd_create") and os.path.isdir(f"/proc/{os.getpid()}/fd")):
        return None
    if int(np.prod(shape, dtype=np.int64)) == 0:
        return None
    try:
        return _Shared(shape, dtype, capacity)
    except (OSError, ValueError):
        return None


class _Slots:
    """A worker's way into the parent's shared block: it writes each image
    into its slot of the memfd with pwrite, which fills the pages without
    mapping them here (a fault per page cost a worker more than the copy)."""

    def __init__(self, spec: Tuple[Any, ...]) -> None:
        path, _, _, self.slot, self.shape, dtype = spec
        self.dtype = np.dtype(dtype)
        self.fd = os.open(path, os.O_WRONLY)

    def write(self, index: int, image: NDArray[Any]) -> bool:
        """Write `image` into slot `index`; False when it does not fit."""
        if image.shape != self.shape:
            return False
        data = memoryview(np.ascontiguousarray(image, self.dtype)).cast("B")
        offset, done = index * self.slot, 0
        while done < len(data):
            done += os.pwrite(self.fd, data[done:], offset + done)
        return True

    def close(self) -> None:
        os.close(self.fd)


def _open_slots(spec: Optional[Tuple[Any, ...]]) -> Optional[_Slots]:
    if spec is None or not hasattr(os, "pwrite"):
        return None
    try:
        return _Slots(spec)
    except (OSError, ValueError):  # no /proc, another user's process: the pipes then
        return None


def _private_block(capacity: int, shape: Tuple[int, ...], dtype: np.dtype[Any]) -> NDArray[Any]:
    """Room for `capacity` images. A large block is an anonymous mapping
    rather than np.empty: NumPy asks for transparent huge pages on large
    arrays, and where the kernel compacts memory to find them (defrag on
    madvise) filling the block stalled for seconds on a busy machine; small
    pages cost what the plain loop's own arrays cost, and less when
    populated at once."""
    nbytes = capacity * int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    if nbytes < 4 << 20 or not hasattr(mmap, "MAP_ANONYMOUS"):
        return np.empty((capacity,) + shape, dtype)
    # All pages at once (MAP_POPULATE, where Python knows it): one call
    # instead of a fault per page, which more than pays for copying each
    # image in.
    flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | getattr(mmap, "MAP_POPULATE", 0)
    mm = mmap.mmap(-1, nbytes, flags=flags)
    return np.frombuffer(mm, dtype).reshape((capacity,) + shape)


def _shrink(block: NDArray[Any], count: int) -> NDArray[Any]:
    """The first `count` slots; the memory of the others goes back (the block
    has never been shared, so nothing else sees it)."""
    if block.flags.owndata:
        block.resize((count,) + block.shape[1:], refcheck=False)
        return block
    mm = block.base
    while isinstance(mm, np.ndarray):
        mm = mm.base
    if isinstance(mm, mmap.mmap) and hasattr(mm, "madvise") and hasattr(mmap, "MADV_DONTNEED"):
        start = -(-count * block[0].nbytes // mmap.PAGESIZE) * mmap.PAGESIZE
        if start < len(mm):
            mm.madvise(mmap.MADV_DONTNEED, start, len(mm) - start)
    return block[:count]


class _Stack:
    """Gathers the images in reading order: while they share a shape and a
    dtype, each goes into its file's slot of one block allocated for all the
    files, so that no second copy of the set is ever held; from the first one
    that differs, into a list. Slots of files that failed are squeezed out at
    the end. With `pool` the block is shared memory that workers write into."""

    def __init__(self, capacity: int, dtype: Optional[np.dtype[Any]], pool: bool = False) -> None:
        self.capacity = capacity
        self.dtype = dtype
        self.pool = pool
        self.shared: Optional[_Shared] = None
        self.block: Optional[NDArray[Any]] = None
        self.kept: List[int] = []  # slots holding an image, in order
        self.items: Optional[List[Any]] = None
        self.nones = 0

    def spec(self) -> Optional[Tuple[Any, ...]]:
        return self.shared.spec if self.shared is not None and self.items is None else None

    def put(self, index: int, image: Optional[NDArray[Any]]) -> None:
        if self.items is None and image is None and self.block is None:
            self.nones += 1
            return
        if self.items is None and self.nones:
            self.items = [None] * self.nones
        if self.items is None:
            assert image is not None
            if self.block is None:
                dtype = image.dtype if self.dtype is None else self.dtype
                self.shared = _shared_block(image.shape, dtype, self.capacity) if self.pool else None
                if self.shared is not None:
                    self.block = self.shared.array()
                else:
                    self.block = _private_block(self.capacity, image.shape, dtype)
            if image.shape == self.block.shape[1:] and (self.dtype is not None or image.dtype == self.block.dtype):
                self.block[index] = image
                self.kept.append(index)
                return
            self.items = [self.block[j].copy() for j in self.kept]
        if image is not None and self.dtype is not None:
            image = image.astype(self.dtype, casting="same_kind", copy=False)
        self.items.append(image)

    def written(self, index: int) -> None:
        """A worker has written this file's image into its slot."""
        assert self.block is not None
        if self.items is None:
            self.kept.append(index)
        else:
            self.items.append(self.block[index].copy())

    def result(self) -> Union[NDArray[Any], List[NDArray[Any]], None]:
        if self.items is not None:
            if self.shared is not None:
                self.block = None
                self.shared.close()
            return self.items
        if self.block is None:
            return None if self.nones else []
        count = len(self.kept)
        for k, index in enumerate(self.kept):
            if k != index:
                self.block[k] = self.block[index]
        if self.shared is not None:
            self.block = None
            return self.shared.private(count)
        if count < self.capacity:
            block, self.block = self.block, None
            return _shrink(block, count)
        return self.block

    def close(self) -> None:
        self.block = None
        if self.shared is not None:
            self.shared.close()


class ChipSet:
    """Chips read by :func:`read_chips`, in reading order.

    ``paths``: the files read, as strings. ``headers``: their header
    dictionaries. ``images``: one array of shape (n, H, W) or (n, H, W, 2)
    when every image has the same shape, a list of arrays otherwise, and
    None when ``ofmt`` names no layout. ``errors``: the files that could not
    be read and why, as (path, exception) pairs (``errors="collect"``).
    """

    def __init__(self, paths: List[str], headers: List[Dict[str, str]],
                 images: Union[NDArray[Any], List[NDArray[Any]], None],
                 errors: List[Tuple[str, BaseException]]) -> None:
        self.paths = paths
        self.headers = headers
        self.images = images
        self.errors = errors

    def __len__(self) -> int:
        return len(self.paths)

    def __repr__(self) -> str:
        images = self.images
        if isinstance(images, np.ndarray):
            what = f"images {images.shape} {images.dtype}"
        elif images is None:
            what = "no images"
        else:
            what = f"{len(images)} images of several shapes"
        errors = f", {len(self.errors)} failed" if self.errors else ""
        return f"<ChipSet: {len(self.paths)} chips, {what}{errors}>"

    def table(self) -> pandas.DataFrame:
        """A pandas DataFrame, one row per chip: the column ``path``, then
        every header field in the order first met. A field whose values all
        read as integers becomes an int64 column (nullable Int64 where some
        chip lacks the field), one whose values all read as numbers float64;
        the others keep their strings."""
        try:
            import pandas as pd
        except ImportError as exc:
            raise ImportError('ChipSet.table() needs pandas; install it with: pip install "corvane[table]"') from exc
        names: Dict[str, None] = {}
        for header in self.headers:
            names.update(dict.fromkeys(header))
        columns: List[Any] = [list(self.paths)]
        columns += [_column([h.get(name) for h in self.headers], pd) for name in names]
        frame = pd.DataFrame({i: c for i, c in enumerate(columns)}, index=pd.RangeIndex(len(self.paths)))
        frame.columns = ["path", *names]  # a header field may itself be called "path"
        return frame


_INT = re.compile(r"\s*[+-]?[0-9]+\s*")
_FLOAT = re.compile(r"\s*[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\s*")
_INT64 = (-(2**63), 2**63 - 1)


def _column(values: List[Optional[str]], pd: Any) -> Any:
    """One header field across the chips, converted as ChipSet.table says.
    Only plain decimal forms count as numbers: not "nan", "inf" or "1_000",
    which float() and int() would take."""
    present = [v for v in values if v is not None]
    if all(_INT.fullmatch(v) for v in present):
        ints = [int(v) for v in present]
        if all(_INT64[0] <= i <= _INT64[1] for i in ints):
            if len(ints) == len(values):
                return np.array(ints, dtype=np.int64)
            return pd.array([None if v is None else int(v) for v in values], dtype="Int64")
    if all(_FLOAT.fullmatch(v) for v in present):
        return np.array([np.nan if v is None else float(v) for v in values], dtype=np.float64)
    return values


def _progress(total: int) -> Any:
    """A tqdm bar on an interactive terminal, shown once the read has taken
    _PROGRESS_DELAY seconds; None elsewhere or without tqdm."""
    stream = sys.stderr
    try:
        interactive = stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        interactive = False
    if not interactive or total < 2:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    try:
        return tqdm(total=total, unit="chip", desc="read_chips", leave=False, file=stream, delay=_PROGRESS_DELAY)
    except TypeError:  # a tqdm older than 4.59 has no delay
        return None


def _read_one(sarchip: Any, path: str, ofmt: object) -> Tuple[Dict[str, str], Any]:
    header = sarchip.sarchip_header(path)
    return header, sarchip.sarchip_raw(path, ofmt)


def _portable(exc: Exception) -> Exception:
    """`exc`, or when it cannot cross to the parent process (it does not
    pickle back into an equal object) an exception of the nearest built-in
    type with the same message."""
    try:
        back = pickle.loads(pickle.dumps(exc))
        if type(back) is type(exc) and back.args == exc.args:
            return exc
    except Exception:
        pass
    text = f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    for cls in type(exc).__mro__:
        if cls.__module__ == "builtins" and issubclass(cls, Exception):
            try:
                return cls(text)  # type: ignore[no-any-return]
            except Exception:
                continue
    return Exception(text)


def _read_batch(start: int, paths: Sequence[str], ofmt: object, dtype: Optional[np.dtype[Any]],
                spec: Optional[Tuple[Any, ...]]) -> List[Tuple[Any, Any, Any]]:
    """A worker's share, files start, start + 1, ...: per file (header, True,
    None) when the image went into its slot of the shared block `spec`,
    (header, image, None) when it did not, or (None, None, (exception,
    traceback text)). Images are converted to `dtype` here."""
    from corvane.datasets import sarchip

    out: List[Tuple[Any, Any, Any]] = []
    slots = _open_slots(spec)
    for index, path in enumerate(paths, start):
        try:
            header, image = _read_one(sarchip, path, ofmt)
        except Exception as exc:
            text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
            out.append((None, None, (_portable(exc), text)))
            continue
        if image is not None and slots is not None and slots.write(index, image):
            out.append((header, True, None))
            continue
        if image is not None and dtype is not None:
            image = image.astype(dtype, casting="same_kind", copy=False)
        out.append((header, image, None))
    if slots is not None:
        slots.close()
    return out


def read_chips(source: _Source, ofmt: object = "c", *, pattern: Optional[str] = None, workers: int = 1,
               errors: str = "raise", dtype: Optional[DTypeLike] = None) -> ChipSet:
    """Read many chip files into a :class:`ChipSet`.

    ``source`` is a folder, searched with its subfolders for chips (files
    whose first line starts with ``[PhoenixHeaderVer``, narrowed by the glob
    ``pattern`` on the file name) and read in sorted order; a single path; or
    an iterable of paths (``str`` or ``os.PathLike``; a folder among them is
    searched in its place), read in the order given. Each file is read with
    ``sarchip_header`` and ``sarchip_raw(path, ofmt)``, so their exceptions,
    and None for an ``ofmt`` that names no layout, hold here too.

    ``dtype``: np.complex64 (complex layout) or np.float32 (plane layouts)
    keep the file's own precision in half the memory; None keeps what
    ``sarchip_raw`` gives.

    ``errors="raise"``: the first file that fails (in reading order) raises
    its exception, with the file's path in a note (before Python 3.11 as the
    exception's cause). ``errors="collect"``: failed files are left out and
    listed in ``ChipSet.errors`` as (path, exception) pairs.

    ``workers=N`` > 1 reads in a pool of N processes; the result is the same
    as with one, in the same order. On Linux the workers write the images
    straight into the result, which is then shared memory mapped
    copy-on-write: writing into it copies the pages written.
    """
    if errors not in ("raise", "collect"):
        raise ValueError(f"errors must be 'raise' or 'collect', not {errors!r}")
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer, not {workers!r}")
    target = _check_dtype(dtype, _layout(ofmt))
    collect = errors == "collect"
    failures: List[Tuple[str, BaseException]] = []

    def failed(path: str, exc: Exception, remote: Optional[str] = None) -> None:
        _name_file(exc, path, remote)
        if not collect:
            raise exc
        failures.append((path, exc))

    paths = _chip_paths(source, pattern, failed)
    pool = workers > 1 and len(paths) > 1
    stack = _Stack(len(paths), target, pool)
    done: List[str] = []
    headers: List[Dict[str, str]] = []
    bar = _progress(len(paths))
    try:
        from corvane.datasets import sarchip

        # Serially, every file; with a pool, files up to the first that reads,
        # which gives the shape and dtype of the shared block.
        index = 0
        while index < len(paths) and not (pool and (done or stack.nones)):
            path = paths[index]
            try:
                header, image = _read_one(sarchip, path, ofmt)
            except Exception as exc:
                failed(path, exc)
            else:
                done.append(path)
                headers.append(header)
                stack.put(index, image)
            index += 1
            if bar is not None:
                bar.update(1)
        if index < len(paths):
            _read_in_pool(paths, index, ofmt, target, workers, stack, done, headers, failed, bar)
        images = stack.result()
    finally:
        stack.close()
        if bar is not None:
            bar.close()
    return ChipSet(done, headers, images, failures)


def _worker_init() -> None:
    """Set up a worker process. A worker reads chip after chip, each call
    allocating and freeing the same few buffers of some hundred KiB; glibc
    gives such blocks back to the kernel on free and faults fresh pages in
    for the next chip, which took about half of a chip's reading time. The
    worker keeps them instead (it ends with the read)."""
    if not sys.platform.startswith("linux") or platform.libc_ver()[0] != "glibc":
        return
    try:
        libc = ctypes.CDLL(None)
        for threshold in (32 << 20, 16 << 20):  # the largest glibc takes on 64 and on 32 bits
            if libc.mallopt(-3, threshold):  # M_MMAP_THRESHOLD
                break
        libc.mallopt(-1, 256 << 20)  # M_TRIM_THRESHOLD
    except (OSError, AttributeError):
        pass


def _batch_size(n: int, workers: int) -> int:
    # Some eight batches per worker balance the load; 32 chips at most keep a
    # batch's reply small where images travel back through the pipes.
    return max(1, min(32, n // (8 * workers)))


def _read_in_pool(paths: List[str], start: int, ofmt: object, dtype: Optional[np.dtype[Any]], workers: int,
                  stack: _Stack, done: List[str], headers: List[Dict[str, str]], failed: Callable[..., None],
                  bar: Any) -> None:
    """Files from `start` on, in batches, to a process pool; replies taken in
    order. At most two batches per worker are in flight, so that replies
    waiting for an earlier one cannot pile up in memory."""
    size = _batch_size(len(paths) - start, workers)
    batches = iter(range(start, len(paths), size))
    pending: Deque[Tuple[int, List[str], concurrent.futures.Future[Any]]] = collections.deque()
    spec = stack.spec()
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=_mp_context,
                                                initializer=_worker_init) as pool:
        def submit() -> None:
            first = next(batches, None)
            if first is not None:
                batch = paths[first:first + size]
                pending.append((first, batch, pool.submit(_read_batch, first, batch, ofmt, dtype, spec)))

        try:
            for _ in range(2 * workers):
                submit()
            while pending:
                first, batch, future = pending[0]
                try:
                    replies = future.result()
                except concurrent.futures.process.BrokenProcessPool as exc:
                    unread = [p for _, b, _ in pending for p in b]
                    note = f"a worker process ended abruptly; {len(unread)} chip files were not read, from {unread[0]!r}"
                    if hasattr(exc, "add_note"):
                        exc.add_note(note)
                        raise
                    raise type(exc)(f"{exc}; {note}") from exc
                pending.popleft()
                submit()
                for index, (path, (header, image, error)) in enumerate(zip(batch, replies), first):
                    if error is not None:
                        failed(path, error[0], error[1])
                        continue
                    done.append(path)
                    headers.append(header)
                    if image is True:
                        stack.written(index)
                    else:
                        stack.put(index, image)
                if bar is not None:
                    bar.update(len(batch))
        except BaseException:
            for _, _, future in pending:
                future.cancel()
            raise


def _geometry(path: str, searched: bool) -> Optional[Tuple[int, int, int, int, int]]:
    """(data offset, columns, rows, file size, modification time) from header
    lines 3, 13 and 14, read by position as sarchip_raw reads them; None for
    a file found in a folder that is no chip."""

    def value(line: bytes) -> int:
        _, text = line.strip(b"\n").decode("utf-8").split("= ")
        return int(text)

    # Unbuffered: one read per file, and no read buffer set up for it (a
    # fifth of the time per file).
    with open(path, "rb", buffering=0) as f:
        head = f.read(8192)  # holds the first 14 lines of any usual header
        if searched and not head.startswith(_MAGIC):
            return None
        st = os.fstat(f.fileno())
        lines = head.split(b"\n", 14)
        if len(lines) <= 14 and len(head) < st.st_size:
            f.seek(0)
            lines = [f.readline() for _ in range(14)]
        lines += [b""] * (14 - len(lines))  # lines past the end of the file read as empty
        offset, ncols, nrows = value(lines[2]), value(lines[12]), value(lines[13])
    if nrows < 0 or ncols < 0:
        raise struct.error(f"the header gives {nrows} rows and {ncols} columns")
    if offset < 0:
        raise ValueError(f"negative data offset {offset}")
    need = 8 * nrows * ncols
    if offset + need > st.st_size:
        raise struct.error(f"the data block needs {need} bytes from byte {offset}, "
                           f"and the file has {max(st.st_size - offset, 0)}")
    return offset, ncols, nrows, st.st_size, st.st_mtime_ns


def _load_chip(path: str, ofmt: object, dtype: np.dtype[Any], shape: Tuple[int, ...]) -> NDArray[Any]:
    """One chunk of chips_to_dask: the chip as a (1, ...) block."""
    from corvane.datasets import sarchip

    try:
        image = sarchip.sarchip_raw(path, ofmt)
        if image is None or image.shape != shape:
            got = None if image is None else image.shape
            raise ValueError(f"the chip is {got} now, but {shape} when the Dask array was made")
    except Exception as exc:
        raise _name_file(exc, path)
    return image.astype(dtype, copy=False)[np.newaxis]


def chips_to_dask(source: _Source, ofmt: object = "c", *, pattern: Optional[str] = None,
                  dtype: Optional[DTypeLike] = None) -> Optional[dask.array.Array]:
    """The chips of ``source`` (as for :func:`read_chips`) as a lazy Dask
    array of shape (n, H, W) or (n, H, W, 2), one chunk per chip.

    Only the headers are read here (the data offset, the columns and the rows,
    by line position as ``sarchip_raw`` reads them), and a file too short for
    its data block is reported now; each chunk runs ``sarchip_raw`` when it is
    computed, on whatever Dask scheduler runs the graph. The tasks carry only
    paths, so a cluster's workers must see the files at the same paths and
    have corvane installed. Chips of different shapes raise ``ValueError``
    naming two of them. An ``ofmt`` that names no layout gives None.
    """
    try:
        import dask.array as da
        from dask.highlevelgraph import HighLevelGraph
    except ImportError as exc:
        raise ImportError('chips_to_dask needs Dask; install it with: pip install "corvane[dask]"') from exc
    planes = _layout(ofmt)
    target = _check_dtype(dtype, planes)
    if planes is None:
        return None

    def failed(path: str, exc: Exception) -> None:
        raise _name_file(exc, path)

    paths = []
    stamps = []
    first: Optional[Tuple[str, Tuple[int, int]]] = None
    # One open per file: the first line tells a chip found in a folder, the
    # next thirteen give its geometry.
    for path, searched in _chip_sources(source, pattern, failed, False):
        try:
            geometry = _geometry(path, searched)
        except Exception as exc:
            raise _name_file(exc, path)
        if geometry is None:
            continue
        _, ncols, nrows, size, mtime = geometry
        paths.append(path)
        if first is None:
            first = (path, (nrows, ncols))
        elif first[1] != (nrows, ncols):
            raise ValueError(f"chips of different shapes: {first[0]!r} is {first[1][0]} x {first[1][1]}, "
                             f"{path!r} is {nrows} x {ncols}; read_chips reads them as a list")
        stamps.append((size, mtime))
    if first is None:
        raise ValueError(f"no chip files in {source!r}" + ("" if pattern is None else f" matching {pattern!r}"))
    shape = first[1] + ((2,) if planes else ())
    out = target if target is not None else np.dtype(np.float64 if planes else np.complex128)
    # The name identifies the graph (Dask shares equal names): the files, as
    # they stand now, and what is made of them.
    key = repr((paths, stamps, ofmt, out.str)).encode("utf-8", "surrogateescape")
    name = "read-chips-" + hashlib.blake2b(key, digest_size=16).hexdigest()
    tail = (0,) * len(shape)
    layer = {(name, i) + tail: (_load_chip, path, ofmt, out, shape) for i, path in enumerate(paths)}
    chunks = ((1,) * len(paths),) + tuple((s,) for s in shape)
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return da.Array(graph, name, chunks, dtype=out, meta=np.empty((0,) * (len(shape) + 1), out))
