#!/usr/bin/env python3
"""Reads every trace the test run wrote (FOLDER/*.jsonl and their rotated .1 files) and fails
on anything a trace must never hold: a member an event does not have (so no PIN length, no
hash, no page words can hide under another name), or any secret the tests sent or got (the
PINs, hashes, page words, signatures and certificates the test support noted in
FOLDER/secrets-*.txt, and the test bed's PINs) as text, hex, Base64 or UTF-16.
Usage: scan-traces.py FOLDER"""
import base64
import binascii
import json
import pathlib
import re
import sys

COMMON = {"t", "pid", "event"}
MEMBERS = {
    "start": {"mode", "version", "platform", "settings"},
    "end": {"status"},
    "request": {"cmd", "origin", "module", "thumbprint", "algorithm", "hash", "signature_format", "hash_hex_chars",
                "description_bytes", "challenge_nonce_chars", "pin_given", "pin_prompt"},
    "answer": {"ok", "error", "us"},
    "call": {"fn", "module", "slot", "session", "mechanism", "attributes", "rv", "us"},
    "host": {"what", "module", "executable", "call", "during", "error"},
    "prompt": {"what", "asks", "program", "end", "detail"},
    "picker": {"what", "asks", "program", "end", "detail"},
    "watch": {"what", "module", "slot", "label"},
}
# The PINs of the test bed's tokens and scenarios.
TEST_BED_PINS = ["1234", "0000", "5678", "9876", "2468", "1%2"]
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


def forms(secret):
    """The ways a secret could be written: as it is, in hex, Base64 and UTF-16, and for one
    that is hex or Base64 itself, its bytes in the other."""
    raw = secret.encode("utf-8", "surrogateescape")
    found = {secret, raw.hex(), raw.hex().upper(), base64.b64encode(raw).decode().rstrip("="),
             "".join(c + "\x00" for c in secret)}
    if len(secret) >= 8 and len(secret) % 2 == 0 and re.fullmatch(r"[0-9a-fA-F]+", secret):
        data = bytes.fromhex(secret)
        found |= {secret.lower(), secret.upper(), base64.b64encode(data).decode().rstrip("=")}
    elif len(secret) >= 16 and re.fullmatch(r"[A-Za-z0-9+/]+=*", secret):
        try:
            data = base64.b64decode(secret, validate=True)
            found |= {data.hex(), data.hex().upper()}
        except (binascii.Error, ValueError):
            pass
    return {form for form in found if len(form) >= 4}


WORD = re.compile(r"[0-9A-Za-z]+")
WINDOW = 12


class Finder:
    """Finds the secrets' forms in a text: a long form anywhere, a short one only as a word of
    its own (a 4-digit PIN inside a 40-digit thumbprint is no PIN). Long forms are looked up
    by their first WINDOW characters at each place of the text, so the scan reads each text
    once however many secrets there are."""

    def __init__(self, all_forms):
        self.long = {}
        self.words = {}
        self.other = []
        for form, secret in all_forms.items():
            if len(form) >= WINDOW:
                self.long.setdefault(form[:WINDOW], []).append((form, secret))
            elif WORD.fullmatch(form):
                self.words[form] = secret
            else:
                self.other.append((re.compile(r"(?<![0-9A-Za-z])" + re.escape(form) + r"(?![0-9A-Za-z])"), form, secret))

    def found(self, text):
        for word in set(WORD.findall(text)):
            if word in self.words:
                yield word, self.words[word]
        for pattern, form, secret in self.other:
            if pattern.search(text):
                yield form, secret
        for at in range(len(text) - WINDOW + 1):
            for form, secret in self.long.get(text[at:at + WINDOW], ()):
                if text.startswith(form, at):
                    yield form, secret


def strings(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        for item in value:
            yield from strings(item)
    elif isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from strings(item)


def main(folder):
    folder = pathlib.Path(folder)
    secrets = set(TEST_BED_PINS)
    for noted in folder.glob("secrets-*.txt"):
        secrets |= {line for line in noted.read_text("utf-8", "surrogateescape").splitlines() if len(line) >= 4}
    finder = Finder({form: secret for secret in secrets for form in forms(secret)})
    traces = sorted(folder.glob("*.jsonl")) + sorted(folder.glob("*.jsonl.1"))
    problems, lines = [], 0
    for trace in traces:
        for number, text in enumerate(trace.read_bytes().decode("utf-8", "replace").splitlines(), 1):
            where = f"{trace.name}:{number}"
            try:
                line = json.loads(text)
            except ValueError:
                problems.append(f"{where}: not JSON: {text[:120]}")
                continue
            lines += 1
            event = line.get("event") if isinstance(line, dict) else None
            if event not in MEMBERS or not TIME.match(str(line.get("t"))) or not isinstance(line.get("pid"), int):
                problems.append(f"{where}: not a trace line: {text[:120]}")
                continue
            extra = set(line) - COMMON - MEMBERS[event]
            if extra:
                problems.append(f"{where}: '{event}' has members it never holds: {sorted(extra)}")
            for form, secret in finder.found("\n".join(strings(line))):
                problems.append(f"{where}: holds a secret the tests used ({secret[:16]}...) as {form[:24]!r}")
    for problem in problems[:50]:
        print(problem)
    print(f"{len(traces)} traces, {lines} lines, {len(secrets)} secrets: {len(problems)} problems")
    if lines == 0 and not problems:
        # The cases chosen traced nothing (ctest -R): nothing to scan, which the trace's own
        # tests would have failed on had tracing broken.
        print("no trace was written: the scan has nothing to read, skipped")
        return SKIPPED
    return 1 if problems else 0


# What ctest takes as a skip (SKIP_RETURN_CODE).
SKIPPED = 77

if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
