#!/usr/bin/env python3
"""Writes the seeds for the inputs of the agent's trust boundaries: host keys
in session-bind beyond any size the agent works with, comments that would
make an identities answer larger than a message may be, this agent's own
extensions on both channels, frames cut short or with lengths that lie, and
keys held for some destinations: logins and forwarded chains bound by host
keys that really sign their sessions, and constraints wrong in every part.
The files are kept in the tree; this script says how they were made.
    tests/fuzz/write-seeds.py
"""
import hashlib
import os
import struct

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

HERE = os.path.dirname(os.path.abspath(__file__))

# The agent requests target reads a chunk length and a choice byte first;
# choice bit 16 is the manager's channel.
CHUNK = 0xff
PUBLIC = 0x00
MANAGER = 0x10

# RFC 8032's second and third test keys (the target holds the first).
ED25519_KEYS = [
    ("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"),
    ("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"),
]
HELD_PUBLIC = bytes.fromhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")


def u32(n):
    return struct.pack(">I", n)


def string(b):
    if isinstance(b, str):
        b = b.encode()
    return u32(len(b)) + b


def mpint(n):
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big") if n else b""
    if raw and raw[0] & 0x80:
        raw = b"\0" + raw
    return string(raw)


def frame(message):
    return u32(len(message)) + message


def odd_number(bits, label):
    """A fixed number of exactly this many bits (odd, so that it may pass for a modulus)."""
    out = b""
    counter = 0
    while len(out) * 8 < bits:
        out += hashlib.sha256(f"{label}/{counter}".encode()).digest()
        counter += 1
    n = int.from_bytes(out, "big") >> (len(out) * 8 - bits)
    return n | (1 << (bits - 1)) | 1


def extension(name, body=b""):
    return frame(bytes([27]) + string(name) + body)


def session_bind(host_key, signature):
    return extension("session-bind@openssh.com",
                     string(host_key) + string(b"\x11" * 32) + string(signature) + b"\x00")


def dsa_host_key(p_bits, q_bits, label):
    p, q = odd_number(p_bits, label + "p"), odd_number(q_bits, label + "q")
    g, y = odd_number(p_bits - 1, label + "g"), odd_number(p_bits - 1, label + "y")
    key = string("ssh-dss") + mpint(p) + mpint(q) + mpint(g) + mpint(y)
    return key, string("ssh-dss") + string(b"\x01" * 40)


def rsa_host_key(n_bits, e_bits, label):
    n = odd_number(n_bits, label + "n")
    e = odd_number(e_bits, label + "e") if e_bits > 17 else 65537
    key = string("ssh-rsa") + mpint(e) + mpint(n)
    return key, string("rsa-sha2-256") + string(b"\x01" * ((n_bits + 7) // 8))


def ed25519_add(index, comment, constraints=b""):
    seed, public = (bytes.fromhex(h) for h in ED25519_KEYS[index])
    body = string("ssh-ed25519") + string(public) + string(seed + public) + string(comment)
    return frame(bytes([25 if constraints else 17]) + body + constraints)


def held_blob():
    return string("ssh-ed25519") + string(HELD_PUBLIC)


REQUEST_IDENTITIES = frame(bytes([11]))

# Every extension of this agent, with a body of the form its handler reads.
OWN_EXTENSIONS = (
    extension("key-list@glimmerpad")
    + extension("rename-key@glimmerpad", string(held_blob()) + string("renamed by a stranger"))
    + extension("set-lifetime@glimmerpad", string(held_blob()) + u32(0))
    + extension("lock-state@glimmerpad")
    + extension("lock-with-agent-passphrase@glimmerpad")
    + extension("add-key-file@glimmerpad", string("C:\\Users\\user\\.ssh\\id_ed25519") + string(""))
    + extension("add-key-file@glimmerpad", string("\\\\server\\share\\x") + string(""))
    + extension("generate-key@glimmerpad", string("C:\\x") + u32(0) + u32(16384) + u32(1))
    + extension("attach-window@glimmerpad", u32(0) + u32(0x10010))
    + extension("query")
    + REQUEST_IDENTITIES
)


def agent_requests():
    seeds = {}
    huge = "A" * (200 * 1024)
    seeds["huge-comments"] = bytes([CHUNK, PUBLIC]) + ed25519_add(0, huge) + ed25519_add(1, huge + "B") + REQUEST_IDENTITIES
    seeds["huge-comment-constrained"] = bytes([CHUNK, MANAGER]) + ed25519_add(
        0, huge, bytes([1]) + u32(60) + bytes([2])) + extension("key-list@glimmerpad")
    for name, (key, signature) in {
        "bind-dsa-2048-256": dsa_host_key(2048, 256, "dsa2048"),
        "bind-dsa-4096-bit-q": dsa_host_key(4096, 4096, "dsa4096"),
        "bind-rsa-16392-bit-modulus": rsa_host_key(16392, 17, "rsa16392"),
        "bind-rsa-16400-bit-exponent": rsa_host_key(2048, 16400, "rsa-e"),
    }.items():
        seeds[name] = bytes([CHUNK, PUBLIC]) + session_bind(key, signature) + REQUEST_IDENTITIES
    seeds["own-extensions-manager"] = bytes([CHUNK, MANAGER]) + OWN_EXTENSIONS
    seeds["own-extensions-public"] = bytes([CHUNK, PUBLIC]) + OWN_EXTENSIONS
    # Frames: a length beyond what follows, one beyond the limit, an empty
    # one, and bodies cut inside a field whose length runs past the frame.
    seeds["frame-cut-short"] = bytes([7, PUBLIC]) + u32(1000) + bytes([11]) + b"\0" * 19
    seeds["frame-too-long"] = bytes([CHUNK, PUBLIC]) + u32(256 * 1024 + 1) + bytes([11]) + REQUEST_IDENTITIES
    seeds["frame-empty"] = bytes([CHUNK, PUBLIC]) + u32(0) + REQUEST_IDENTITIES
    cut_bind = bytes([27]) + string("session-bind@openssh.com") + u32(4000) + b"ssh-ed25519"
    seeds["bind-cut-inside-host-key"] = bytes([3, PUBLIC]) + frame(cut_bind) + REQUEST_IDENTITIES
    cut_sign = bytes([13]) + u32(51) + held_blob()[:20]
    seeds["sign-cut-inside-key"] = bytes([CHUNK, MANAGER | 8]) + frame(cut_sign) + REQUEST_IDENTITIES
    seeds.update(destination_seeds())
    return seeds


class Host:
    """An Ed25519 host key made from its name, so that the seeds stay the same."""

    def __init__(self, name):
        self.name = name
        self.key = Ed25519PrivateKey.from_private_bytes(hashlib.sha256(name.encode()).digest())
        self.blob = string("ssh-ed25519") + string(self.key.public_key().public_bytes_raw())

    def bind(self, session_id, forwarding):
        signature = string("ssh-ed25519") + string(self.key.sign(session_id))
        return extension("session-bind@openssh.com", string(self.blob) + string(session_id) + string(signature)
                         + bytes([forwarding]))


def hop(host="", keys=(), user="", authority=False, reserved=b""):
    return string(string(user) + string(host) + string(reserved)
                  + b"".join(string(k) + bytes([authority]) for k in keys))


def constraint(start, destination, reserved=b""):
    return string(start + destination + string(reserved))


def restrict(*constraints):
    return bytes([255]) + string("restrict-destination-v00@openssh.com") + string(b"".join(constraints))


def constrained_blob():
    return string("ssh-ed25519") + string(bytes.fromhex(ED25519_KEYS[0][1]))


def login(session_id, user, host_blob=None):
    method = "publickey-hostbound-v00@openssh.com" if host_blob else "publickey"
    request = (string(session_id) + bytes([50]) + string(user) + string("ssh-connection") + string(method)
               + bytes([1]) + string("ssh-ed25519") + string(constrained_blob()))
    return request + (string(host_blob) if host_blob else b"")


def sign(data):
    return frame(bytes([13]) + string(constrained_blob()) + string(data) + u32(0))


def destination_seeds():
    a, b = Host("host-a"), Host("host-b")
    here = hop()
    sid_a, sid_b = b"\x21" * 32, b"\x22" * 32
    seeds = {}
    seeds["destination-login"] = bytes([CHUNK, PUBLIC]) + ed25519_add(
        0, "for host-a", bytes([1]) + u32(600) + restrict(constraint(here, hop("host-a", [a.blob], "b?b")))) \
        + REQUEST_IDENTITIES + sign(login(sid_a, "bob")) + a.bind(sid_a, 0) + REQUEST_IDENTITIES \
        + sign(login(sid_a, "bob", a.blob)) + sign(login(sid_a, "alice")) + sign(b"not a login")
    seeds["destination-forwarded"] = bytes([CHUNK, MANAGER | 8]) + ed25519_add(
        0, "through host-a", bytes([2]) + restrict(constraint(here, hop("host-a", [a.blob])),
                                                   constraint(hop("host-a", [a.blob]), hop("host-b", [b.blob], "bob")))) \
        + a.bind(sid_a, 1) + REQUEST_IDENTITIES + extension("key-list@glimmerpad") + b.bind(sid_b, 0) \
        + REQUEST_IDENTITIES + sign(login(sid_b, "bob", b.blob)) + sign(login(sid_b, "bob")) \
        + frame(bytes([18]) + string(constrained_blob()))
    unknown = string("ssh-unknown") + string(b"\x01" * 32)
    wrong = {
        "too-many-constraints": restrict(*[constraint(here, hop("host-a", [a.blob]))] * 257),
        "too-many-keys": restrict(constraint(here, hop("host-a", [a.blob] * 65))),
        "unknown-key-type": restrict(constraint(here, hop("host-a", [unknown]))),
        "name-too-long": restrict(constraint(here, hop("h" * 256, [a.blob]))),
        "reserved-data": restrict(constraint(here, hop("host-a", [a.blob], reserved=b"x"))),
        "start-without-keys": restrict(constraint(hop("host-a"), hop("host-b", [b.blob]))),
        "hop-length-lies": restrict(u32(4000) + string(b"")),
    }
    seeds["destination-refused"] = bytes([CHUNK, PUBLIC]) + b"".join(
        ed25519_add(0, name, c) for name, c in wrong.items()) + REQUEST_IDENTITIES
    seeds["destination-cut-short"] = bytes([CHUNK, PUBLIC]) + ed25519_add(
        0, "cut", restrict(constraint(here, hop("host-a", [a.blob])))[:-9]) + REQUEST_IDENTITIES
    return seeds


def key_list_text():
    ed_blob = string("ssh-ed25519") + string(HELD_PUBLIC)
    rsa_blob = string("ssh-rsa") + mpint(65537) + mpint(odd_number(2048, "list"))

    def held(blob, comment, seconds=0, confirm=False, hops=()):
        listed = u32(len(hops)) + b"".join(string(f) + string(u) + string(t) for f, u, t in hops)
        return string(blob) + string(comment) + u32(seconds) + bytes([confirm]) + listed

    many = [("bastion", "", f"server-{i}.example.com") for i in range(120)]
    wide = [("", "\u00e9" * 90, "\u65e5\u672c" * 60), ("jump", "", "target\tname")]
    return {
        "destinations": b"30m\n" + held(ed_blob, "held", hops=[("", "", "host-a"), ("host-a", "git", "host-b")])
        + held(rsa_blob, "many", 3600, True, many) + held(ed_blob, "wide", hops=wide),
        "clashing-names": b"90m\n" + held(ed_blob, "work") + held(rsa_blob, "work") + held(ed_blob, "work (2)"),
        "long-and-empty-names": b" 2d \n" + held(ed_blob, "x" * 300) + held(rsa_blob, "x" * 300)
        + held(ed_blob, "") + held(b"junk", "   ", 3600, True),
        "control-and-utf8": b"4294967295s\n" + held(ed_blob, "a\tb\nc\x7f") + held(rsa_blob, "\u00e9" * 100, 59)
        + held(rsa_blob, "\u65e5\u672c" * 40, 86400 * 3 + 7, True),
    }


def verifier_file():
    salt, digest = "00112233445566778899aabbccddeeff", "ab" * 32
    return {
        "scrypt-16384": f"scrypt 16384 {salt} {digest}\n".encode(),
        "scrypt-cost-too-high": f"scrypt 2097152 {salt} {digest}\n".encode(),
        "scrypt-cost-not-power-of-two": f"scrypt 3000 {salt} {digest}\n".encode(),
        "scrypt-leading-zero-upper-hex": f"\tscrypt 01024 {salt.upper()} {digest}".encode(),
    }


def write(folder, seeds):
    path = os.path.join(HERE, folder)
    os.makedirs(path, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


write("corpus-agent-requests", agent_requests())
write("corpus-key-list-text", key_list_text())
write("corpus-verifier-file", verifier_file())
