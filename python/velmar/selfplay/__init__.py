"""Self-play: the play command, on one machine or on a cluster."""
