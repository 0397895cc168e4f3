"""``python -m halvorn``: the command-line front end."""

from halvorn.cli import main

raise SystemExit(main())
