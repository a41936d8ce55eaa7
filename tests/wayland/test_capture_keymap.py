"""The typed-character capture decodes with the keymap of the keyboard the compositor uses."""


def test_the_capture_takes_the_compositors_keymap(wdesk):
    import keyboard

    from velmora.host import evdev

    keyboard.send("shift")  # the seat's keyboard is now the tools' own, with its own keymap
    text = evdev.compositor_keymap()
    assert 'xkb_keycodes "velmora"' in text
    assert text == evdev.session_keymap()
