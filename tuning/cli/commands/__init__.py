"""The tool's commands, one module per command; each adds its parser with add_parser."""
