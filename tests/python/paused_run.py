"""A run of the command that stops where a test says, until the test lets it go.

    python -c "import paused_run; paused_run.main()" ARGS...

with PAUSE_AT naming a function ("module:attribute", such as
"vellumark_tools.output:Output.copy_from"), PAUSE_DIR a directory and,
optionally, PAUSE_MATCH: only a call with an argument whose text contains it
stops. A process that stops creates PAUSE_DIR/stopped-PID and waits until
PAUSE_DIR/go exists; a signal ends the wait as it would end the work. Worker
processes stop too: the forkserver imports this module before it forks them.
Without PAUSE_AT the run is the command as it is. FORKSERVER_FAILS=1 makes
worker processes impossible to start.
"""

import functools
import importlib
import multiprocessing
import os
import time


def _install() -> None:
    point = os.environ.get("PAUSE_AT")
    if not point:
        return
    module_name, attribute = point.split(":")
    owner = importlib.import_module(module_name)
    *path, name = attribute.split(".")
    for part in path:
        owner = getattr(owner, part)
    original = getattr(owner, name)
    directory, match = os.environ["PAUSE_DIR"], os.environ.get("PAUSE_MATCH", "")

    @functools.wraps(original)
    def paused(*args, **kwargs):
        if match in " ".join(map(str, args)):
            open(os.path.join(directory, f"stopped-{os.getpid()}"), "w").close()
            while not os.path.exists(os.path.join(directory, "go")):
                time.sleep(0.01)
        return original(*args, **kwargs)

    setattr(owner, name, paused)


def _fail_in_a_forkserver() -> None:
    """FORKSERVER_FAILS=1: the forkserver dies as it starts, as one does whose
    interpreter cannot read what it needs; the run itself is left alone."""
    if os.environ.get("FORKSERVER_FAILS") and os.environ.get("PAUSED_RUN") not in (None, str(os.getpid())):
        raise RuntimeError("this forkserver cannot start")


_install()
_fail_in_a_forkserver()


def stopped(directory) -> list:
    """The IDs of the processes stopped so far."""
    return sorted(int(n[len("stopped-"):]) for n in os.listdir(directory) if n.startswith("stopped-"))


def main() -> None:
    os.environ["PAUSED_RUN"] = str(os.getpid())  # the run, which a forkserver it starts is not
    multiprocessing.get_context("forkserver").set_forkserver_preload([__name__])
    from vellumark_tools.cli import entry_point

    entry_point()
