"""The batched inference server, its transport and its evaluators."""
