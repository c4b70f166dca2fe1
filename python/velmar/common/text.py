"""Text for people: durations."""


def fmt_duration(s):
    """A duration as 5s, 3m07s or 1h02m; "?" when unknown."""
    if s is None or s != s or s == float("inf"):
        return "?"
    s = int(round(s))
    if s >= 3600:
        return "%dh%02dm" % (s // 3600, s % 3600 // 60)
    if s >= 60:
        return "%dm%02ds" % (s // 60, s % 60)
    return "%ds" % s
