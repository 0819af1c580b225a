"""Lumivar: the host program and the offline report worker behind the GUI window."""

__version__ = "0.1.0"
