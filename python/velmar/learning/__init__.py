"""Training, its metrics and the training loop."""
