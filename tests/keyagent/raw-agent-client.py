#!/usr/bin/env python3
"""A client that speaks the agent protocol itself on $SSH_AUTH_SOCK, for the
tests of what the agent must refuse (run-forwarding-attacks.sh). It prints one
"ok: ..." or "FAIL: ..." line per check.

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
"""
import base64
import os
import socket
import struct
import sys

FAILURE, SUCCESS = 5, 6
REQUEST_IDENTITIES, IDENTITIES_ANSWER = 11, 12
SIGN_REQUEST = 13
ADD_IDENTITY = 17
EXTENSION = 27


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
    def __init__(self):
        self.sock = None

    def request(self, message):
        """The answer's bytes (type first); b"" when the agent closed the connection."""
        for attempt in (1, 2):
            if self.sock is None:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(os.environ["SSH_AUTH_SOCK"])
            try:
                self.sock.sendall(string(message))
                return self.receive(self.receive_exact(4))
            except ConnectionError:
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


def main(argv):
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "forwarded" and len(argv) == 7:
        forwarded(argv[2], argv[3], argv[4], argv[5], int(argv[6]))
    elif mode == "sign" and len(argv) == 3:
        sign(argv[2])
    elif mode == "big-comments" and len(argv) == 2:
        big_comments()
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
