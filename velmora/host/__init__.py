"""velmora-host: the tools on a Linux X11 desktop, driven by hotkeys and typed words.

``main`` is the command line; ``config`` reads the configuration file; ``xserver`` holds the
hotkeys and the one-host-per-display lock; ``capture`` records typed characters; ``actions``
calls the modules.
"""
