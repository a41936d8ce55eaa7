// The docstrings of the public functions; the first line of each is its signature, which the
// build checks against the entry table.
#pragma once

namespace velmora::strokeSmith {

inline constexpr const char* doc_SimulateKeyPress =
    "SimulateKeyPress(int key_id, int key_scancode=0, int times=1) -> void\n"
    "\n"
    "    Description:\n"
    "        Simulates key press by sending the specified key for the specified number of times.\n"
    "    ---\n"
    "    Parameters:\n"
    "        `key_id -> int`: the id of the key.\n"
    "        `key_scancode -> int`: the scancode of the key. Optional.\n"
    "        `times -> int`: the number of times the key should be pressed.\n"
    "    ";

inline constexpr const char* doc_SimulateKeyPressSequence =
    "SimulateKeyPressSequence(tuple keys_list, float delay=0.2) -> void\n"
    "\n"
    "    Description:\n"
    "        Simulating a sequence of key presses.\n"
    "    ---\n"
    "    Parameters:\n"
    "        - `keys_list -> tuple[tuple[int, int] | tuple[Any, Callable[[Any], None]]]`:\n"
    "            - Two numbers representing the keyID and the scancode, or\n"
    "            - A key and a function that is used to send this key.\n"
    "        \n"
    "        - `delay -> float`: The delay between key presses.\n"
    "    ";

inline constexpr const char* doc_FindAndSendKeysToWindow =
    "FindAndSendKeysToWindow(str target_className, key, send_function) -> void\n"
    "\n"
    "    Description:\n"
    "        Searches for a window with the specified class name, and, if found, sends the "
    "specified key using the passed function.\n"
    "    ---\n"
    "    Parameters:\n"
    "        `target_className -> str`:\n"
    "            The class name of the target window.\n"
    "        \n"
    "        `key -> Any`:\n"
    "            A key that is passed to the `send_function`.\n"
    "        \n"
    "        `send_function -> Callable[[Any], None]`:\n"
    "            A function that simulates the specified key.\n"
    "    ";

inline constexpr const char* doc_SimulateHotKeyPress =
    "SimulateHotKeyPress(dict keys_id_dict) -> void\n"
    "\n"
    "    Description:\n"
    "        Simulates hotkey press by sending a keyDown event for each of the specified keys and "
    "then sending keyUp events.\n"
    "    ---\n"
    "    Parameters:\n"
    "        `keys_id_dict -> dict(int, int)`:\n"
    "            Holds the `keyID` and `scancode` of the specified keys.\n"
    "    ";

inline constexpr const char* doc_GetCaretPosition =
    "GetCaretPosition(str text, str caret='{!}') -> int\n"
    "Returns the position of the caret in the given text.";

inline constexpr const char* doc_SendTextWithCaret =
    "SendTextWithCaret(str text, str caret='{!}') -> void\n"
    "\n"
    "    Description:\n"
    "        - Sends (writes) the specified string to the active window.\n"
    "        - If the string contains one or more carets:\n"
    "            - The first caret will be deleted, and\n"
    "            - The keyboard cursor will be placed where the deleted caret was.\n"
    "    ";

inline constexpr const char* doc_ExpandText =
    "ExpandText() -> void\n"
    "Replacing an abbreviated text with its respective substitution specified by the pressed "
    "characters `ctrlHouse.pressed_chars`.";

inline constexpr const char* doc_OpenLocation =
    "OpenLocation() -> void\n"
    "Opens a file or a directory specified by the pressed characters `ctrlHouse.pressed_chars`.";

inline constexpr const char* doc_CrudeOpenWith =
    "CrudeOpenWith(int tool_number=4, int prog_index=0) -> void\n"
    "\n"
    "        Description:\n"
    "            A crude way for opening a program by using the `open` tool from the `Quick Access "
    "Toolbar`.\n"
    "        ---\n"
    "        Parameters:\n"
    "            `tool_number -> int`:\n"
    "                The number associated with the `open` tool in the `Quick Access Toolbar`.\n"
    "                To find it, press the alt key while selecting a file in the windows "
    "explorer.\n"
    "            \n"
    "            `prog_index -> int`:\n"
    "                The index of the program in the `open` tool dropdown menu.\n"
    "    ";

} // namespace velmora::strokeSmith
