"""``python -m trelkin``: the same as the ``trelkin`` command."""

from trelkin.cli import main

raise SystemExit(main())
