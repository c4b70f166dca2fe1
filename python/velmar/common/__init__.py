"""Shared by every layer: the search settings, the evaluator specification, atomic files."""
