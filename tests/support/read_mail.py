"""Reads mail files with Python's email package, as an independent reader of what the relay wrote.

Usage: read_mail.py FILE...   Prints one JSON array, one object per file:
  defects      every defect the parser found, on the message, on any part or on any header
               ("where: DefectName: text"), and what the standards forbid: lines longer than 998
               characters, a CR or LF that is not part of CRLF, encoded words longer than 75,
               8-bit bytes in a header, an attached message in base64 or quoted-printable
  headers      [name, decoded value] of the top-level header, in order
  longest_header_line, longest_encoded_word
  tree         the MIME structure, e.g. "multipart/mixed(text/plain,application/pdf)"
  parts        every leaf: path ("1.2.1"), type, parent type, disposition, filename, content_id,
               content_location (as written), charset, cte (the transfer encoding), size, and text
               (decoded, for text/*) or base64 (of the decoded bytes, for the rest); an attached
               message is a leaf too, with its subject and body (its first text part) as
               message_subject and message_body
"""
import base64
import email
import email.policy
import json
import re
import sys

ENCODED_WORD = re.compile(rb"=\?[^?\s]+\?[bBqQ]\?[^?\s]*\?=")


def header_defects(where, part):
    found = []
    for name, value in part.items():
        for defect in getattr(value, "defects", ()):
            found.append("%s header %s: %s: %s" % (where, name, type(defect).__name__, defect))
    return found


def raw_checks(raw, boundaries):
    delimiters = {b"--" + b.encode("ascii", "replace") for b in boundaries}
    found = []
    longest_header = 0
    in_header = True
    for line in raw.split(b"\r\n"):
        if len(line) > 998:
            found.append("line longer than 998 characters: %r..." % line[:60])
        if in_header:
            if line == b"":
                in_header = False
                continue
            longest_header = max(longest_header, len(line))
            if any(b > 127 for b in line):
                found.append("8-bit byte in header line %r" % line[:60])
        elif line.rstrip(b" \t") in delimiters:
            in_header = True  # a part's header follows its delimiter line
    words = ENCODED_WORD.findall(raw)
    longest_word = max((len(w) for w in words), default=0)
    if longest_word > 75:
        found.append("encoded word longer than 75 characters (%d)" % longest_word)
    if b"\n" in raw.replace(b"\r\n", b""):
        found.append("bare line feed")
    if b"\r" in raw.replace(b"\r\n", b""):
        found.append("bare carriage return")
    return found, longest_header, longest_word


def tree(part):
    if part.get_content_maintype() == "message":
        return part.get_content_type()
    if part.is_multipart():
        return "%s(%s)" % (part.get_content_type(), ",".join(tree(p) for p in part.iter_parts()))
    return part.get_content_type()


def leaves(part, path, parent, out, defects):
    defects.extend("part %s: %s: %s" % (path, type(d).__name__, d) for d in part.defects)
    defects.extend(header_defects("part " + path, part))
    cte = str(part.get("Content-Transfer-Encoding", "7bit")).strip().lower()
    if part.get_content_maintype() == "message":
        # RFC 2046 5.2.1: an attached message is never encoded, only 7bit, 8bit or binary.
        if cte not in ("7bit", "8bit", "binary"):
            defects.append("part %s: %s in %s" % (path, part.get_content_type(), cte))
        inner = part.get_payload(0) if part.is_multipart() else None
        body = inner.get_body(("plain",)) if inner is not None else None
        out.append({
            "path": path,
            "type": part.get_content_type(),
            "parent": parent,
            "disposition": part.get_content_disposition(),
            "filename": part.get_filename(),
            "cte": cte,
            "message_subject": inner is not None and str(inner.get("Subject", "")),
            "message_body": body.get_content() if body is not None else "",
        })
        return
    if part.is_multipart():
        for i, child in enumerate(part.iter_parts(), 1):
            leaves(child, "%s.%d" % (path, i), part.get_content_type(), out, defects)
        return
    entry = {
        "path": path,
        "type": part.get_content_type(),
        "parent": parent,
        "disposition": part.get_content_disposition(),
        "filename": part.get_filename(),
        "content_id": part.get("Content-ID") and str(part.get("Content-ID")).strip(),
        "content_location": part.get("Content-Location") and str(part.get("Content-Location")).strip(),
        "charset": part.get_content_charset(),
        "cte": cte,
    }
    payload = part.get_payload(decode=True) or b""
    entry["size"] = len(payload)
    if part.get_content_maintype() == "text":
        try:
            entry["text"] = part.get_content()
        except (LookupError, UnicodeError) as error:
            defects.append("part %s: text cannot be decoded: %s" % (path, error))
    else:
        entry["base64"] = base64.b64encode(payload).decode("ascii")
    out.append(entry)


def read(path):
    with open(path, "rb") as f:
        raw = f.read()
    message = email.message_from_bytes(raw, policy=email.policy.default)
    defects = ["message: %s: %s" % (type(d).__name__, d) for d in message.defects]
    defects.extend(header_defects("message", message))
    parts = []
    if message.is_multipart():
        for i, child in enumerate(message.iter_parts(), 1):
            leaves(child, "1.%d" % i, message.get_content_type(), parts, defects)
    else:
        leaves(message, "1", "", parts, defects)
    boundaries = [p.get_boundary() for p in message.walk() if p.is_multipart() and p.get_boundary()]
    found, longest_header, longest_word = raw_checks(raw, boundaries)
    defects.extend(found)
    return {
        "file": path,
        "defects": defects,
        "headers": [[name, str(value)] for name, value in message.items()],
        "longest_header_line": longest_header,
        "longest_encoded_word": longest_word,
        "tree": tree(message),
        "parts": parts,
    }


def main():
    json.dump([read(path) for path in sys.argv[1:]], sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
