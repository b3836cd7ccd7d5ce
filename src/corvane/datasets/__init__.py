"""Readers of radar data files."""
