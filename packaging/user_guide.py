#!/usr/bin/env python3
"""The text files the Windows packages hold: README.txt, the user's guide cut
from README.md (the parts between "<!-- user guide -->" and "<!-- end of user
guide -->", pictures left out, links as plain text), and LICENSE.txt and
RUNNING.txt as they are; all with Windows line ends, without which Notepad
before Windows 10 shows each file as one line, and text beyond ASCII marked
as UTF-8 (a byte-order mark), which that Notepad otherwise may misread.

Usage: user_guide.py SOURCE_DIR OUT_DIR VERSION"""

import os
import re
import sys

BEGIN = "<!-- user guide -->"
END = "<!-- end of user guide -->"


def user_guide(markdown, version):
    """README.txt's text, with "\\n" line ends. A marker is a line of its own."""
    parts = []
    part = None
    for line in markdown.split("\n"):
        if line.strip() == BEGIN and part is None:
            part = []
        elif line.strip() == END and part is not None:
            parts.append("\n".join(part).strip("\n"))
            part = None
        elif part is not None:
            part.append(line)
    if part is not None:
        raise ValueError("a user guide part has no end marker")
    if not parts:
        raise ValueError("README.md marks no user guide")
    text = "\n\n".join(parts)
    # A picture alone on its line goes; one in a table cell leaves its words.
    text = re.sub(r"^!\[[^\]]*\]\([^)]*\)\n\n?", "", text, flags=re.M)
    text = re.sub(r"!\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"\[([^\]]*)\]\((?!https?:)[^)]*\)", r"\1", text)
    text = re.sub(r"\n{3,}", "\n\n", text)
    title = f"Varnel {version}: the user's guide"
    return f"{title}\n{'=' * len(title)}\n\n{text}\n"


def windows_text(text):
    data = text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")
    return data if data.isascii() else b"\xef\xbb\xbf" + data


def main():
    source, out, version = sys.argv[1:4]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        files = {"README.txt": user_guide(f.read(), version)}
    for packed, original in (("LICENSE.txt", "LICENSE"), ("RUNNING.txt", "packaging/RUNNING.txt")):
        with open(os.path.join(source, original), encoding="utf-8") as f:
            files[packed] = f.read()
    for name, text in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(windows_text(text))
    return 0


if __name__ == "__main__":
    sys.exit(main())
