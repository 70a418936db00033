#!/usr/bin/env python3
"""A client that speaks the agent protocol itself on $SSH_AUTH_SOCK, for the
tests of what the agent must refuse (run-forwarding-attacks.sh,
run-destination-tests.sh). It prints one "ok: ..." or "FAIL: ..." line per
check, or the answers it got for the calling script to judge.

    raw-agent-client.py forwarded KEY_FILE GUARDED_KEY_FILE GUARDED_PUB NEW_KEY_PATH KEYS_HELD
        On the far side of "ssh -A": every request of this agent's own that
        a forwarded host could try, each of which must be answered with
        SSH_AGENT_FAILURE; "query" must name none of them; the identities
        must still be listed (KEYS_HELD of them), so the refusals are the
        agent's and not a broken channel's. File paths are as the agent names them.
    raw-agent-client.py sign PUB
        Asks for a signature with the key of PUB; prints "sign answer: N".
    raw-agent-client.py big-comments
        Adds two keys with 200 KiB comments: each must be refused or its
        comment cut, and the identities must still be listed.
    raw-agent-client.py bind-and-sign USER HOST_KEY_PEM HOST_PUB login|forward PUB...
        For the destination tests (run-destination-tests.sh): on the
        connection as it comes (unbound, or forwarded by ssh -A), then after
        binding it to the host by session-bind@openssh.com as ssh would for
        a login or for forwarding the agent there (signing as the host with
        its RSA key), prints for each key whether it is listed ("before:
        NAME listed|hidden") and the answer to a login's signature for USER
        at that host ("before: NAME sign answer N"), and "bind: N". NAME is
        the PUB file's name without ".pub".
    raw-agent-client.py malformed HOST_PUB MANY_HOST_PUB [all|sizes]
        Adds a key with a destination to the host of HOST_PUB (must be
        taken), then with broken destinations, each of which must be
        refused with SSH_AGENT_FAILURE; the identities must be the same
        after. "sizes" keeps to lengths near 2^32, where a 32-bit agent's
        arithmetic differs, and counts (MANY_HOST_PUB, a short key, fills
        the long lists).
"""
import base64
import os
import socket
import struct
import subprocess
import sys

FAILURE, SUCCESS = 5, 6
REQUEST_IDENTITIES, IDENTITIES_ANSWER = 11, 12
SIGN_REQUEST, SIGN_RESPONSE = 13, 14
ADD_IDENTITY, REMOVE_IDENTITY = 17, 18
ADD_ID_CONSTRAINED = 25
EXTENSION = 27
CONSTRAIN_EXTENSION = 255
USERAUTH_REQUEST = 50
RESTRICT_DESTINATION = "restrict-destination-v00@openssh.com"


def u32(n):
    return struct.pack(">I", n)


def string(b):
    if isinstance(b, str):
        b = b.encode()
    return u32(len(b)) + b


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("answer cut short")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def u32(self):
        return struct.unpack(">I", self.take(4))[0]

    def string(self):
        return self.take(self.u32())


class Agent:
    def __init__(self, reconnect=True):
        # A bound connection is not opened again: a new one would be unbound.
        self.sock, self.reconnect = None, reconnect

    def request(self, message):
        """The answer's bytes (type first); b"" when the agent closed the connection."""
        for attempt in ((1, 2) if self.reconnect else (1,)):
            if self.sock is None:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(os.environ["SSH_AUTH_SOCK"])
            try:
                self.sock.sendall(string(message))
                return self.receive(self.receive_exact(4))
            except (ConnectionError, BrokenPipeError):
                # A connection the agent ended is opened again once.
                self.sock.close()
                self.sock = None
        return b""

    def receive(self, header):
        return self.receive_exact(struct.unpack(">I", header)[0])

    def receive_exact(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("closed")
            out += chunk
        return out

    def extension(self, name, body=b""):
        return self.request(bytes([EXTENSION]) + string(name) + body)

    def identities(self):
        """The (blob, comment) pairs, or None when the answer is no list."""
        answer = self.request(bytes([REQUEST_IDENTITIES]))
        if not answer or answer[0] != IDENTITIES_ANSWER:
            return None
        r = Reader(answer[1:])
        return [(r.string(), r.string()) for _ in range(r.u32())]


failures = 0


def check(ok, what):
    global failures
    print(("ok: " if ok else "FAIL: ") + what, flush=True)
    failures += 0 if ok else 1


def answer_type(answer):
    return answer[0] if answer else "none (connection closed)"


def public_blob(pub_file):
    with open(pub_file) as f:
        return base64.b64decode(f.read().split()[1])


def forwarded(key_file, guarded_file, guarded_pub, new_key_path, keys_held):
    agent = Agent()
    guarded = public_blob(guarded_pub)
    tries = [
        ("add-key-file@glimmerpad with a key file of the user's", string(key_file) + string("")),
        ("add-key-file@glimmerpad with the file of the -c -t key", string(guarded_file) + string("")),
        ("add-key-file@glimmerpad with a UNC path", string("\\\\127.0.0.1\\share\\id_ed25519") + string("")),
        ("set-lifetime@glimmerpad with 0", string(guarded) + u32(0)),
        ("rename-key@glimmerpad", string(guarded) + string("renamed by the far host")),
        ("generate-key@glimmerpad", string(new_key_path) + u32(0) + u32(256) + u32(1)),
        ("attach-window@glimmerpad", u32(0) + u32(0x10020)),
        ("key-list@glimmerpad", b""),
        ("lock-with-agent-passphrase@glimmerpad", b""),
        ("lock-state@glimmerpad", b""),
    ]
    for what, body in tries:
        answer = agent.extension(what.split()[0], body)
        check(answer == bytes([FAILURE]), f"forwarded {what}: answer {answer_type(answer)}")
    answer = agent.extension("query")
    names = []
    if answer[:1] == bytes([SUCCESS]):
        r = Reader(answer[1:])
        while r.pos < len(r.data):
            names.append(r.string().decode(errors="replace"))
    own = [n for n in names if n.endswith("@glimmerpad")]
    check(answer[:1] == bytes([SUCCESS]) and not own,
          f"forwarded query answers {answer_type(answer)} and names none of this agent's own: {names}")
    held = agent.identities()
    check(held is not None and len(held) == keys_held,
          f"forwarded identities still listed: {keys_held} expected, {'none' if held is None else len(held)} listed")


def sign(pub_file):
    answer = Agent().request(bytes([SIGN_REQUEST]) + string(public_blob(pub_file)) + string("from afar") + u32(0))
    print(f"sign answer: {answer_type(answer)}", flush=True)


# RFC 8032's second and third test keys: seed, public key.
ED25519_KEYS = [
    ("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"),
    ("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"),
]


def big_comments():
    agent = Agent()
    comment = "c" * (200 * 1024)
    sent = {}
    for seed_hex, public_hex in ED25519_KEYS:
        seed, public = bytes.fromhex(seed_hex), bytes.fromhex(public_hex)
        blob = string("ssh-ed25519") + string(public)
        answer = agent.request(bytes([ADD_IDENTITY]) + string("ssh-ed25519") + string(public) +
                               string(seed + public) + string(comment))
        check(answer in (bytes([SUCCESS]), bytes([FAILURE])), f"an add with a 200 KiB comment: answer {answer_type(answer)}")
        sent[blob] = answer == bytes([SUCCESS])
    held = agent.identities()
    check(held is not None, "the identities are listed after two adds with 200 KiB comments")
    for blob, held_comment in held or []:
        if blob in sent:
            check(len(held_comment) < len(comment), f"a 200 KiB comment held cut to {len(held_comment)} bytes")


def blob_type(blob):
    return Reader(blob).string()


def host_signature(pem_file, data):
    """The host's signature of data as its sshd makes it in the key
    exchange: rsa-sha2-512, by openssl with the host's PEM key."""
    signed = subprocess.run(["openssl", "dgst", "-sha512", "-sign", pem_file], input=data,
                            stdout=subprocess.PIPE, check=True).stdout
    return string("rsa-sha2-512") + string(signed)


def userauth_request(session_id, user, key_blob, host_blob):
    """What ssh asks the agent to sign for a login to a host that names its
    key (publickey-hostbound-v00@openssh.com, as OpenSSH 9 does)."""
    return (string(session_id) + bytes([USERAUTH_REQUEST]) + string(user) + string("ssh-connection") +
            string("publickey-hostbound-v00@openssh.com") + b"\x01" + string(blob_type(key_blob)) +
            string(key_blob) + string(host_blob))


def report_keys(when, agent, keys, user, session_id, host):
    held = agent.identities()
    listed = {blob for blob, _ in held or []}
    for name, blob in keys.items():
        print(f"{when}: {name} {'listed' if blob in listed else 'hidden'}", flush=True)
    for name, blob in keys.items():
        answer = agent.request(bytes([SIGN_REQUEST]) + string(blob) +
                               string(userauth_request(session_id, user, blob, host)) + u32(0))
        print(f"{when}: {name} sign answer {answer_type(answer)}", flush=True)


def bind_and_sign(user, host_pem, host_pub, purpose, pubs):
    agent = Agent(reconnect=False)
    keys = {os.path.basename(p)[:-len(".pub")]: public_blob(p) for p in pubs}
    host = public_blob(host_pub)
    # Before the binding a client could name any session: it must not matter.
    report_keys("before", agent, keys, user, os.urandom(32), host)
    session_id = os.urandom(32)
    answer = agent.extension("session-bind@openssh.com", string(host) + string(session_id) +
                             string(host_signature(host_pem, session_id)) + bytes([purpose == "forward"]))
    print(f"bind: {answer_type(answer)}", flush=True)
    report_keys("after", agent, keys, user, session_id, host)


def hop(host, keys, user=""):
    """A hop of restrict-destination-v00@openssh.com: keys are (blob, is_ca)."""
    return string(user) + string(host) + string("") + b"".join(string(k) + bytes([ca]) for k, ca in keys)


def destination(from_hop, to_hop, reserved=b""):
    return string(from_hop) + string(to_hop) + string(reserved)


def restrict_destination(destinations):
    return (bytes([CONSTRAIN_EXTENSION]) + string(RESTRICT_DESTINATION) +
            string(b"".join(string(d) for d in destinations)))


def malformed_destinations(host, many_host, scope):
    """(what, constraint bytes) of destinations the agent must refuse whole."""
    origin = hop("", [])
    to_b = hop("host-b", [(host, 0)])
    key_cut = string("") + string("host-b") + string("") + u32(len(host) + 10) + host + b"\x00"
    name_huge = string("") + u32(0xFFFFFFF0) + b"host-b" + string("") + string(host) + b"\x00"
    many_hops = [destination(origin, hop("host-c", [(many_host, 0)]))] * 2000
    many_keys = [destination(origin, hop("host-c", [(many_host, 0)] * 3000))]
    tries = [
        ("a hop name of 0xFFFFFFF0 bytes", restrict_destination([destination(origin, name_huge)])),
        ("the list of destinations 0xFFFFFFFF bytes long",
         bytes([CONSTRAIN_EXTENSION]) + string(RESTRICT_DESTINATION) + u32(0xFFFFFFFF) + string(destination(origin, to_b))),
        ("2000 destinations", restrict_destination(many_hops)),
        ("3000 host keys in one hop", restrict_destination(many_keys)),
    ]
    if scope == "all":
        tries += [
            ("a host key cut short (its length 10 bytes past the hop's end)",
             restrict_destination([destination(origin, key_cut)])),
            ("a host key without its is_ca flag", restrict_destination([destination(origin, to_b[:-1])])),
            ("a destination whose to-hop is 100 bytes longer than the destination",
             restrict_destination([string(origin) + u32(len(to_b) + 100) + to_b + string("")])),
            ("the list of destinations cut in the middle of one",
             bytes([CONSTRAIN_EXTENSION]) + string(RESTRICT_DESTINATION) + string(string(destination(origin, to_b))[:-7])),
            ("an unknown key type as a host key",
             restrict_destination([destination(origin, hop("host-b", [(string("ssh-unknown@example.com") + string(b"\x01" * 32), 0)]))])),
            ("an Ed25519 host key of 31 bytes",
             restrict_destination([destination(origin, hop("host-b", [(string("ssh-ed25519") + string(b"\x02" * 31), 0)]))])),
            ("a user name in the from-hop", restrict_destination([destination(hop("host-a", [(host, 0)], user="root"), to_b)])),
            ("a from-hop with a name and no host key", restrict_destination([destination(hop("host-a", []), to_b)])),
            ("a to-hop without host keys", restrict_destination([destination(origin, hop("host-b", []))])),
            ("a to-hop without a name", restrict_destination([destination(origin, hop("", [(host, 0)]))])),
            ("a host name of 1,000 bytes", restrict_destination([destination(origin, hop("h" * 1000, [(host, 0)]))])),
            ("a reserved field that is not empty", restrict_destination([destination(origin, to_b, reserved=b"x")])),
            ("no destination at all", restrict_destination([])),
            ("the destinations given twice", restrict_destination([destination(origin, to_b)]) * 2),
        ]
    return tries


def malformed(host_pub, many_host_pub, scope):
    agent = Agent()
    host, many_host = public_blob(host_pub), public_blob(many_host_pub)
    seed_hex, public_hex = ED25519_KEYS[0]
    seed, public = bytes.fromhex(seed_hex), bytes.fromhex(public_hex)
    blob = string("ssh-ed25519") + string(public)
    add = bytes([ADD_ID_CONSTRAINED]) + string("ssh-ed25519") + string(public) + string(seed + public) + \
        string("destination test key")
    before = agent.identities()
    well_formed = restrict_destination([destination(hop("", []), hop("host-b", [(host, 0)]))])
    answer = agent.request(add + well_formed)
    removed = agent.request(bytes([REMOVE_IDENTITY]) + string(blob)) if answer == bytes([SUCCESS]) else b""
    check(answer == bytes([SUCCESS]) and removed == bytes([SUCCESS]),
          f"a well-formed destination to host-b is taken (answer {answer_type(answer)}) and the key removed again")
    for what, constraint in malformed_destinations(host, many_host, scope):
        answer = agent.request(add + constraint)
        check(answer == bytes([FAILURE]), f"refused: {what} (answer {answer_type(answer)})")
        if answer == bytes([SUCCESS]):
            agent.request(bytes([REMOVE_IDENTITY]) + string(blob))
    after = agent.identities()
    check(after is not None and after == before,
          f"the same identities after the broken destinations: {len(before or [])} before, "
          f"{'none' if after is None else len(after)} after")


def main(argv):
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "forwarded" and len(argv) == 7:
        forwarded(argv[2], argv[3], argv[4], argv[5], int(argv[6]))
    elif mode == "sign" and len(argv) == 3:
        sign(argv[2])
    elif mode == "big-comments" and len(argv) == 2:
        big_comments()
    elif mode == "bind-and-sign" and len(argv) >= 7 and argv[5] in ("login", "forward"):
        bind_and_sign(argv[2], argv[3], argv[4], argv[5], argv[6:])
    elif mode == "malformed" and len(argv) in (4, 5):
        malformed(argv[2], argv[3], argv[4] if len(argv) == 5 else "all")
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
