"""Learning: what training measures (``metrics``)."""
