#!/usr/bin/env python3
"""Validate Sentry event documents against the event JSON schema.

Usage: check_sentry_event.py SCHEMA FILE...

Every error is printed as "FILE: JSON-PATH: message". Exits 0 when every
file validates, 1 when one does not (or cannot be read), 2 on usage errors
(wrong arguments, an unreadable or invalid schema).
"""

import json
import sys

try:
    import jsonschema
    from jsonschema import validators
except ImportError:  # pragma: no cover - depends on the machine
    jsonschema = None

MAX_MESSAGE = 300


def usage(message):
    print("check_sentry_event.py: " + message, file=sys.stderr)
    print("usage: check_sentry_event.py SCHEMA FILE...", file=sys.stderr)
    return 2


def shorten(text):
    return text if len(text) <= MAX_MESSAGE else text[:MAX_MESSAGE] + "..."


def json_path(error):
    """The error's place as "$.a.b[0]" (jsonschema before 4.0 lacks json_path)."""
    path = getattr(error, "json_path", None)
    if path is not None:
        return path
    text = "$"
    for part in error.absolute_path:
        text += f"[{part}]" if isinstance(part, int) else f".{part}"
    return text


def wrong_type_only(errors):
    """A branch of an anyOf that wanted another type for the value itself
    (the "or null" alternatives): it was not the branch meant."""
    return all(e.validator == "type" and not e.relative_path for e in errors)


def depth(errors):
    return max(len(e.absolute_path) for e in errors)


def leaf_errors(error):
    """The errors that say what is wrong: an anyOf whose alternatives all
    failed is followed into the alternative the value was most likely meant
    for, so an error deep inside the event is not reported as "the event is
    not valid under any of the given schemas"."""
    if error.validator not in ("anyOf", "oneOf") or not error.context:
        return [error]
    branches = {}
    for sub in error.context:
        branches.setdefault(sub.relative_schema_path[0], []).append(sub)
    candidates = [errors for errors in branches.values() if not wrong_type_only(errors)]
    if not candidates:
        return [error]
    chosen = max(candidates, key=lambda errors: (depth(errors), -len(errors)))
    leaves = []
    for sub in chosen:
        leaves.extend(leaf_errors(sub))
    return leaves


def check_file(validator, path):
    try:
        with open(path, encoding="utf-8") as handle:
            instance = json.load(handle)
    except (OSError, ValueError) as problem:
        print(f"{path}: $: cannot read JSON: {problem}")
        return False
    valid = True
    seen = set()
    for error in sorted(validator.iter_errors(instance), key=lambda e: list(map(str, e.absolute_path))):
        for leaf in leaf_errors(error):
            line = f"{path}: {json_path(leaf)}: {shorten(leaf.message)}"
            if line not in seen:
                seen.add(line)
                print(line)
            valid = False
    return valid


def main(argv):
    if len(argv) < 3:
        return usage("a schema and at least one file are needed")
    if jsonschema is None:
        return usage("the Python module jsonschema is not installed")
    try:
        with open(argv[1], encoding="utf-8") as handle:
            schema = json.load(handle)
    except (OSError, ValueError) as problem:
        return usage(f"cannot read the schema {argv[1]}: {problem}")
    # The draft named by the schema's "$schema"; its "#/definitions/..."
    # references resolve against the schema document itself.
    cls = validators.validator_for(schema)
    try:
        cls.check_schema(schema)
    except jsonschema.exceptions.SchemaError as problem:
        return usage(f"invalid schema {argv[1]}: {shorten(problem.message)}")
    format_checker = getattr(cls, "FORMAT_CHECKER", None) or jsonschema.FormatChecker()
    validator = cls(schema, format_checker=format_checker)
    results = [check_file(validator, path) for path in argv[2:]]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
