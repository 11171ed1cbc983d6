"""python -m vellumark_tools: the vellumark command."""

from .cli import entry_point

entry_point()
