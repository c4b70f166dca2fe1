"""The policy/value network: weights, the NumPy forward pass, the PyTorch module."""
