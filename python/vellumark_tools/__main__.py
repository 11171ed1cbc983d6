"""python -m vellumark_tools: the vellumark command."""

from .cli import entry_point

if __name__ == "__main__":  # not when a worker process imports the main module
    entry_point()
