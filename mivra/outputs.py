"""All-or-nothing writing of a run's output files, and the checks of their
paths before the run starts.

Every file is first written to a temporary file in its destination folder;
only when all of them have been written are they moved into place with
``os.replace`` (atomic per file on POSIX).  If anything fails before that, the
temporaries are removed and no output file -- old or new -- is touched.
Folders created for the outputs are removed again when they stay empty.
A failed write (disk full, file-size limit, ...) is a ``UserError`` naming the
file.  Termination signals are held back while temporaries and folders are
created and registered, moved into place or cleaned up, so that an interrupted
run leaves either all outputs or none; a temporary or folder is registered
before it is created, so that even an interrupt the handler here does not catch
(a plain ``KeyboardInterrupt``) cannot leave one behind unregistered.  The
signal handler itself removes what is staged before it stops the run, so that
a second signal during the unwinding cannot cut the cleanup short.
"""
from __future__ import annotations

import contextlib
import json
import os
import secrets
import tempfile

from .errors import Interrupted, UserError

_held = None         # signals received while held back, or None when not holding
_live = []           # StagedOutputs holding staged files or made folders


def json_text(obj, compact_values: bool = False) -> str:
    """Strict JSON (no NaN or Infinity tokens): callers turn non-finite numbers
    into something JSON holds before they get here. With ``compact_values``
    (a dict of big entries) each entry takes one line, and its values may be
    1-D float64 or int64 arrays, written as the lists json writes for them."""
    if compact_values and isinstance(obj, dict):
        lines = (f"{json.dumps(k)}: {_compact(v)}" for k, v in obj.items())
        return "{\n" + ",\n".join(lines) + "\n}\n"
    return json.dumps(obj, indent=1, allow_nan=False) + "\n"


def _compact(v) -> str:
    """json.dumps(v) of a value that may hold number arrays (see ``json_text``):
    their text is made natively, some 7x faster than json's repr per number."""
    if isinstance(v, dict):
        return "{" + ", ".join(f"{json.dumps(k)}: {_compact(x)}" for k, x in v.items()) + "}"
    if not hasattr(v, "dtype"):
        return json.dumps(v, allow_nan=False)
    import numpy as np
    import torch

    from .api import gdq_quant

    if v.ndim == 1 and v.dtype in (np.float64, np.int64) and np.isfinite(v).all():
        return gdq_quant._json_numbers(torch.from_numpy(np.ascontiguousarray(v)))
    return json.dumps(v.tolist(), allow_nan=False)


def interrupt(signum: int, frame=None) -> None:
    """Signal handler: remove every staged file and stop the run with
    ``Interrupted``; while files are being staged, moved into place or cleaned
    up, once that is done."""
    global _held
    if _held is not None:
        _held.append(signum)
        return
    _held = []              # signals arriving now: the run is stopping anyway
    try:
        for staged in list(_live):
            staged._remove_staged()
    finally:
        _held = None
    raise Interrupted(signum)


@contextlib.contextmanager
def _signals_held():
    global _held
    outer, _held = _held, []
    try:
        yield
    finally:
        pending, _held = _held, outer
        if pending and outer is not None:
            outer.extend(pending)
        elif pending:
            raise Interrupted(pending[0])


def _write_failed(path: str, exc: OSError) -> UserError:
    return UserError(path, f"cannot write it ({exc.strerror or exc})",
                     "free disk space, raise the file-size limit or choose another location; "
                     "earlier outputs are left as they were")


class StagedOutputs:
    def __init__(self):
        self._staged = []          # (temporary path, final path)
        self._made_dirs = []

    def _tmp_for(self, path: str) -> str:
        """A new empty temporary file (mode 0600) beside ``path``, registered for
        cleanup -- it and every folder made for it -- before it is created, with
        signals held, so that no interrupt can leave one behind."""
        folder = os.path.dirname(os.path.abspath(path))
        missing = []
        d = folder
        while not os.path.isdir(d):
            missing.append(d)
            d = os.path.dirname(d)
        with _signals_held():
            if self not in _live:
                _live.append(self)
            try:
                for m in reversed(missing):
                    self._made_dirs.append(m)
                    try:
                        os.mkdir(m)
                    except OSError:
                        self._made_dirs.pop()       # not ours (or not made): never removed
                        raise
                return self._create_tmp(folder, os.path.basename(path), path)
            except OSError as e:
                raise _write_failed(path, e) from None

    def _create_tmp(self, folder: str, name: str, path: str) -> str:
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
        for _ in range(tempfile.TMP_MAX):
            tmp = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
            self._staged.append((tmp, path))
            try:
                fd = os.open(tmp, flags, 0o600)
            except FileExistsError:
                self._staged.pop()                  # another's file: never removed
                continue
            except OSError:
                self._staged.pop()
                raise
            os.close(fd)
            return tmp
        raise FileExistsError(f"no free temporary file name in {folder}")

    def write_bytes(self, path: str, data: bytes) -> None:
        self.write_with(path, lambda tmp: _write_file(tmp, data))

    def write_text(self, path: str, text: str) -> None:
        self.write_bytes(path, text.encode("utf-8"))

    def write_json(self, path: str, obj, compact_values: bool = False) -> None:
        self.write_text(path, json_text(obj, compact_values))

    def write_with(self, path: str, writer) -> None:
        """Stage ``path`` by calling ``writer(temporary_path)``."""
        tmp = self._tmp_for(path)
        try:
            writer(tmp)
        except OSError as e:
            raise _write_failed(path, e) from None

    def write_files(self, paths: list, writer) -> None:
        """Stage the files ``paths`` together by calling ``writer(*temporary_paths)``
        (all in one call: a model file and its external data, say); they are
        moved into place in the order given. A failed write names the last path."""
        tmps = [self._tmp_for(p) for p in paths]
        try:
            writer(*tmps)
        except OSError as e:
            raise _write_failed(paths[-1], e) from None

    def commit(self) -> list:
        umask = os.umask(0)
        os.umask(umask)
        with _signals_held():
            try:
                for tmp, path in self._staged:
                    os.chmod(tmp, 0o666 & ~umask)   # mkstemp creates 0600
                    os.replace(tmp, path)
            except OSError as e:
                raise _write_failed(path, e) from None
            done = [p for _, p in self._staged]
            self._staged = []
            self._made_dirs = []
            if self in _live:
                _live.remove(self)
        return done

    def abort(self) -> None:
        with _signals_held():
            self._remove_staged()

    def _remove_staged(self) -> None:
        """Remove the temporaries and the folders made for them (signals held)."""
        for tmp, _ in self._staged:
            try:
                os.remove(tmp)
            except OSError:         # gone already (moved into place), or cannot go: go on
                pass
        self._staged = []
        for d in reversed(self._made_dirs):
            try:
                os.rmdir(d)
            except OSError:
                pass
        self._made_dirs = []
        if self in _live:
            _live.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        return False


def _write_file(path: str, data: bytes) -> None:
    with open(path, "wb") as fh:
        fh.write(data)


# Checks of output paths, before any work.

def _existing_ancestor(path: str) -> str:
    d = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(d):
        d = os.path.dirname(d)
    return d


def _creatable_in(folder: str):
    """Why no file can be created in the existing ``folder``, or None (tried, then removed)."""
    with _signals_held():
        try:
            fd, probe = tempfile.mkstemp(prefix=".mivra-probe-", dir=folder)
        except OSError as e:
            return e.strerror or str(e)
        os.close(fd)
        os.remove(probe)
    return None


def check_output_file(label: str, path: str) -> None:
    """``path`` can be written: it is a regular file or absent, and its folder
    exists or can be created, and takes new files."""
    if os.path.isdir(path):
        raise UserError(label, "is a folder", "give a file path")
    if os.path.lexists(path) and not os.path.isfile(path):
        raise UserError(label, "exists and is not a regular file", "give a regular file path")
    base = _existing_ancestor(path)
    if not os.path.isdir(base):
        raise UserError(label, f"{base} is a file, not a folder", "choose a path in a folder")
    why = _creatable_in(base)
    if why:
        raise UserError(label, f"cannot create files in {base} ({why})", "choose a writable folder")


def check_outputs(outputs: list, inputs: list) -> None:
    """Check the files a run will write before it starts.

    ``outputs`` and ``inputs`` are lists of (label, path).  Every output must
    be writable (``check_output_file``), and no two of them, nor an output and
    an input, may be the same file once symbolic links are resolved.
    """
    seen = {}
    for label, path in inputs:
        seen.setdefault(os.path.realpath(path), label)
    for label, path in outputs:
        check_output_file(label, path)
        real = os.path.realpath(path)
        if real in seen:
            raise UserError(label, f"is the same file as {seen[real]}",
                            "give every output its own path, apart from the input files")
        seen[real] = label
