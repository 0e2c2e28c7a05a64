"""All-or-nothing writing of a run's output files.

Every file is first written to a temporary file in its destination folder;
only when all of them have been written are they moved into place with
``os.replace`` (atomic per file on POSIX).  If anything fails before that, the
temporaries are removed and no output file -- old or new -- is touched.
Folders created for the outputs are removed again when they stay empty.
"""
from __future__ import annotations

import json
import os
import tempfile



class StagedOutputs:
    def __init__(self):
        self._staged = []          # (temporary path, final path)
        self._made_dirs = []

    def _tmp_for(self, path: str) -> str:
        folder = os.path.dirname(os.path.abspath(path))
        missing = []
        d = folder
        while not os.path.isdir(d):
            missing.append(d)
            d = os.path.dirname(d)
        os.makedirs(folder, exist_ok=True)
        self._made_dirs.extend(reversed(missing))
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
        os.close(fd)
        self._staged.append((tmp, path))
        return tmp

    def write_bytes(self, path: str, data: bytes) -> None:
        tmp = self._tmp_for(path)
        with open(tmp, "wb") as fh:
            fh.write(data)

    def write_text(self, path: str, text: str) -> None:
        self.write_bytes(path, text.encode("utf-8"))

    def write_json(self, path: str, obj) -> None:
        self.write_text(path, json.dumps(obj, indent=1) + "\n")

    def write_with(self, path: str, writer) -> None:
        """Stage ``path`` by calling ``writer(temporary_path)``."""
        writer(self._tmp_for(path))

    def commit(self) -> list:
        umask = os.umask(0)
        os.umask(umask)
        for tmp, path in self._staged:
            os.chmod(tmp, 0o666 & ~umask)   # mkstemp creates 0600
            os.replace(tmp, path)
        done = [p for _, p in self._staged]
        self._staged = []
        self._made_dirs = []
        return done

    def abort(self) -> None:
        for tmp, _ in self._staged:
            try:
                os.remove(tmp)
            except FileNotFoundError:
                pass
        self._staged = []
        for d in reversed(self._made_dirs):
            try:
                os.rmdir(d)
            except OSError:
                pass
        self._made_dirs = []

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        return False
