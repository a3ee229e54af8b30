#!/usr/bin/python3
"""Writes the installed copies of the documents: each Markdown file as
Markdown again and as HTML, with links that work where they are installed.

    md2html.py OUT_DIR FILE.md...

Links to ../examples/ become examples/ (the examples are installed beside
the documents), and in the HTML links to x.md become x.html. Needs Debian's
python3-markdown; heading ids are the lower-case slugs GitHub makes, so the
documents' #anchors hold in both forms.
"""
import html
import os
import re
import sys

import markdown
from markdown.extensions.toc import TocExtension

LINK = re.compile(r"\]\(\.\./examples/")
HREF = re.compile(r'href="([^":#]+)\.md(#[^"]*)?"')


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for path in sys.argv[2:]:
        name = os.path.splitext(os.path.basename(path))[0]
        with open(path, encoding="utf-8") as source:
            text = LINK.sub("](examples/", source.read())
        with open(os.path.join(out, name + ".md"), "w", encoding="utf-8") as copy:
            copy.write(text)
        body = markdown.markdown(text, extensions=[
            "tables", "fenced_code", TocExtension(slugify=slug)])
        body = HREF.sub(lambda m: 'href="%s.html%s"' % (m.group(1), m.group(2) or ""), body)
        title = next((line.lstrip("# ").strip() for line in text.splitlines()
                      if line.startswith("# ")), name)
        with open(os.path.join(out, name + ".html"), "w", encoding="utf-8") as page:
            page.write('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
                       "<title>%s</title>\n</head>\n<body>\n%s\n</body>\n</html>\n"
                       % (html.escape(title), body))


def slug(value, separator):
    # GitHub's: lower case, punctuation dropped, spaces to hyphens.
    value = re.sub(r"[^\w\- ]", "", value.strip().lower())
    return value.replace(" ", separator)


if __name__ == "__main__":
    main()
