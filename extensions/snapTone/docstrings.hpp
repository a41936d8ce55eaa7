// The docstrings of the public functions and of the class `MouseHelper`; the first line of
// each function's docstring is its signature.
#pragma once

namespace velmora::snapTone {

inline constexpr const char* doc_pil_image_to_bmp =
    "pil_image_to_bmp(image: PIL.Image.Image) -> bytes\n"
    "\n"
    "    Description:\n"
    "        Converts a PIL image object to a BMP format byte array.\n"
    "    ---\n"
    "    Parameters:\n"
    "        image: A PIL image object.\n"
    "    ---\n"
    "    Returns:\n"
    "        A byte array of the BMP image data.\n"
    "    ---\n"
    "    Raises:\n"
    "        TypeError: If `image` is not a valid PIL image object.\n"
    "    ";

inline constexpr const char* doc_send_to_clipboard =
    "send_to_clipboard(image: np.ndarray | PIL.Image.Image) -> None\n"
    "\n"
    "    Description:\n"
    "        Copies the given image to the clipboard.\n"
    "    ---\n"
    "    Parameters:\n"
    "        - image: The image to be copied to the clipboard. Either a numpy array or a PIL image "
    "object.\n"
    "    ---\n"
    "    Raises:\n"
    "        TypeError: If `image` is not a valid numpy array or PIL image object.\n"
    "    ";

inline constexpr const char* doc_pil_to_cv =
    "pil_to_cv(image: PIL.Image.Image) -> np.ndarray\n"
    "\n"
    "    Description:\n"
    "        Converts a PIL Image to a numpy ndarray in OpenCV format.\n"
    "    ---\n"
    "    Parameters:\n"
    "        - image (PIL.Image.Image): the input PIL Image.\n"
    "    ---\n"
    "    Returns:\n"
    "        np.ndarray: the converted image in OpenCV format.\n"
    "    ";

inline constexpr const char* doc_cv_to_pil =
    "cv_to_pil(cv2_main_image: np.ndarray) -> PIL.Image.Image\n"
    "\n"
    "    Description:\n"
    "        Converts a numpy ndarray in OpenCV format to a PIL Image.\n"
    "    ---\n"
    "    Parameters:\n"
    "        - cv2_main_image (np.ndarray): the input image in OpenCV format.\n"
    "    ---\n"
    "    Returns:\n"
    "        PIL.Image.Image: the converted PIL Image.\n"
    "    ";

inline constexpr const char* doc_image_invert =
    "image_invert(image: PIL.Image.Image) -> None\n"
    "\n"
    "    Description:\n"
    "        Inverts the colors of the input image and sends it to clipboard.\n"
    "    ---\n"
    "    Parameters:\n"
    "        - image (PIL.Image.Image): The image to be inverted.\n"
    "    ";

inline constexpr const char* doc_make_transparent =
    "make_transparent(image: PIL.Image.Image) -> PIL.Image.Image\n"
    "\n"
    "    Description:\n"
    "        Convert image to RGBA and make the background transparent.\n"
    "    ---\n"
    "    Parameters:\n"
    "        - image (PIL.Image.Image): the input image to be made transparent.\n"
    "    ---\n"
    "    Returns:\n"
    "        PIL.Image.Image: the modified image with a transparent background.\n"
    "    ";

inline constexpr const char* doc_life_color_update =
    "life_color_update(cv2_main_image: np.ndarray, x: int, y: int) -> np.ndarray\n"
    "\n"
    "    Description:\n"
    "        Update the top strip of the image to the color of the pixel at (x,y), and put text "
    "displaying the pixel color.\n"
    "    ---\n"
    "    Parameters:\n"
    "        - cv2_main_image (np.ndarray): The OpenCV image array.\n"
    "        \n"
    "        - x (int): The x coordinate of the pixel to use for the top strip color.\n"
    "        \n"
    "        - y (int): The y coordinate of the pixel to use for the top strip color.\n"
    "    ---\n"
    "    Returns:\n"
    "        np.ndarray: The updated OpenCV image array.\n"
    "    ";

inline constexpr const char* doc_BeginImageProcessing =
    "BeginImageProcessing(show_window=False, screen_size=(1920, 1080))";

inline constexpr const char* doc_MouseHelper =
    "\n"
    "    Description:\n"
    "        A class that helps with mouse event handling in OpenCV.\n"
    "    ---\n"
    "    Attributes:\n"
    "        - `x (int)`: The current x-coordinate of the mouse.\n"
    "        - `y (int)`: The current y-coordinate of the mouse.\n"
    "        - `px (int)`: The previous x-coordinate of the mouse.\n"
    "        - `py (int)`: The previous y-coordinate of the mouse.\n"
    "        - `shape (tuple[int, int])`: The shape of the image that the mouse helper is used "
    "with.\n"
    "        - `mouse_selection_start (Union[None, tuple[int, int]])`: The starting point of the "
    "mouse selection for cropping.\n"
    "        - `mouse_selection_end (Union[None, tuple[int, int]])`: The ending point of the mouse "
    "selection for cropping.\n"
    "        - `cropping (bool)`: Whether the user is currently cropping an image or not.\n"
    "        - `drawing (bool)`: Whether the user is currently drawing on an image or not.\n"
    "        - `event (int)`: The type of the current mouse event.\n"
    "    Methods\n"
    "    -------\n"
    "        - update_life_data(event, x, y, flags, param)\n"
    "        \n"
    "        - Updates the state of the mouse helper based on the given mouse event.\n"
    "    ";

inline constexpr const char* doc_MouseHelper___init__ =
    "MouseHelper.__init__(self, tuple shape: tuple)\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        shape : tuple[int, int]\n"
    "            The shape of the image that the mouse helper is used with.\n"
    "        ";

inline constexpr const char* doc_MouseHelper_update_life_data =
    "MouseHelper.update_life_data(self, event: int, x: int, y: int, flags: int, param) -> None\n"
    "\n"
    "        Description:\n"
    "            Updates the state of the mouse helper based on the given mouse event.\n"
    "        ---\n"
    "        Parameters:\n"
    "            - `event (int)`: The type of the current mouse event.\n"
    "            - `x (int)`: The current x-coordinate of the mouse.\n"
    "            - `y (int):` The current y-coordinate of the mouse.\n"
    "            - `flags (int)`: The flags associated with the current mouse event.\n"
    "            - `param (Any)`: Any additional parameters associated with the current mouse "
    "event.\n"
    "        ";

} // namespace velmora::snapTone
