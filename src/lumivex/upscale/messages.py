"""One-line messages for the user, from exceptions whose text may run over several lines (ONNX Runtime, Ray,
Pillow and PyTorch write whole reports), and the one-line refusals of what the user typed."""

import argparse


def first_line(error):
    """The first line of `error`'s message, or the name of its type when it has no message."""
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


class UsageError(ValueError):
    """Input the command cannot work with, found before any work; the message is one line for the user."""


def positive_number(text):
    """A command-line factor: any positive finite number, whole ones as int (argparse's type)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return int(value) if value.is_integer() else value
