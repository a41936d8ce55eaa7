// The one place where the image module tells the Windows shell from another desktop.
//
// On Windows the picture window is made DPI aware through shcore, so that window and screen
// sizes are physical pixels; a folder is opened with `os.startfile`, and a file is shown
// selected by starting the file explorer through `os.system` with "/select,".
//
// Elsewhere DPI awareness does not exist and is skipped; folders are opened and files shown
// through `velmora._platform.shell` (`open_folder` and `reveal`), which starts the desktop's own
// programs with argument lists, never passes a file name through a shell, and prints what
// failed on standard error. There the window manager does not honour OpenCV's topmost flag, so
// `shell.pin_above` asks it to keep the window above the others and gives the window a class.
// The window is an X11 window: where it has no X display (Wayland without Xwayland),
// `shell.check_window_display` says so before it is made, as OpenCV's GUI would end the process.
// Pictures are saved beside the module file on Windows ("Images"); elsewhere a package's folder
// is no place for a user's files, so they go into the user's pictures folder
// (`shell.picture_folder`).
//
// The choice follows the system the module was built for, unless the module namespace binds
// `_windows_shell` (support/shell.hpp).
#pragma once

#include "support/object.hpp"

namespace velmora::snapTone {

// `ctypes.windll.shcore.SetProcessDpiAwareness(2)` on Windows; nothing elsewhere.
void make_process_dpi_aware(Borrowed ctypes);

// Opens `path` with its default program: `os.startfile(path)` on Windows.
void open_with_default_program(Borrowed path);

// Shows the file `path` selected in the file manager:
// `os.system('explorer /select, "' + path + '"')` on Windows.
void show_in_file_manager(Borrowed path);

// `PIL` as the module binds it: the package itself on Windows; elsewhere the same package whose
// `ImageGrab.grabclipboard` is the desktop layer's reader, which opens PNG only, with a time
// limit and a pixel limit (Pillow's own reader there opens any format with no limit).
Ref pillow_for_this_desktop(Ref pil);

// The folder that saved pictures go into: "Images" beside the module file on Windows;
// elsewhere `velmora._platform.shell.picture_folder()`, in the user's pictures folder.
Ref picture_folder();

// Before the window is made: nothing on Windows; elsewhere raises where the window has no X
// display to open on (on Wayland: no Xwayland), instead of letting OpenCV's GUI end the process.
void check_window_display();

// After the topmost call: nothing on Windows, where that call pins the window; elsewhere the
// window `title` is pinned above the others through the window manager.
void pin_window_above(Borrowed title);

} // namespace velmora::snapTone
