"""``python -m velmor``: the same as the ``velmor`` command."""

from velmor.cli import main

raise SystemExit(main())
