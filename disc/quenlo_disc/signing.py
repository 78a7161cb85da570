"""Authenticode signing of the disc's quenlo.exe (SHA-256), and what a
user's Windows will make of the signature. The certificate's password comes
from QUENLO_SIGN_PASSWORD, never from a command line."""
import os
import re
import shutil
import subprocess

from . import PROGRAM, Refusal
from .tools import run

CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def sign_exe(exe, certificate, stage, timestamp=None):
    """Signs a copy of exe in stage, with a time stamp from the authority at
    the URL timestamp if given, and verifies it against the certificate's own
    chain (and the system's roots). Returns the copy and what a user's
    Windows will make of the signature: a dict."""
    missing = [tool for tool in ("osslsigncode", "openssl") if not shutil.which(tool)]
    if missing:
        raise Refusal("signing needs %s, not installed here: as root, run apt-get install %s"
                      % (" and ".join(missing), " ".join(missing)), "signing-tools-missing")
    if os.path.isdir(certificate):
        raise Refusal("%s is a folder: give --sign the certificate's PKCS#12 (.pfx) file" % certificate,
                      "certificate-folder")
    if not os.path.isfile(certificate):
        raise Refusal("no certificate at %s: give --sign a PKCS#12 (.pfx) file" % certificate, "certificate-missing")
    # Never on a command line, where any user's ps would show it.
    env = dict(os.environ, QUENLO_SIGN_PASSWORD=os.environ.get("QUENLO_SIGN_PASSWORD", ""))
    certs, leaf = os.path.join(stage, "certs.pem"), os.path.join(stage, "leaf.pem")
    unreadable = ("cannot read the certificate %s: wrong or missing QUENLO_SIGN_PASSWORD, or not a PKCS#12 file"
                  % certificate)
    for legacy in ([], ["-legacy"]):  # older tools encrypt with RC2, which OpenSSL 3 keeps apart
        try:
            run(["openssl", "pkcs12", "-in", certificate, "-passin", "env:QUENLO_SIGN_PASSWORD", "-nokeys",
                 "-out", certs] + legacy, unreadable, env=env, code="certificate-unreadable")
            break
        except Refusal:
            if legacy:
                raise
    run(["openssl", "pkcs12", "-in", certificate, "-passin", "env:QUENLO_SIGN_PASSWORD", "-nokeys", "-clcerts",
         "-out", leaf] + legacy, unreadable, env=env, code="certificate-unreadable")
    names = run(["openssl", "x509", "-in", leaf, "-noout", "-subject", "-issuer", "-enddate", "-nameopt",
                 "sep_comma_plus_space,utf8,-esc_msb"], unreadable, code="certificate-unreadable").splitlines()
    field = {line.split("=", 1)[0]: line.split("=", 1)[1].strip() for line in names if "=" in line}

    password = os.path.join(stage, "password")
    fd = os.open(password, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(env["QUENLO_SIGN_PASSWORD"])
    signed = os.path.join(stage, PROGRAM)
    stamp = ["-ts", timestamp] if timestamp else []
    try:
        run(["osslsigncode", "sign", "-pkcs12", certificate, "-readpass", password, "-h", "sha256", "-n", "Quenlo"]
            + stamp + ["-in", exe, "-out", signed],
            "signing with %s failed%s" % (certificate, " (is the time-stamping authority %s reachable?)" % timestamp
                                          if timestamp else ""), code="sign-failed")
    finally:
        os.remove(password)

    trusted = os.path.join(stage, "trusted.pem")
    roots = [CA_BUNDLE] if os.path.exists(CA_BUNDLE) else []
    with open(trusted, "wb") as out:
        for part in [certs] + roots:
            with open(part, "rb") as f:
                out.write(f.read() + b"\n")
    report = run(["osslsigncode", "verify", "-CAfile", trusted] + (["-TSA-CAfile", roots[0]] if roots else [])
                 + ["-in", signed], "the signature made with %s does not verify" % certificate,
                 code="signature-unverified")
    countersigned = report.split("Countersignatures:", 1)[1] if "Countersignatures:" in report else ""
    stamped = re.search(r"Timestamp time: (.*)", countersigned)
    authority = re.search(r"Issuer: (.*)", countersigned)
    known = bool(roots) and subprocess.run(["openssl", "verify", "-CAfile", roots[0], "-untrusted", certs, leaf],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    return {"exe": signed, "signer": field.get("subject", ""), "self_signed": field.get("subject") == field.get("issuer"),
            "trusted": known, "expires": field.get("notAfter", ""),
            "stamped": stamped.group(1).strip() if stamped else None,
            "authority": authority.group(1).strip().lstrip("/").replace("/", ", ") if authority else None,
            "authority_trusted": "Timestamp Server Signature verification: ok" in report}
