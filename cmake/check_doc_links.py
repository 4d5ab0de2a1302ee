#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Checks every relative link of the project's Markdown pages: the file it
# names exists and, for a link with "#anchor" into a Markdown page, that page
# has a heading with that anchor (as GitHub makes them: lower case, spaces to
# hyphens, punctuation dropped, "-1", "-2" for repeats). Links inside code
# are not links. Prints each broken link and a count; exits 1 if any is broken.
#
#   check_doc_links.py SOURCE_DIR
import glob
import os
import re
import sys

FENCE = re.compile(r"^```.*?^```", re.M | re.S)
INLINE_CODE = re.compile(r"`[^`\n]*`")
LINK = re.compile(r"\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def pages(root):
    found = ["README.md", "CHANGELOG.md", "packaging/README.md"]
    found += sorted(os.path.relpath(p, root) for p in glob.glob(os.path.join(root, "docs", "*.md")))
    return [p for p in found if os.path.exists(os.path.join(root, p))]


def anchors(path):
    seen = {}
    result = set()
    for line in FENCE.sub("", open(path, encoding="utf-8").read()).splitlines():
        m = HEADING.match(line)
        if not m:
            continue
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", m.group(2)).replace("`", "").lower()
        slug = re.sub(r"[^\w\- ]", "", text).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        result.add(slug if n == 0 else f"{slug}-{n}")
    return result


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    checked = broken = 0
    for page in pages(root):
        text = INLINE_CODE.sub("", FENCE.sub("", open(os.path.join(root, page), encoding="utf-8").read()))
        # Indented blocks are code too, but not the continuation lines of lists.
        text = "\n".join(l for l in text.splitlines() if not l.startswith("    ") or l.lstrip()[:1] in "-|[*")
        for target in LINK.findall(text):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue
            checked += 1
            path, _, anchor = target.partition("#")
            dest = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            full = os.path.join(root, dest)
            if not os.path.exists(full):
                print(f"{page}: {target}: no file {dest}")
                broken += 1
            elif anchor and (not dest.endswith(".md") or anchor not in anchors(full)):
                print(f"{page}: {target}: no heading #{anchor} in {dest}")
                broken += 1
    print(f"{checked} relative links checked, {broken} broken")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
