"""``python -m trelkin``: the same as the ``trelkin`` command."""

from trelkin.cli import console_main

console_main()
