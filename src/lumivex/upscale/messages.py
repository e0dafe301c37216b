"""One-line messages for the user, from exceptions whose text may run over several lines (ONNX Runtime, Ray,
Pillow and PyTorch write whole reports)."""


def first_line(error):
    """The first line of `error`'s message, or the name of its type when it has no message."""
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


class UsageError(ValueError):
    """Input the command cannot work with, found before any work; the message is one line for the user."""
