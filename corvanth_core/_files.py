"""Writing files so that a failure leaves nothing half-written.

The data goes to a temporary file beside the target, is flushed to disk,
and then renamed over the target in one step: readers see the old file or
the new one, never a part of either.

    write_atomically("guard.halvoc", data)
"""

import os
import tempfile


def write_atomically(path: str, data: bytes) -> None:
    """Replace the file at `path` (following a symbolic link to its target)
    with `data`. An existing file keeps its permission bits; a new one gets
    those the umask allows. Raises OSError, with the target unchanged."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target)
    try:
        mode = os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    handle, temporary = tempfile.mkstemp(
        dir=directory, prefix="." + os.path.basename(target) + ".", suffix=".tmp"
    )
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
