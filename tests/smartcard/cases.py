#!/usr/bin/env python3
"""The agent with a real smart-card stack: OpenSC reads the emulated card through pcscd.

usage: cases.py AGENT STACK_SCRIPT STACK_DIR CARD_PROGRAM FAKE_MODULE
The stack runs already (STACK_SCRIPT start). Prints "smartcard <case>: Done" or
"smartcard <case>: FAILED (<what>)" per case; the cases run in order, because the
wrong-PIN case blocks the card and the last case starts a card of its own.
"""
import base64
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

AGENT, STACK, DIR, CARD_PROGRAM, FAKE_MODULE = sys.argv[1:6]
PIN = "123456"
WRONG = "000000"
DIGEST = hashlib.sha256(b"signed on a smart card").digest()
# RSA keys sign a DigestInfo: the SHA-256 prefix, then the digest.
HASH_HEX = "3031300d060960864801650304020105000420" + DIGEST.hex()
NOT_FOUND = {"error": "certificate not found on any connected token", "ok": False}
ANSWER_SECONDS = 60


class CaseFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CaseFailed(what)


def stack(*args):
    subprocess.run([STACK, *args], check=True, stdout=subprocess.DEVNULL)


def card_der():
    pem = subprocess.run(["openssl", "x509", "-in", f"{DIR}/card.pem", "-outform", "DER"],
                         check=True, capture_output=True).stdout
    return pem


def thumbprint():
    return hashlib.sha1(card_der()).hexdigest()


def card_log_lines():
    """The PINs the card was sent so far (not its answers to "how many tries are left"),
    for counting what one request cost."""
    with open(f"{DIR}/card.log") as log:
        return [line.strip() for line in log if line.startswith("pin ") and "asked" not in line]


def pin_checks_during(action):
    before = len(card_log_lines())
    result = action()
    return result, card_log_lines()[before:]


def oneshot(request):
    done = subprocess.run([AGENT], input=json.dumps(request).encode(), capture_output=True,
                          timeout=ANSWER_SECONDS)
    answer = json.loads(done.stdout)
    expect(done.returncode == (0 if answer.get("ok") else 1), f"exit status {done.returncode} for {answer}")
    return answer


def verifies(answer):
    """The signature checks out against the card's certificate, as a caller checks it."""
    expect(answer.get("ok") is True, f"sign: {answer}")
    expect(base64.b64decode(answer["cert_der_b64"]) == card_der(), "sign: another certificate")
    with tempfile.TemporaryDirectory() as work:
        key, signature = f"{work}/key.pem", f"{work}/signature"
        subprocess.run(["openssl", "x509", "-in", f"{DIR}/card.pem", "-pubkey", "-noout", "-out", key], check=True)
        with open(signature, "wb") as out:
            out.write(bytes.fromhex(answer["signature_hex"]))
        checked = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", key, "-pkeyopt",
                                  "digest:sha256", "-sigfile", signature], input=DIGEST, capture_output=True)
        expect(checked.returncode == 0, f"the signature does not verify: {checked.stdout!r}")


class Served:
    """One `serve` (or browser host) process, one request at a time."""

    def __init__(self, *args, framed=False, env=None):
        self.framed = framed
        self.process = subprocess.Popen([AGENT, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        # A case that failed half-way leaves no agent behind.
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def __call__(self, request):
        text = json.dumps(request).encode()
        if self.framed:
            self.process.stdin.write(struct.pack("<I", len(text)) + text)
        else:
            self.process.stdin.write(text + b"\n")
        self.process.stdin.flush()
        return self.read()

    def read(self):
        if self.framed:
            length = struct.unpack("<I", self.process.stdout.read(4))[0]
            return json.loads(self.process.stdout.read(length))
        return json.loads(self.process.stdout.readline())

    def unasked(self, seconds):
        """What the agent writes unasked (an event), or None after `seconds`."""
        said = []
        reader = threading.Thread(target=lambda: said.append(self.read()), daemon=True)
        reader.start()
        reader.join(seconds)
        return said[0] if said else None

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=ANSWER_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise CaseFailed("the agent did not end with its input")
        expect(self.process.returncode == 0, f"the agent ended with {self.process.returncode}")


def sign_request(pin=PIN):
    return {"cmd": "sign", "thumbprint": thumbprint(), "hash_hex": HASH_HEX, "pin": pin}


def validate_request(pin=PIN):
    return {"cmd": "validate", "thumbprint": thumbprint(), "pin": pin}


def oneshot_lists_finds_and_signs():
    listed = oneshot({"cmd": "list_certs"})
    ders = [base64.b64decode(cert["der_b64"]) for cert in listed.get("certs", [])]
    expect(card_der() in ders, f"list_certs: the card's certificate is missing: {listed}")
    found = oneshot({"cmd": "find_cert", "thumbprint": thumbprint()})
    expect(found.get("ok") is True and found["module"].endswith("opensc-pkcs11.so"), f"find_cert: {found}")
    answer, checks = pin_checks_during(lambda: oneshot(sign_request()))
    verifies(answer)
    expect(checks == ["pin accepted"], f"sign: the card saw {checks}")


def openssl_reads(*options):
    return subprocess.run(["openssl", "x509", "-in", f"{DIR}/card.pem", "-noout", *options],
                          check=True, capture_output=True, text=True).stdout


def details_are_what_openssl_reads():
    """list_certs with details, in both modes, against OpenSSL's own reading of the card's
    certificate: validity, key type and size, names."""
    import datetime
    dates = dict(line.split("=", 1) for line in openssl_reads("-startdate", "-enddate").splitlines())
    def rfc3339(text):
        when = datetime.datetime.strptime(text.strip(), "%b %d %H:%M:%S %Y %Z")
        return when.strftime("%Y-%m-%dT%H:%M:%SZ")
    text = openssl_reads("-text")
    bits = int(text.split("Public-Key: (", 1)[1].split(" bit", 1)[0])
    key_type = "EC" if "id-ecPublicKey" in text else "RSA"
    common_name = openssl_reads("-subject", "-nameopt", "RFC2253").split("CN=", 1)[1].split(",", 1)[0].strip()
    with Served("serve") as served:
        answers = [oneshot({"cmd": "list_certs", "details": True}), served({"cmd": "list_certs", "details": True})]
    for answer in answers:
        card = [cert for cert in answer.get("certs", []) if cert.get("thumbprint") == thumbprint()]
        expect(len(card) == 1, f"list_certs details: the card's certificate is missing: {answer}")
        cert = card[0]
        expected = {"not_before": rfc3339(dates["notBefore"]), "not_after": rfc3339(dates["notAfter"]),
                    "key_type": key_type, "key_bits": bits}
        for name, value in expected.items():
            expect(cert.get(name) == value, f"list_certs details: {name} is {cert.get(name)}, OpenSSL reads {value}")
        expect(cert["subject"].startswith(f"CN={common_name}"), f"list_certs details: subject {cert['subject']}")
        expect(cert["token_label"] != "", f"list_certs details: no token label: {cert}")


def named_algorithms_as_opensc_reports_them():
    """find_cert's algorithms follow the mechanisms OpenSC lists for the card; an RSA-PSS
    signature verifies where it offers one, and is refused with no PIN sent to the card
    where it does not."""
    found = oneshot({"cmd": "find_cert", "thumbprint": thumbprint(), "details": True})
    algorithms = found.get("algorithms")
    expect(isinstance(algorithms, list) and algorithms, f"find_cert details: {found}")
    listed = subprocess.run(["pkcs11-tool", "--module", found["module"], "--list-mechanisms"],
                            capture_output=True, text=True, timeout=ANSWER_SECONDS).stdout
    offers_pss = any(name.startswith("RSA-PSS/") for name in algorithms)
    expect(offers_pss == ("RSA-PKCS-PSS" in listed), f"algorithms {algorithms} against OpenSC's list: {listed}")
    expect(("RSA-PKCS1" in algorithms) == ("RSA-PKCS," in listed or "RSA-PKCS\n" in listed),
           f"algorithms {algorithms} against OpenSC's list: {listed}")
    request = {**sign_request(), "hash_hex": DIGEST.hex(), "algorithm": "RSA-PSS", "hash": "SHA-256"}
    answer, checks = pin_checks_during(lambda: oneshot(request))
    if not offers_pss:
        expect(answer.get("error", "").startswith("ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256 ("), f"PSS: {answer}")
        expect(checks == [], f"a refused PSS signature sent the card {checks}")
        return
    expect(answer.get("ok") is True and checks == ["pin accepted"], f"PSS: {answer}, the card saw {checks}")
    with tempfile.TemporaryDirectory() as folder:
        with open(f"{folder}/data", "wb") as data, open(f"{folder}/sig", "wb") as signature:
            data.write(b"signed on a smart card")
            signature.write(bytes.fromhex(answer["signature_hex"]))
        public = subprocess.run(["openssl", "x509", "-in", f"{DIR}/card.pem", "-pubkey", "-noout"],
                                check=True, capture_output=True).stdout
        with open(f"{folder}/public.pem", "wb") as key:
            key.write(public)
        checked = subprocess.run(["openssl", "dgst", "-sha256", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                                  "rsa_pss_saltlen:32", "-verify", f"{folder}/public.pem", "-signature",
                                  f"{folder}/sig", f"{folder}/data"], capture_output=True)
        expect(checked.returncode == 0, f"the PSS signature does not verify: {checked.stdout} {checked.stderr}")


def serve_checks_the_pin_once():
    with Served("serve") as served:
        (first, cached), checks = pin_checks_during(lambda: (served(validate_request()), served(validate_request())))
        expect(first == {"ok": True} and cached == {"cached": True, "ok": True}, f"validate: {first}, {cached}")
        verifies(served(sign_request()))
        expect(checks == ["pin accepted"], f"the card saw {checks}")
        served.close()


def serve_follows_the_card_out_and_back():
    """Middleware notices a pulled card only when asked about its readers: a held login
    must not be called "cached" on the strength of the session's own state. Each round
    signs just before the card moves, as a user does."""
    with Served("serve") as served:
        expect(served(validate_request()) == {"ok": True}, "validate")
        expect(served(validate_request()) == {"cached": True, "ok": True}, "validate again")
        verifies(served(sign_request()))
        stack("pull", DIR)
        for request in (validate_request(), sign_request(), {"cmd": "find_cert", "thumbprint": thumbprint()}):
            answer = served(request)
            expect(answer == NOT_FOUND, f"{request['cmd']} with the card out: {answer}")
        listed = served({"cmd": "list_certs"})
        expect(thumbprint() not in json.dumps(listed), f"list_certs with the card out: {listed}")
        stack("insert", DIR)
        # Back in, the card powered up logged out: validate is no "cached" but a login. So
        # too after out and back with no request between.
        for pulled_between in (False, True):
            if pulled_between:
                stack("pull", DIR)
                stack("insert", DIR)
            answer, checks = pin_checks_during(lambda: served(validate_request()))
            expect(answer == {"ok": True} and checks == ["pin accepted"], f"validate when back: {answer}, {checks}")
            expect(served(validate_request()) == {"cached": True, "ok": True}, "validate again when back")
            verifies(served(sign_request()))
        served.close()


def a_watching_serve_is_told_when_the_card_goes_and_comes():
    """Pulled, the card takes its login along at once, and a caller that watches is told
    within about two seconds; put back, it is told again, and the next request logs in. A
    browser host tells its page the same without the tokens."""
    with Served("serve") as served:
        expect(served(validate_request()) == {"ok": True}, "validate")
        watched = served({"cmd": "watch_tokens"})
        cards = [token for token in watched.get("tokens", []) if "opensc" in token["module"]]
        expect(watched.get("ok") is True and len(cards) == 1, f"watch_tokens: {watched}")
        card = cards[0]
        for move, present in (("pull", False), ("insert", True)):
            stack(move, DIR)
            moved = time.monotonic()
            event = served.unasked(10)
            told = time.monotonic() - moved
            expect(event is not None and event.get("event") == "tokens_changed", f"after {move}: {event}")
            expect((card in event["tokens"]) == present, f"after {move}: {event}")
            print(f"smartcard: {move} told after {told:.2f} s", flush=True)
        answer, checks = pin_checks_during(lambda: served(validate_request()))
        expect(answer == {"ok": True} and checks == ["pin accepted"], f"validate when back: {answer}, {checks}")
        served.close()
    # A browser's page is told that something changed, and no more.
    with Served("chrome-extension://" + "a" * 32 + "/", framed=True) as host:
        expect(host({"cmd": "watch_tokens"}) == {"ok": True}, "watch_tokens in the browser host")
        for move in ("pull", "insert"):
            stack(move, DIR)
            event = host.unasked(10)
            expect(event == {"event": "tokens_changed"}, f"the browser host after {move}: {event}")
        host.close()


def serve_outlives_a_pcscd_restart():
    with Served("serve") as served:
        expect(served(validate_request()) == {"ok": True}, "validate")
        stack("restart-pcscd", DIR)
        verifies(served(sign_request()))
        served.close()


def browser_host_signs_with_the_card():
    """A site learns of the card's certificate only once its user picked it (a stand-in for
    the picker picks the first row), then signs with it. The page sends the PIN, which is no
    consent: the user confirms the signature, as a user would, in a stand-in for pinentry
    that presses Sign, and is asked once."""
    with tempfile.TemporaryDirectory() as folder:
        picker = f"{folder}/zenity"
        with open(picker, "w") as out:
            out.write("#!/bin/sh\ncat >/dev/null\necho 0\n")
        os.chmod(picker, 0o700)
        pinentry, told = f"{folder}/pinentry", f"{folder}/pinentry.log"
        with open(pinentry, "w") as out:
            out.write(f'#!/bin/sh\necho OK\nwhile read -r line; do echo "$line" >>{told}; echo OK; done\n')
        os.chmod(pinentry, 0o700)
        env = {**os.environ, "P11AGENT_CERT_PICKER": picker, "P11AGENT_PINENTRY": pinentry, "DISPLAY": ":99"}
        with Served("chrome-extension://" + "a" * 32 + "/", framed=True, env=env) as host:
            listed = host({"cmd": "list_certs"})
            expect(listed.get("certs") == [], f"list_certs before a choice: {listed}")
            chosen = host({"cmd": "choose_cert"})
            expect(chosen.get("thumbprint") == thumbprint(), f"choose_cert: {chosen}")
            listed = host({"cmd": "list_certs"})
            expect([cert["thumbprint"] for cert in listed.get("certs", [])] == [thumbprint()], f"list_certs: {listed}")
            verifies(host(sign_request()))
            host.close()
        with open(told) as said:
            confirmations = said.read().splitlines().count("CONFIRM")
        expect(confirmations == 1, f"the signature with the page's PIN was confirmed {confirmations} times")


def a_module_hanging_when_loaded_hides_no_card():
    """A module registered with p11-kit next to OpenSC's that hangs when it is loaded, or in
    C_Initialize, costs its load deadline and never the card."""
    registration = "/etc/pkcs11/modules/p11agent-test-hanging.module"
    os.makedirs(os.path.dirname(registration), exist_ok=True)
    with tempfile.TemporaryDirectory() as scenarios:
        os.environ["P11FAKE_DIR"] = scenarios
        try:
            with open(registration, "w") as out:
                out.write(f"module: {FAKE_MODULE}\n")
            for entry in ("C_GetFunctionList", "C_Initialize"):
                with open(f"{scenarios}/{os.path.basename(FAKE_MODULE)}.json", "w") as out:
                    json.dump({"delay_ms": {entry: 120000}}, out)
                listed = oneshot({"cmd": "list_certs"})
                ders = [base64.b64decode(cert["der_b64"]) for cert in listed.get("certs", [])]
                expect(card_der() in ders, f"one-shot list_certs, a module hanging in {entry}: {listed}")
                with Served("serve") as served:
                    for _ in range(2):
                        listed = served({"cmd": "list_certs"})
                        expect(thumbprint() in json.dumps(listed), f"serve list_certs, hanging in {entry}: {listed}")
                    served.close()
        finally:
            os.remove(registration)
            del os.environ["P11FAKE_DIR"]


def wrong_pins_count_down_one_try_each():
    """Each wrong PIN costs the card one try, in every mode, until it is blocked. OpenSC
    says how many are left only at the last one (its CAC driver knows no maximum), so the
    estimate goes -1, 1, 0."""
    with Served("serve") as served:
        steps = [(lambda: oneshot(sign_request(WRONG)), "WRONG_PIN:-1", ["pin wrong, 2 tries left"]),
                 (lambda: served(sign_request(WRONG)), "WRONG_PIN:1", ["pin wrong, 1 tries left"]),
                 (lambda: served(validate_request(WRONG)), "WRONG_PIN:0", ["pin wrong, 0 tries left"]),
                 (lambda: served(validate_request()), "WRONG_PIN:0", ["pin blocked"])]
        for action, error, seen in steps:
            answer, checks = pin_checks_during(action)
            expect(answer == {"error": error, "ok": False} and checks == seen, f"wanted {error} {seen}: {answer} {checks}")
        served.close()


def a_wrong_pin_reported_as_a_general_error_is_sent_once():
    """A card whose middleware reports a wrong PIN as a general error (libcacard's own
    answer, 69 85): the answer names the login's failure, and the PIN went to the card once."""
    stack("stop", DIR)
    stack("start", DIR, CARD_PROGRAM, "--raw-pin-answers")
    with Served("serve") as served:
        for action in (lambda: oneshot(sign_request(WRONG)), lambda: served(sign_request(WRONG))):
            answer, checks = pin_checks_during(action)
            expect(answer.get("error", "").startswith("C_Login: ") and len(checks) == 1, f"{answer} {checks}")
        verifies(served(sign_request()))
        served.close()


CASES = [oneshot_lists_finds_and_signs, details_are_what_openssl_reads, named_algorithms_as_opensc_reports_them,
         serve_checks_the_pin_once, serve_follows_the_card_out_and_back,
         serve_outlives_a_pcscd_restart, browser_host_signs_with_the_card, a_module_hanging_when_loaded_hides_no_card,
         a_watching_serve_is_told_when_the_card_goes_and_comes,
         wrong_pins_count_down_one_try_each,
         a_wrong_pin_reported_as_a_general_error_is_sent_once]


def main():
    failed = 0
    for case in CASES:
        try:
            case()
            print(f"smartcard {case.__name__}: Done", flush=True)
        except (CaseFailed, subprocess.SubprocessError, OSError, ValueError, KeyError) as failure:
            print(f"smartcard {case.__name__}: FAILED ({failure})", flush=True)
            failed += 1
            # The next case starts with the card in the reader, whatever this one left.
            subprocess.run([STACK, "insert", DIR], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return 1 if failed else 0


if __name__ == "__main__":
    os.environ.pop("SOFTHSM2_CONF", None)
    sys.exit(main())
