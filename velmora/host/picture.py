"""The picture window of ``velmora-host``, in a process of its own.

The window waits for its user; run here, it leaves the host free to serve the other hotkeys.
Its failures are logged as the host logs them, on the standard error it shares with the host.
The exit status is 0 when the window ran and closed, 1 when it failed.
"""

import sys
import types


def main(argv=None):
    from velmora.host import actions
    from velmora.host import main as host

    argv = sys.argv[1:] if argv is None else argv
    host.setup_logging("--verbose" in argv)
    from velmora import snapTone

    runner = actions.Actions(snapTone, None, types.SimpleNamespace(), None)
    runner.install()
    return 0 if runner.run("edit-picture", {}) else 1


if __name__ == "__main__":
    sys.exit(main())
