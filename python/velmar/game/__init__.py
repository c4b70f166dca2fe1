"""The game as data: the position encoding and wire format, training shards, pictures."""
