"""Errors raised by kestrim: one base class and one subclass per runtime fault.

Every error carries the five fields of the library's error record:
``number`` (signed 32-bit, e.g. -2147220203 for 0x80040515), ``description``,
``help_file``, ``help_context`` and ``source``.
"""


class MatrixError(Exception):
    """An error of the matrix library. Raised as is for the component's own
    numbered errors (numbers 0x80040515 to 0x80040528)."""

    def __init__(self, number=0, description="", help_file="", help_context=0, source=""):
        super().__init__(description)
        self.number = number
        self.description = description
        self.help_file = help_file
        self.help_context = help_context
        self.source = source

    def __str__(self):
        # The component's descriptions separate number and message with two
        # carriage returns; show them as a line break.
        return self.description.replace("\r\r", "\n").replace("\r", "\n")

    def __reduce__(self):
        return (type(self), (self.number, self.description, self.help_file,
                             self.help_context, self.source))


class MatrixRuntimeError(MatrixError):
    """An error of the runtime layer (numbers 0x800A0000 + the classic runtime number)."""


class MatrixOverflowError(MatrixRuntimeError, OverflowError):
    """Arithmetic overflow ("Overflow", 0x800A0006)."""


class MatrixInvalidOperationError(MatrixRuntimeError, FloatingPointError):
    """Invalid floating-point operation such as 0/0 or inf - inf (0x800A0006)."""


class MatrixZeroDivisionError(MatrixRuntimeError, ZeroDivisionError):
    """Division by zero (0x800A000B)."""


class MatrixSubscriptError(MatrixRuntimeError, IndexError):
    """Subscript out of range (0x800A0009), e.g. elements of a matrix without storage."""


class MatrixTypeMismatchError(MatrixRuntimeError, TypeError):
    """Type mismatch (0x800A000D), e.g. a permutation entry that is not a number."""


class MatrixMemoryError(MatrixRuntimeError, MemoryError):
    """Out of memory (0x800A0007)."""


class MatrixArgumentError(MatrixRuntimeError, ValueError):
    """Invalid procedure call or argument (0x800A0005)."""


class MatrixObjectError(MatrixRuntimeError, TypeError):
    """Object variable not set (0x800A005B): None where a Matrix is required."""
