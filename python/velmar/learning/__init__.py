"""Training and the training loop."""
