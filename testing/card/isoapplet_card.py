#!/usr/bin/python3
"""An emulated smart card that speaks the IsoApplet protocol.

The card connects to vsmartcard's virtual reader driver (vpcd, loaded by
pcscd) over TCP on the loopback and answers the APDUs that OpenSC's
isoApplet card driver and its pkcs15-init driver send: applet selection,
the ISO 7816-4 file system commands PKCS#15 needs, PIN verify, change and
unblock with a retry counter, MANAGE SECURITY ENVIRONMENT, RSA key import
into key slots (PUT DATA), RSA PKCS#1 v1.5 signature and decipherment and
GET CHALLENGE. Short APDUs only, with command chaining for long data.

Everything the card holds lives in this process: ending it is pulling the
card. With --state, the card starts from the contents saved in that file
(when it exists) and saves its contents there on SIGUSR1, so that a card
can be put back into the reader as it was. Files in the control folder
(--control) let a test look at and steer the card:
  apdus       written after every command: the number of APDUs answered
  capacity    read when a file is created or a key imported: while present,
              the card's memory holds no more bytes than the number it
              holds, and an allocation beyond it is refused with 6A84
              (memory full)
  used-bytes  written after every command: the bytes in use, files plus
              key slots
  key-slots   written after every command: the key slots in use

Memory: a transparent file takes its size, from its creation to its
deletion (a deleted folder frees everything under it); an RSA key takes
KEY_SLOT_BYTES in its slot from its first import on. The applet has no key
delete: a slot whose directory entry was deleted stays occupied (and is
reused by the next import into it).

With --no-access-rules the card keeps no security attributes: the file
control parameters it answers carry no tag 86 and no update, delete or
create is refused for a missing PIN (OpenSC then never presents the PIN for
them). Keys still need the verified PIN for import and use.
"""

import argparse
import logging
import os
import pickle
import secrets
import signal
import socket
import sys

VSMARTCARD_PATH = "/usr/lib/python3/site-packages/virtualsmartcard"


def load_vsmartcard(path):
    """vsmartcard's framework: Debian installs it outside the module path,
    and it imports PyCrypto's package name, which Debian ships as
    Cryptodome (pycryptodomex)."""
    try:
        import Cryptodome
    except ImportError as e:
        sys.exit("isoapplet_card: python3-pycryptodome is missing: %s" % e)
    sys.modules.setdefault("Crypto", Cryptodome)
    if path not in sys.path:
        sys.path.insert(0, path)
    try:
        from virtualsmartcard import VirtualSmartcard
    except ImportError as e:
        sys.exit("isoapplet_card: python3-virtualsmartcard is missing: %s" % e)
    return VirtualSmartcard


# ---- Status words -------------------------------------------------------------

SW_OK = b"\x90\x00"
SW_END_OF_FILE = b"\x62\x82"
SW_WRONG_LENGTH = b"\x67\x00"
SW_SECURITY = b"\x69\x82"
SW_BLOCKED = b"\x69\x83"
SW_CONDITIONS = b"\x69\x85"
SW_WRONG_DATA = b"\x6a\x80"
SW_NOT_FOUND = b"\x6a\x82"
SW_MEMORY_FULL = b"\x6a\x84"
SW_WRONG_P1P2 = b"\x6a\x86"
SW_REF_NOT_FOUND = b"\x6a\x88"
SW_EXISTS = b"\x6a\x89"
SW_OFFSET = b"\x6b\x00"
SW_INS = b"\x6d\x00"
SW_CLA = b"\x6e\x00"


class CardError(Exception):
    """A command the card refuses, with its status word."""

    def __init__(self, sw, why):
        super().__init__(why)
        self.sw = sw


# ---- BER-TLV ------------------------------------------------------------------

MAX_TLV_ITEMS = 64


def parse_tlv(data):
    """The top-level (tag, value) pairs of BER-TLV data; tags as integers."""
    items = []
    pos = 0
    while pos < len(data):
        if len(items) >= MAX_TLV_ITEMS:
            raise CardError(SW_WRONG_DATA, "too many TLV items")
        if data[pos] in (0x00, 0xFF):  # padding between objects
            pos += 1
            continue
        tag = data[pos]
        pos += 1
        if tag & 0x1F == 0x1F:  # two-byte tag (all this card uses)
            if pos >= len(data):
                raise CardError(SW_WRONG_DATA, "truncated tag")
            tag = (tag << 8) | data[pos]
            pos += 1
        if pos >= len(data):
            raise CardError(SW_WRONG_DATA, "missing length")
        length = data[pos]
        pos += 1
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 2 or pos + count > len(data):
                raise CardError(SW_WRONG_DATA, "bad length")
            length = int.from_bytes(data[pos:pos + count], "big")
            pos += count
        if pos + length > len(data):
            raise CardError(SW_WRONG_DATA, "value runs past the data")
        items.append((tag, bytes(data[pos:pos + length])))
        pos += length
    return items


def tlv(tag, value):
    head = tag.to_bytes(2, "big") if tag > 0xFF else bytes([tag])
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x100:
        length = bytes([0x81, n])
    else:
        length = bytes([0x82]) + n.to_bytes(2, "big")
    return head + length + value


# ---- File system --------------------------------------------------------------

FD_DF = 0x38
FD_TRANSPARENT = 0x01
# Security attribute bytes (ISO 7816-4 table 20 as the applet uses them).
SC_ALWAYS = 0x00
SC_PIN = 0x90
SC_NEVER = 0xFF
# Index of the condition byte per operation in the 8-byte attribute.
EF_READ, EF_UPDATE, EF_DELETE_SELF = 7, 6, 1
DF_DELETE_CHILD, DF_CREATE_EF, DF_CREATE_DF, DF_DELETE_SELF = 7, 6, 5, 1
MAX_CHILDREN = 64
MAX_FILE_SIZE = 0x7FFF
MAX_DEPTH = 8


class Node:
    def __init__(self, fid, parent, sec_attr, descriptor, size=0, name=b""):
        self.fid = fid
        self.parent = parent
        self.sec_attr = sec_attr
        self.descriptor = descriptor
        self.name = name
        self.children = {}
        self.data = bytearray(size)

    @property
    def is_df(self):
        return self.descriptor == FD_DF

    def fcp(self):
        body = tlv(0x82, bytes([self.descriptor])) + tlv(0x83, self.fid.to_bytes(2, "big"))
        if self.is_df:
            if self.name:
                body += tlv(0x84, self.name)
        else:
            body += tlv(0x80, len(self.data).to_bytes(2, "big"))
        if self.sec_attr:
            body += tlv(0x86, self.sec_attr)
        body += tlv(0x8A, b"\x05")
        return tlv(0x62, body)

    def file_bytes(self, depth=0):
        """Bytes taken by this file, or by every file under this folder."""
        if not self.is_df:
            return len(self.data)
        if depth >= MAX_DEPTH:
            return 0
        return sum(child.file_bytes(depth + 1) for child in self.children.values())


# ---- RSA ------------------------------------------------------------------------


class RsaKey:
    """A private key kept as its CRT parts, as the applet imports it."""

    def __init__(self, p, q, qinv, dp, dq):
        self.p, self.q, self.qinv, self.dp, self.dq = p, q, qinv, dp, dq
        self.n = p * q
        self.size = (self.n.bit_length() + 7) // 8

    def private_op(self, block):
        c = int.from_bytes(block, "big")
        if c >= self.n:
            raise CardError(SW_WRONG_DATA, "input not below the modulus")
        m1 = pow(c, self.dp, self.p)
        m2 = pow(c, self.dq, self.q)
        h = (self.qinv * (m1 - m2)) % self.p
        return (m2 + h * self.q).to_bytes(self.size, "big")

    def sign_pkcs1(self, digest_info):
        if len(digest_info) > self.size - 11:
            raise CardError(SW_WRONG_LENGTH, "data too long for the key")
        pad = b"\xff" * (self.size - 3 - len(digest_info))
        return self.private_op(b"\x00\x01" + pad + b"\x00" + digest_info)

    def decipher_pkcs1(self, cryptogram):
        if len(cryptogram) != self.size:
            raise CardError(SW_WRONG_LENGTH, "cryptogram of the wrong length")
        block = self.private_op(cryptogram)
        end = block.find(b"\x00", 2)
        if block[0:2] != b"\x00\x02" or end < 10:
            raise CardError(SW_WRONG_DATA, "not PKCS#1 v1.5 encryption padding")
        return block[end + 1:]


# ---- The applet -----------------------------------------------------------------

APPLET_AID = bytes.fromhex("f276a288bcfba69d34f31001")
API_VERSION = b"\x00\x06"
FEATURE_SECURE_RANDOM = 0x02
PIN_REF, PUK_REF = 1, 2
PIN_TRIES = 3
MAX_PIN_LENGTH = 16
KEY_SLOTS = 16
ALG_RSA_GEN_2048 = 0xF3
ALG_RSA_PKCS1 = 0x11
MAX_CHAINED = 4096
MAX_APDU_DATA = 255
# Memory a 2048-bit key takes in its slot: the five CRT parts of 128 bytes.
KEY_SLOT_BYTES = 5 * 128


class Pin:
    def __init__(self):
        self.value = None
        self.tries = PIN_TRIES

    @staticmethod
    def _unpadded(value):
        # OpenSC pads PINs to their stored length with 0x00 when asked to.
        return bytes(value).rstrip(b"\x00")

    def check(self, candidate):
        """Counts a presentation; returns the status word."""
        if self.value is None:
            return SW_CONDITIONS
        if self.tries == 0:
            return SW_BLOCKED
        if self._unpadded(candidate) == self.value:
            self.tries = PIN_TRIES
            return SW_OK
        self.tries -= 1
        # The try that blocks the PIN still answers "wrong, 0 left"; only
        # later presentations answer "blocked".
        return bytes([0x63, 0xC0 | self.tries])

    def set(self, value):
        value = self._unpadded(value)
        if not 1 <= len(value) <= MAX_PIN_LENGTH:
            raise CardError(SW_WRONG_LENGTH, "PIN length")
        self.value = value
        self.tries = PIN_TRIES


class IsoAppletCard:
    """The card's state and its command set (without the transport)."""

    def __init__(self, control_dir=None, access_rules=True):
        self.control_dir = control_dir
        self.access_rules = access_rules
        self.apdus = 0
        self.mf = Node(0x3F00, None, bytes([0xFF] + [SC_ALWAYS] * 7) if access_rules else b"", FD_DF)
        self.pins = {PIN_REF: Pin(), PUK_REF: Pin()}
        self.keys = {}
        self.reset()

    # -- contents kept across emulator runs

    def save(self, path):
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            pickle.dump((self.mf, self.pins, self.keys), f)
        os.replace(tmp, path)

    def load(self, path):
        with open(path, "rb") as f:
            self.mf, self.pins, self.keys = pickle.load(f)
        self.reset()

    def reset(self):
        self.current = self.mf
        self.verified = False
        self.env = {}
        self.chain = None

    # -- control folder

    def _control(self, name):
        return os.path.join(self.control_dir, name) if self.control_dir else None

    def _publish(self, name, value):
        path = self._control(name)
        if path:
            tmp = path + ".tmp"
            with open(tmp, "w") as f:
                f.write("%d\n" % value)
            os.replace(tmp, path)

    def _publish_count(self):
        # The memory figures first: a test that sees the new APDU count
        # also sees the memory after that command.
        self._publish("used-bytes", self.used_bytes())
        self._publish("key-slots", len(self.keys))
        self._publish("apdus", self.apdus)

    def used_bytes(self):
        return self.mf.file_bytes() + KEY_SLOT_BYTES * len(self.keys)

    def _reserve(self, size):
        """Refuses an allocation of size more bytes beyond the capacity."""
        path = self._control("capacity")
        if not path or size == 0:
            return
        try:
            with open(path) as f:
                capacity = int(f.read().strip() or "0")
        except FileNotFoundError:
            return
        except ValueError:
            capacity = 0
        used = self.used_bytes()
        if used + size > capacity:
            raise CardError(SW_MEMORY_FULL, "memory full: %d bytes wanted, %d of %d used" % (size, used, capacity))

    # -- transport entry

    def execute(self, apdu):
        self.apdus += 1
        try:
            sw_data = self._dispatch(apdu)
        except CardError as e:
            logging.info("refused (%s): %s", e.sw.hex(), e)
            sw_data = e.sw
        self._publish_count()
        return sw_data

    def _dispatch(self, apdu):
        if len(apdu) < 4:
            raise CardError(SW_WRONG_LENGTH, "short APDU")
        cla, ins, p1, p2 = apdu[0], apdu[1], apdu[2], apdu[3]
        data, le = self._body(apdu[4:])
        if cla & 0x80 or cla & 0x0C:
            raise CardError(SW_CLA, "class not supported")
        if cla & 0x10:  # command chaining: keep the data, answer later
            self.chain = (ins, p1, p2, (self.chain[3] if self.chain and self.chain[0] == ins else b"") + data)
            if len(self.chain[3]) > MAX_CHAINED:
                self.chain = None
                raise CardError(SW_WRONG_LENGTH, "chained data too long")
            return SW_OK
        if self.chain is not None:
            if self.chain[0] == ins:
                data = self.chain[3] + data
            self.chain = None
        handler = self.HANDLERS.get(ins)
        if handler is None:
            raise CardError(SW_INS, "instruction %02x not supported" % ins)
        out = handler(self, p1, p2, data, le)
        return (out or b"") + SW_OK if not isinstance(out, tuple) else out[0] + out[1]

    @staticmethod
    def _body(rest):
        """Data and Le of a short APDU."""
        if len(rest) == 0:
            return b"", 0
        if len(rest) == 1:
            return b"", rest[0] or 256
        lc = rest[0]
        if lc == 0 or len(rest) < 1 + lc:
            raise CardError(SW_WRONG_LENGTH, "Lc does not match the data")
        data = bytes(rest[1:1 + lc])
        tail = rest[1 + lc:]
        if len(tail) > 1:
            raise CardError(SW_WRONG_LENGTH, "trailing bytes")
        return data, (tail[0] or 256) if tail else 0

    # -- access conditions

    def _require(self, node, index):
        cond = node.sec_attr[index] if len(node.sec_attr) == 8 else SC_ALWAYS
        if cond == SC_ALWAYS:
            return
        if cond == SC_PIN and self.verified:
            return
        raise CardError(SW_SECURITY, "access condition %02x not met" % cond)

    def _require_pin(self):
        if not self.verified:
            raise CardError(SW_SECURITY, "PIN not verified")

    # -- SELECT

    def _current_df(self):
        return self.current if self.current.is_df else self.current.parent

    def _child(self, df, fid):
        node = df.children.get(fid)
        if node is None:
            raise CardError(SW_NOT_FOUND, "no file %04x" % fid)
        return node

    def _walk(self, start, path):
        if len(path) % 2 or len(path) // 2 > MAX_DEPTH:
            raise CardError(SW_WRONG_DATA, "bad path")
        node = start
        for i in range(0, len(path), 2):
            if not node.is_df:
                raise CardError(SW_NOT_FOUND, "path goes through an EF")
            node = self._child(node, int.from_bytes(path[i:i + 2], "big"))
        return node

    def _find_name(self, df, name, depth=0):
        if df.name == name:
            return df
        if depth >= MAX_DEPTH:
            return None
        for child in df.children.values():
            if child.is_df:
                found = self._find_name(child, name, depth + 1)
                if found:
                    return found
        return None

    def select(self, p1, p2, data, le):
        if p1 == 0x04:
            if data == APPLET_AID:
                self.reset()
                return API_VERSION + bytes([FEATURE_SECURE_RANDOM])
            node = self._find_name(self.mf, data)
            if node is None:
                raise CardError(SW_NOT_FOUND, "no application " + data.hex())
        elif p1 == 0x00:
            if not data or data == b"\x3f\x00":
                node = self.mf
            elif len(data) != 2:
                raise CardError(SW_WRONG_DATA, "file identifier of %d bytes" % len(data))
            else:
                fid = int.from_bytes(data, "big")
                df = self._current_df()
                node = df.children.get(fid)
                if node is None and df.parent is not None:
                    if df.parent.fid == fid:
                        node = df.parent
                    else:
                        node = df.parent.children.get(fid)
                if node is None:
                    raise CardError(SW_NOT_FOUND, "no file %04x" % fid)
        elif p1 == 0x03:
            node = self._current_df().parent or self.mf
        elif p1 == 0x08:
            node = self._walk(self.mf, data)
        elif p1 == 0x09:
            node = self._walk(self._current_df(), data)
        else:
            raise CardError(SW_WRONG_P1P2, "selection mode %02x" % p1)
        self.current = node
        return b"" if p2 & 0x0C == 0x0C else node.fcp()

    # -- files

    def create_file(self, p1, p2, data, le):
        items = parse_tlv(data)
        if len(items) != 1 or items[0][0] not in (0x62, 0x6F):
            raise CardError(SW_WRONG_DATA, "no FCP template")
        fields = dict(parse_tlv(items[0][1]))
        if 0x83 not in fields or len(fields[0x83]) != 2:
            raise CardError(SW_WRONG_DATA, "no file identifier")
        fid = int.from_bytes(fields[0x83], "big")
        descriptor = fields.get(0x82, b"\x01")[0]
        sec_attr = fields.get(0x86, bytes([0xFF] + [SC_ALWAYS] * 7)) if self.access_rules else b""
        df = self._current_df()
        is_df = descriptor == FD_DF
        self._require(df, DF_CREATE_DF if is_df else DF_CREATE_EF)
        if fid in (0x3F00, 0x3FFF, 0xFFFF) or fid in df.children:
            raise CardError(SW_EXISTS, "file %04x exists" % fid)
        if len(df.children) >= MAX_CHILDREN:
            raise CardError(SW_MEMORY_FULL, "directory full")
        size_field = fields.get(0x80, fields.get(0x81, b""))
        size = int.from_bytes(size_field[:2], "big") if size_field else 0
        if is_df:
            size = 0
        elif size > MAX_FILE_SIZE:
            raise CardError(SW_MEMORY_FULL, "file too large")
        self._reserve(size)
        node = Node(fid, df, sec_attr, FD_DF if is_df else FD_TRANSPARENT, size, fields.get(0x84, b""))
        df.children[fid] = node
        self.current = node
        return b""

    def delete_file(self, p1, p2, data, le):
        if p1 == 0x02 or (p1 == 0x00 and len(data) == 2):
            df = self._current_df()
            node = self._child(df, int.from_bytes(data, "big"))
        elif p1 == 0x00 and not data:
            node = self.current
        else:
            raise CardError(SW_WRONG_P1P2, "delete mode %02x" % p1)
        if node.parent is None:
            raise CardError(SW_CONDITIONS, "the MF stays")
        self._require(node.parent, DF_DELETE_CHILD)
        del node.parent.children[node.fid]
        self.current = node.parent
        return b""

    def _ef_offset(self, p1, p2):
        if p1 & 0x80:
            raise CardError(SW_WRONG_P1P2, "short file identifiers not supported")
        if self.current.is_df:
            raise CardError(b"\x69\x86", "no EF selected")
        return (p1 << 8) | p2

    def read_binary(self, p1, p2, data, le):
        offset = self._ef_offset(p1, p2)
        self._require(self.current, EF_READ)
        content = self.current.data
        if offset > len(content):
            raise CardError(SW_OFFSET, "offset past the end")
        out = bytes(content[offset:offset + le])
        return (out, SW_END_OF_FILE) if len(out) < le else out

    def update_binary(self, p1, p2, data, le):
        offset = self._ef_offset(p1, p2)
        self._require(self.current, EF_UPDATE)
        if offset + len(data) > len(self.current.data):
            raise CardError(SW_MEMORY_FULL, "write past the end of the file")
        self.current.data[offset:offset + len(data)] = data
        return b""

    # -- PINs

    def _pin(self, ref):
        pin = self.pins.get(ref)
        if pin is None:
            raise CardError(SW_REF_NOT_FOUND, "no PIN %02x" % ref)
        return pin

    def verify(self, p1, p2, data, le):
        pin = self._pin(p2)
        if not data:  # status query
            if pin.tries == 0:
                return b"", SW_BLOCKED
            if p2 == PIN_REF and self.verified:
                return b""
            return b"", bytes([0x63, 0xC0 | pin.tries])
        sw = pin.check(data)
        if p2 == PIN_REF:
            self.verified = sw == SW_OK
        return b"", sw

    def change_reference_data(self, p1, p2, data, le):
        pin = self._pin(p2)
        if p1 == 0x01:  # new value only: while the PIN is not set yet
            if pin.value is not None:
                raise CardError(SW_CONDITIONS, "PIN already set")
            pin.set(data)
            return b""
        if p1 != 0x00 or pin.value is None:
            raise CardError(SW_WRONG_P1P2, "change mode %02x" % p1)
        sw = pin.check(data[:len(pin.value)])
        if sw != SW_OK:
            return b"", sw
        pin.set(data[len(pin.value):])
        return b""

    def reset_retry_counter(self, p1, p2, data, le):
        pin = self._pin(p2)
        puk = self.pins[PUK_REF]
        if puk.value is None:
            raise CardError(SW_CONDITIONS, "no PUK")
        sw = puk.check(data[:len(puk.value)])
        if sw != SW_OK:
            return b"", sw
        if p1 == 0x00:
            pin.set(data[len(puk.value):])
        elif p1 == 0x01:
            pin.tries = PIN_TRIES
        else:
            raise CardError(SW_WRONG_P1P2, "unblock mode %02x" % p1)
        return b""

    # -- keys

    def manage_security_environment(self, p1, p2, data, le):
        if p1 != 0x41 or p2 not in (0x00, 0xB6, 0xB8):
            raise CardError(SW_WRONG_P1P2, "environment %02x %02x" % (p1, p2))
        fields = dict(parse_tlv(data))
        ref = fields.get(0x84, fields.get(0x83))
        if ref is None or len(ref) != 1 or ref[0] >= KEY_SLOTS:
            raise CardError(SW_REF_NOT_FOUND, "key reference")
        alg = fields.get(0x80, b"")
        self.env = {"op": p2, "key": ref[0], "alg": alg[0] if alg else None}
        return b""

    def put_data(self, p1, p2, data, le):
        if (p1, p2) != (0x3F, 0xFF):
            raise CardError(SW_WRONG_P1P2, "data object %02x%02x" % (p1, p2))
        self._require_pin()
        if self.env.get("op") != 0x00 or self.env.get("alg") != ALG_RSA_GEN_2048:
            raise CardError(SW_CONDITIONS, "no key import environment")
        outer = parse_tlv(data)
        if len(outer) != 1 or outer[0][0] != 0x7F48:
            raise CardError(SW_WRONG_DATA, "no RSA private key template")
        parts = dict(parse_tlv(outer[0][1]))
        if any(tag not in parts for tag in (0x92, 0x93, 0x94, 0x95, 0x96)):
            raise CardError(SW_WRONG_DATA, "a CRT part is missing")
        num = {tag: int.from_bytes(parts[tag], "big") for tag in parts}
        key = RsaKey(num[0x92], num[0x93], num[0x94], num[0x95], num[0x96])
        if key.size != 256:
            raise CardError(b"\x6a\x81", "only 2048-bit keys")
        if self.env["key"] not in self.keys:
            self._reserve(KEY_SLOT_BYTES)
        self.keys[self.env["key"]] = key
        return b""

    def perform_security_operation(self, p1, p2, data, le):
        self._require_pin()
        key = self.keys.get(self.env.get("key"))
        if key is None or self.env.get("alg") != ALG_RSA_PKCS1:
            raise CardError(SW_CONDITIONS, "no key or algorithm in the environment")
        if (p1, p2) == (0x9E, 0x9A) and self.env["op"] == 0xB6:
            return key.sign_pkcs1(data)
        if (p1, p2) == (0x80, 0x86) and self.env["op"] == 0xB8:
            if not data or data[0] != 0x00:
                raise CardError(SW_WRONG_DATA, "padding indicator")
            return key.decipher_pkcs1(data[1:])
        raise CardError(SW_CONDITIONS, "operation does not match the environment")

    def get_challenge(self, p1, p2, data, le):
        return secrets.token_bytes(le or 8)

    HANDLERS = {
        0xA4: select,
        0xE0: create_file,
        0xE4: delete_file,
        0xB0: read_binary,
        0xD6: update_binary,
        0x20: verify,
        0x24: change_reference_data,
        0x2C: reset_retry_counter,
        0x22: manage_security_environment,
        0xDB: put_data,
        0x2A: perform_security_operation,
        0x84: get_challenge,
    }


# T=1, no interface bytes beyond the protocol, no historical bytes.
ATR = bytes.fromhex("3b80800101")


class QuickAckSocket:
    """The connection to vpcd, acknowledging every segment at once.

    vpcd writes a command's length and its bytes in two sends; with Nagle's
    algorithm on its side and delayed acknowledgements on ours, the second
    half waits some 40 ms for our ACK, on every APDU. TCP_QUICKACK is reset
    by the kernel as it sees fit, so it is set again before every receive.
    """

    def __init__(self, sock):
        self._sock = sock
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def recv(self, size):
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        return self._sock.recv(size)

    def __getattr__(self, name):
        return getattr(self._sock, name)


def make_os(base, card):
    class IsoAppletOS(base):
        """The vpcd side: power and reset events and APDUs."""

        def getATR(self):
            return ATR

        def powerUp(self):
            card.reset()

        def powerDown(self):
            card.reset()

        def reset(self):
            card.reset()

        def execute(self, msg):
            return card.execute(bytes(msg))

    return IsoAppletOS()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=35963)
    parser.add_argument("--control", help="control folder (apdus, capacity, used-bytes, key-slots)")
    parser.add_argument("--no-access-rules", action="store_true",
                        help="files carry no security attributes (no PIN asked for updates and deletes)")
    parser.add_argument("--state", help="contents file: loaded at start, saved on SIGUSR1")
    parser.add_argument("--vsmartcard-path", default=VSMARTCARD_PATH)
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    level = logging.INFO if args.verbose else logging.WARNING
    vs = load_vsmartcard(args.vsmartcard_path)
    card = IsoAppletCard(args.control, access_rules=not args.no_access_rules)
    if args.state:
        if os.path.exists(args.state):
            card.load(args.state)
        signal.signal(signal.SIGUSR1, lambda signum, frame: card.save(args.state))
    # The framework's ISO 7816 card is made and then replaced by ours: its
    # constructor also connects to vpcd and logs how that went.
    try:
        icc = vs.VirtualICC(None, "iso7816", args.host, args.port, logginglevel=level)
    except SystemExit:
        sys.exit("isoapplet_card: no virtual reader (vpcd under pcscd) at %s:%d" % (args.host, args.port))
    icc.os = make_os(vs.SmartcardOS, card)
    icc.sock = QuickAckSocket(icc.sock)
    if card.control_dir:
        card._publish_count()
    icc.run()  # returns (by SystemExit) when vpcd closes the connection


if __name__ == "__main__":
    main()
