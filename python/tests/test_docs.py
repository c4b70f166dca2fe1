"""The README is a short front door to docs/: every page is linked from it,
and every relative link of the README and docs/ reaches a file and, where
it names one, a heading of that file."""

import os
import re

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOCS = os.path.join(REPO, "docs")
LINK = re.compile(r"\]\(([^)\s]+)\)")
FENCE = re.compile(r"^```.*?^```", re.S | re.M)


def pages():
    return ["README.md"] + sorted(os.path.join("docs", f) for f in os.listdir(DOCS)
                                  if f.endswith(".md"))


def read(page):
    with open(os.path.join(REPO, page), encoding="utf-8") as f:
        return f.read()


def anchors(text):
    """The anchors a heading gets on a rendered page: lower case, spaces to
    hyphens, punctuation other than hyphens and underscores dropped."""
    out = set()
    for line in FENCE.sub("", text).splitlines():
        if line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            out.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return out


def test_slug_of_a_heading():
    assert anchors("# A (`--threads T`) page\n```\n# not a heading\n```\n## `pip install .`\n") \
        == {"a---threads-t-page", "pip-install-"}


def test_readme_is_short_and_links_every_page():
    text = read("README.md")
    assert len(text.splitlines()) <= 200
    linked = {os.path.normpath(t.split("#")[0]) for t in LINK.findall(text)}
    missing = [p for p in pages()[1:] if p not in linked]
    assert not missing, "pages of docs/ the README does not link: %s" % missing


@pytest.mark.parametrize("page", pages())
def test_relative_links_reach_their_target(page):
    text = read(page)
    broken = []
    for target in LINK.findall(FENCE.sub("", text)):
        if re.match(r"[a-z]+:", target):
            continue  # an address elsewhere
        path, _, anchor = target.partition("#")
        full = os.path.normpath(os.path.join(REPO, os.path.dirname(page), path)) if path \
            else os.path.join(REPO, page)
        if not os.path.exists(full):
            broken.append(target)
        elif anchor and anchor not in anchors(read(os.path.relpath(full, REPO))):
            broken.append(target)
    assert not broken, "%s: broken links %s" % (page, broken)
