"""Checks what the test page reported and writes what OpenSSL verifies: the signed data,
the RSA signatures and the EC signature in DER. Prints the page's timings.
usage: check_report.py REPORT FOLDER RSA_THUMBPRINT EC_THUMBPRINT BROWSER"""
import base64
import json
import pathlib
import sys

report = json.loads(pathlib.Path(sys.argv[1]).read_text())
folder = pathlib.Path(sys.argv[2])
expected = sorted(sys.argv[3:5])
browser = sys.argv[5]


def fail(what):
    print(f"{browser}: {what}")
    sys.exit(1)


if "error" in report:
    fail(f"the page failed: {report['error']}")
if report["thumbprints"] != expected:
    fail(f"listed {report['thumbprints']}, not {expected}")
if report["loggedOut"] != 1:
    fail(f"logout ended {report['loggedOut']} logins")
if report["wrongPin"] != {"code": "WRONG_PIN", "triesLeft": 2}:
    fail(f"a wrong PIN gave {report['wrongPin']}")
for key in ("rsa", "ec"):
    certificate = (folder / f"{key}.der").read_bytes()
    if base64.b64decode(report[key]["certificate"]) != certificate:
        fail(f"the {key} signature came with another certificate")


def der_integer(value):
    value = value.lstrip(b"\0") or b"\0"
    if value[0] & 0x80:
        value = b"\0" + value
    return b"\x02" + bytes([len(value)]) + value


# The token gives r and s side by side; OpenSSL takes SEQUENCE { INTEGER r, INTEGER s }.
raw = base64.b64decode(report["ec"]["signatureB64"])
half = len(raw) // 2
body = der_integer(raw[:half]) + der_integer(raw[half:])
(folder / "ec.sig").write_bytes(b"\x30" + bytes([len(body)]) + body)
for name in ("rsa", "rsa384"):
    (folder / f"{name}.sig").write_bytes(base64.b64decode(report[name]["signatureB64"]))
for name, signature in report["named"].items():
    (folder / f"{name}.sig").write_bytes(base64.b64decode(signature))
(folder / "data").write_bytes(b"signed by a web page through p11agent")
print(f"{browser}: first answer {report['firstAnswerMs']:.1f} ms (host start included), "
      f"median of 50 cached signatures {report['cachedSignMedianMs']:.2f} ms")
