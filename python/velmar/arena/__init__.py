"""Matches between players and their results."""
