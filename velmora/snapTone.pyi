from typing import Any

import numpy as np
from PIL import Image

__test__: dict[str, object]

def pil_image_to_bmp(image: Image.Image, /) -> bytes: ...
def send_to_clipboard(image: np.ndarray | Image.Image, /) -> None: ...
def pil_to_cv(image: Image.Image, /) -> np.ndarray: ...
def cv_to_pil(cv2_main_image: np.ndarray, /) -> Image.Image: ...
def image_invert(image: Image.Image, /) -> None: ...
def make_transparent(image: Image.Image, /) -> Image.Image: ...

class MouseHelper:
    """Tracks the mouse over the OpenCV window: position, drawing and the crop selection."""

    x: int
    y: int
    px: int
    py: int
    shape: tuple[int, ...]
    mouse_selection_start: tuple[int, int] | None
    mouse_selection_end: tuple[int, int] | None
    cropping: bool
    drawing: bool
    event: int | None
    def __init__(self, shape: tuple[int, ...]) -> None: ...
    def update_life_data(self, event: int, x: int, y: int, flags: int, param: Any) -> None: ...

def life_color_update(cv2_main_image: np.ndarray, x: int, y: int) -> np.ndarray: ...
def BeginImageProcessing(
    show_window: bool = False, screen_size: tuple[int, int] = (1920, 1080)
) -> None: ...
