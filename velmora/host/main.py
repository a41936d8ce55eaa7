"""velmora-host: global hotkeys and typed-character capture for a desktop session.

The host reads its configuration file, fills the abbreviation and location tables of the
package's ``common`` module, records what the user types into ``ControllerHouse.pressed_chars``
and runs each hotkey's action with the modules' public functions. It runs as an ordinary user,
one host per session, until SIGTERM or Ctrl-C.

On X11 it grabs the hotkeys itself (``x_host``). On Wayland, where no program may, the
compositor's shortcuts run ``velmora-host action NAME``, which asks the running host through
its control socket (``control``, served by both hosts); ``--bindings`` prints those shortcuts
(``wayland_host``, ``bindings``).

SIGHUP, or a change of the configuration file, reloads the configuration: a file with a
problem is reported and the running configuration stays. The picture window runs in a child
process, so that the hotkeys keep answering while it is open.
"""

import argparse
import logging
import os
import sys

from velmora.host import bindings, control
from velmora.host import config as configuration

log = logging.getLogger("velmora-host")
HERE = os.path.dirname(os.path.abspath(__file__))
# Exit statuses besides 0: the session or the host cannot be used, the configuration has a
# problem, the action asked for failed.
NO_SESSION, BAD_CONFIG, FAILED = 1, 2, 1


def arguments(argv):
    parser = argparse.ArgumentParser(
        prog="velmora-host",
        description="Global hotkeys and typed-character capture for the velmora tools.",
        epilog="velmora-host action NAME|--hotkey COMBINATION: asks the running host to run "
        "an action (what a compositor's shortcut runs on Wayland).",
    )
    parser.add_argument(
        "--config",
        metavar="FILE",
        help=f"the configuration file (default: {configuration.default_path()})",
    )
    parser.add_argument(
        "--check",
        action="store_true",
        help="check the configuration file, then exit: 0 when it is valid",
    )
    parser.add_argument(
        "--bindings",
        choices=bindings.FLAVOURS,
        help="print how to bind the configured hotkeys in that Wayland desktop, then exit",
    )
    parser.add_argument(
        "--keyboard",
        metavar="PATH",
        action="append",
        help="on Wayland, read typed characters from this input device (repeatable; "
        "default: every keyboard)",
    )
    parser.add_argument(
        "--verbose",
        "-v",
        action="store_true",
        help="log more: grabs, key matching, typed-character counts",
    )
    commands = parser.add_subparsers(dest="command", metavar="action")
    run = commands.add_parser(
        "action",
        help="ask the running host to run an action, then exit: 0 when it succeeded",
        description="Asks the velmora-host of this session to run an action, as its hotkey "
        "would. Exit status: 0 done, 1 the action failed or no host runs, 2 a usage error.",
    )
    which = run.add_mutually_exclusive_group(required=True)
    which.add_argument("name", nargs="?", help="the action (expand, invert-picture, ...)")
    which.add_argument(
        "--hotkey",
        metavar="COMBINATION",
        help="the configured hotkey whose action runs, with its arguments (keys, open-with)",
    )
    return parser.parse_args(argv)


def setup_logging(verbose):
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(
        logging.Formatter("%(asctime)s velmora-host %(levelname)s: %(message)s", "%H:%M:%S")
    )
    log.handlers[:] = [handler]
    log.setLevel(logging.DEBUG if verbose else logging.INFO)
    log.propagate = False


def load_config(args):
    path = args.config or configuration.default_path()
    if args.config is None and not os.path.exists(path):
        example = os.path.join(HERE, "example-config.toml")
        raise configuration.ConfigError(
            [f"{path}: no configuration file; write one (an example: {example})"]
        )
    return configuration.load(path)


def ask(args):
    """The client: asks the running host, prints its reply; the exit status."""
    asked = {"hotkey": args.hotkey} if args.hotkey is not None else {"action": args.name}
    try:
        ok, message = control.request(asked)
    except control.ControlError as error:
        print(f"velmora-host: {error}", file=sys.stderr)
        return NO_SESSION
    print(message if ok else f"velmora-host: {message}", file=sys.stdout if ok else sys.stderr)
    return 0 if ok else FAILED


def main(argv=None):
    args = arguments(argv)
    if args.command == "action":
        return ask(args)
    setup_logging(args.verbose)
    try:
        config = load_config(args)
    except configuration.ConfigError as error:
        for problem in error.problems:
            print(problem, file=sys.stderr)
        return BAD_CONFIG
    for warning in config.warnings:
        print(warning, file=sys.stderr)
    if args.check:
        print(
            f"{config.path}: valid ({len(config.hotkeys)} hotkeys, "
            f"{len(config.abbreviations)} abbreviations, {len(config.locations)} locations)"
        )
        return 0
    if args.bindings:
        print(bindings.text(args.bindings, config), end="")
        return 0
    if sys.platform != "linux":
        log.error("velmora-host runs in a Linux desktop session")
        return NO_SESSION
    from velmora._platform import wayland

    if os.environ.get("WAYLAND_DISPLAY") and wayland.answers():
        return run_wayland(config, args)
    if not os.environ.get("DISPLAY"):
        log.error(
            "velmora-host needs a Wayland or an X11 session: DISPLAY is not set, and "
            "WAYLAND_DISPLAY names no compositor that answers"
        )
        return NO_SESSION
    return run_x11(config, args)


def run_wayland(config, args):
    from velmora.host import wayland_host

    try:
        return wayland_host.WaylandHost(config, args.verbose, args.keyboard).run()
    except control.AlreadyRunning as error:
        log.error("%s; not starting a second one", error)
    except control.ControlError as error:
        log.error("%s: on Wayland the hotkeys need the control socket", error)
    return NO_SESSION


def run_x11(config, args):
    from Xlib import error as xerror

    from velmora.host import x_host, xserver

    if args.keyboard:
        log.warning("--keyboard is for Wayland; on X11 the X server tells the typed keys")
    try:
        return x_host.XHostRunner(config, args.verbose).run()
    except xerror.ConnectionClosedError as closed:
        log.error("the X server closed the connection: %s", closed)
    except xserver.AlreadyRunning as error:
        log.error("%s; not starting a second one", error)
    except xserver.HostError as error:
        log.error("%s", error)
    return NO_SESSION


if __name__ == "__main__":
    sys.exit(main())
