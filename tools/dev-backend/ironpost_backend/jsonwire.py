"""JSON reading with byte spans, and JSON writing the plugin's small reader can decode.

Request bodies are decoded as latin-1 so that one character is one byte: the
raw bytes of a member (the envelope payload, whose hash is signed) can then be
cut out exactly, and decoded strings turn back into the plugin's bytes.
"""

import json
import json.decoder


class JsonWireError(ValueError):
    pass


def _reject_constant(name):
    raise ValueError("non-finite number " + name)


_DECODER = json.JSONDecoder(strict=False, parse_constant=_reject_constant)
_WHITESPACE = " \t\n\r"


def _skip(text, index):
    while index < len(text) and text[index] in _WHITESPACE:
        index += 1
    return index


def parse_object_members(body):
    """Top-level members of a JSON object as (name, value, start, end) with byte offsets of the raw value.

    Strings come back as latin-1 ``str`` (one character per byte).  Raises
    JsonWireError for anything that is not exactly one JSON object.
    """
    text = body.decode("latin-1")
    try:
        index = _skip(text, 0)
        if index >= len(text) or text[index] != "{":
            raise JsonWireError("body is not a JSON object")
        index = _skip(text, index + 1)
        members = []
        if index < len(text) and text[index] == "}":
            index += 1
        else:
            while True:
                if index >= len(text) or text[index] != '"':
                    raise JsonWireError("expected a member name at byte %d" % index)
                name, index = json.decoder.scanstring(text, index + 1, False)
                index = _skip(text, index)
                if index >= len(text) or text[index] != ":":
                    raise JsonWireError("expected ':' at byte %d" % index)
                index = _skip(text, index + 1)
                value, end = _DECODER.raw_decode(text, index)
                members.append((name, value, index, end))
                index = _skip(text, end)
                if index < len(text) and text[index] == ",":
                    index = _skip(text, index + 1)
                    continue
                if index < len(text) and text[index] == "}":
                    index += 1
                    break
                raise JsonWireError("expected ',' or '}' at byte %d" % index)
        if _skip(text, index) != len(text):
            raise JsonWireError("trailing bytes after the JSON object")
        return members
    except JsonWireError:
        raise
    except RecursionError:
        raise JsonWireError("JSON nesting is too deep")
    except (ValueError, IndexError) as error:
        raise JsonWireError(str(error))


def parse_object(body):
    """A JSON object body as a dict; duplicate member names are refused rather than silently merged."""
    members = parse_object_members(body)
    result = {}
    for name, value, _, _ in members:
        if name in result:
            raise JsonWireError("member " + json.dumps(name) + " appears more than once")
        result[name] = value
    return result


def to_bytes(text):
    """A decoded JSON string back to the plugin's bytes; escapes above \\u00ff cannot come from the plugin."""
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        raise JsonWireError("string holds a \\u escape above \\u00ff")


# --- answers -----------------------------------------------------------------

_ANSWER_ESCAPES = {0x22: b'\\"', 0x5C: b"\\\\", 0x08: b"\\b", 0x0C: b"\\f", 0x0A: b"\\n",
                   0x0D: b"\\r", 0x09: b"\\t"}


def _answer_string(value):
    data = value if isinstance(value, bytes) else value.encode("latin-1", "replace")
    out = bytearray(b'"')
    for byte in data:
        escape = _ANSWER_ESCAPES.get(byte)
        if escape is not None:
            out += escape
        else:
            out.append(byte)
    out += b'"'
    return bytes(out)


def answer_bytes(value):
    """Compact JSON for answers.

    The plugin's string reader decodes only the two-character escapes and
    refuses "\\u", so other bytes are written raw: echoed identifiers then come
    back to the plugin byte for byte.
    """
    if value is None:
        return b"null"
    if value is True:
        return b"true"
    if value is False:
        return b"false"
    if isinstance(value, int):
        return str(value).encode("ascii")
    if isinstance(value, (str, bytes)):
        return _answer_string(value)
    if isinstance(value, dict):
        return b"{" + b",".join(_answer_string(k) + b":" + answer_bytes(v) for k, v in value.items()) + b"}"
    if isinstance(value, (list, tuple)):
        return b"[" + b",".join(answer_bytes(v) for v in value) + b"]"
    raise TypeError("cannot render %r" % (value,))
