// The commands that take the displayed picture out of the picture window: copy it to the
// clipboard, save it as a time-stamped PNG file in the picture folder, and show the newest
// saved file in the file manager.
#include "snapTone/platform.hpp"
#include "snapTone/snapTone.hpp"
#include "support/sound.hpp"

#include <climits>

namespace velmora::snapTone {

namespace {

const Name n___file__("__file__");
const Name n_path("path");
const Name n_dirname("dirname");
const Name n_abspath("abspath");
const Name n_exists("exists");
const Name n_getctime("getctime");
const Name n_now("now");
const Name n_strftime("strftime");
const Name n_imwrite("imwrite");
const Name n_key("key");
const Name n_replace("replace");
const Name s_all_png("*.png");
const Name s_png(".png");
const Name s_time_stamp("%Y-%m-%d, %I.%M.%S %p");
const Name s_saved_sound("C:\\Windows\\Media\\tada.wav");
const Name s_shown_sound("C:\\Windows\\Media\\Windows Navigation Start.wav");

const KeywordNames key_keyword(n_key);

// `os.path.join(<the picture folder>, <time stamp> + ".png")` for the current local time; while a
// file of that name exists, " (2)", " (3)", ... goes before ".png", so that two saves within one
// second keep both pictures.
Ref new_picture_path() {
    Ref join = os_path(n_join);
    Ref folder = picture_folder();
    Ref now = call(getattr(module.lookup(n_dt), n_now));
    Ref stamp = call_method(now, n_strftime, s_time_stamp);
    Ref name = add(stamp, s_png);
    Ref path = call(join, folder, name);
    for (long number = 2; truthy(call(os_path(n_exists), path)); ++number) {
        check_signals();
        if (number == LONG_MAX) { // every name taken: the count would overflow
            PyErr_Format(PyExc_FileExistsError, "no free file name for \"%S\"", path.get());
            throw_pending();
        }
        name = check(PyUnicode_FromFormat("%S (%ld).png", stamp.get(), number));
        path = call(join, folder, name);
    }
    return path;
}

// The characters a glob pattern reads as patterns, each with the pattern that matches only
// itself; the bracket comes first, so that the brackets put in are not escaped again.
struct GlobLiteral {
    Name magic;
    Name literal;
};
const GlobLiteral glob_literals[] = {
    {Name("["), Name("[[]")}, {Name("*"), Name("[*]")}, {Name("?"), Name("[?]")}};

// `folder` as a glob pattern that matches only itself. A folder name such as "Pictures [old]"
// would otherwise match other folders, or none.
Ref glob_literal(Borrowed folder) {
    Ref escaped = Ref::borrow(folder);
    for (const GlobLiteral& character : glob_literals) {
        escaped = call_method(escaped, n_replace, character.magic, character.literal);
    }
    return escaped;
}

} // namespace

Ref os_path(const Name& name) {
    return getattr(getattr(module.lookup(n_os), n_path), name);
}

Ref module_folder() {
    Ref dirname = os_path(n_dirname);
    Ref abspath = os_path(n_abspath);
    Ref absolute = call(abspath, module.lookup(n___file__));
    return call(dirname, absolute);
}

void copy_picture(Borrowed cv2_main_image) {
    call(module.lookup(n_send_to_clipboard), cv2_main_image);
}

void save_picture(Borrowed cv2_main_image) {
    Ref path = new_picture_path();
    Ref imwrite = getattr(module.lookup(n_cv2), n_imwrite);
    Ref written = call(imwrite, path, cv2_main_image);
    if (!truthy(written)) {
        // The picture stays in the window, so the user can fix the folder and save again.
        PySys_FormatStderr("velmora.snapTone: the picture could not be saved as \"%S\"; "
                           "it is still in the window.\n",
                           path.get());
        return;
    }
    play_sound(module, s_saved_sound, Playback::background);
}

void open_picture_folder() {
    Ref glob = module.lookup(n_glob);
    Ref join = os_path(n_join);
    Ref folder = picture_folder();
    Ref pattern = call(join, glob_literal(folder), s_all_png);
    Ref list_of_files = call(glob, pattern);
    if (truthy(list_of_files)) {
        Ref newest =
            call_with_keywords(captured.max, key_keyword.get(), list_of_files, os_path(n_getctime));
        show_in_file_manager(newest);
        play_sound(module, s_shown_sound, Playback::background);
    } else {
        // With nothing saved yet, the picture folder itself is opened.
        open_with_default_program(folder);
    }
}

} // namespace velmora::snapTone
