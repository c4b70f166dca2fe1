"""The game runner: worker processes with game threads around one inference server."""
