"""Certificates for TLS brokers in tests, benchmarks and by hand, made with
the openssl command:

    /usr/bin/python3 tests/system/certificates.py DIRECTORY
"""
import subprocess
import sys
from pathlib import Path


def make_certificates(directory):
    """Certificates for TLS brokers, made with the openssl command (EC P-256
    keys, quick to make): a CA ("ca"), a server certificate for 127.0.0.1 and
    localhost ("server"), one that has expired ("expired"), one for another
    host name ("otherhost"), one signed by another CA ("otherca"), a
    self-signed one ("selfsigned") and a client certificate ("client").
    Returns {name: (certificate path, key path)}."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)

    def run(*args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def key_and_request(name, subject):
        run("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", str(directory / f"{name}.key"), "-out", str(directory / f"{name}.csr"), "-subj", subject)

    def self_signed(name, subject, extensions):
        run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "365",
            "-keyout", str(directory / f"{name}.key"), "-out", str(directory / f"{name}.pem"), "-subj", subject,
            *[arg for extension in extensions for arg in ("-addext", extension)])

    def signed(name, signer, subject, alt_names, days=365):
        key_and_request(name, subject)
        extensions = directory / f"{name}.ext"
        extensions.write_text(f"subjectAltName={alt_names}\n" if alt_names else "basicConstraints=CA:FALSE\n")
        run("x509", "-req", "-in", str(directory / f"{name}.csr"), "-CA", str(directory / f"{signer}.pem"),
            "-CAkey", str(directory / f"{signer}.key"), "-CAcreateserial", "-days", str(days),
            "-extfile", str(extensions), "-out", str(directory / f"{name}.pem"))

    self_signed("ca", "/CN=fieldhub test CA", ["basicConstraints=critical,CA:TRUE"])
    self_signed("other-ca", "/CN=another CA", ["basicConstraints=critical,CA:TRUE"])
    local = "IP:127.0.0.1,DNS:localhost"
    signed("server", "ca", "/CN=127.0.0.1", local)
    # -days -1: valid from now until a day ago, so already expired.
    signed("expired", "ca", "/CN=127.0.0.1", local, days=-1)
    signed("otherhost", "ca", "/CN=broker.example", "DNS:broker.example")
    signed("otherca", "other-ca", "/CN=127.0.0.1", local)
    self_signed("selfsigned", "/CN=127.0.0.1", [f"subjectAltName={local}"])
    signed("client", "ca", "/CN=gateway", "")
    for key in directory.glob("*.key"):
        key.chmod(0o644)
    names = ["ca", "server", "expired", "otherhost", "otherca", "selfsigned", "client"]
    return {name: (directory / f"{name}.pem", directory / f"{name}.key") for name in names}


if __name__ == "__main__":
    for name, (certificate, key) in make_certificates(sys.argv[1]).items():
        print(name, certificate, key)
