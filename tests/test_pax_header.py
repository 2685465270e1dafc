"""Tar headers of the archive engine for values at and past the ustar limits,
read back with Python's tarfile (the engine library linked into a small driver)."""
import io
import os
import subprocess
import tarfile

import pytest

LIMIT_8G = 8 ** 11  # first size the 12-byte octal field cannot hold
LIMIT_ID = 8 ** 7   # first id the 8-byte octal field cannot hold


@pytest.fixture(scope="module")
def encode(native_driver):
    exe = native_driver("pax_header_driver")

    def run(name, type="0", mode="644", size=0, uid=0, gid=0, mtime=0, link=b"", uname=b"u", gname=b"g"):
        args = [str(exe), name, type, mode, str(size), str(uid), str(gid), str(mtime), link, uname, gname]
        out = subprocess.run([os.fsencode(a) if isinstance(a, str) else a for a in args],
                             check=True, capture_output=True).stdout
        assert len(out) % 512 == 0
        return out

    return run


def read_member(header):
    # The member's data is not there; tarfile reads the header alone.
    with tarfile.open(fileobj=io.BytesIO(header + bytes(1024)), mode="r:") as tar:
        return tar.next()


def test_values_that_fit_make_one_ustar_block(encode):
    header = encode(b"a/" + b"n" * 98, size=LIMIT_8G - 1, uid=LIMIT_ID - 1, gid=LIMIT_ID - 1,
                    mtime=LIMIT_8G - 1, uname=b"u" * 31, gname=b"g" * 31)
    assert len(header) == 512
    m = read_member(header)
    assert (m.name, m.size, m.uid, m.gid, m.mtime) == ("a/" + "n" * 98, LIMIT_8G - 1, LIMIT_ID - 1,
                                                       LIMIT_ID - 1, LIMIT_8G - 1)
    assert (m.uname, m.gname, m.mode) == ("u" * 31, "g" * 31, 0o644)


def test_long_ascii_paths_use_the_prefix_field_before_pax(encode):
    name = "p" * 150 + "/" + "n" * 100
    header = encode(name.encode())
    assert len(header) == 512 and read_member(header).name == name
    # No "/" that leaves both parts short enough: pax.
    header = encode(b"q" * 101)
    assert len(header) > 512 and read_member(header).name == "q" * 101


@pytest.mark.parametrize("field, value, kwargs", [
    ("size", LIMIT_8G, {"size": LIMIT_8G}),
    ("size", 9 * 2**30 + 3, {"size": 9 * 2**30 + 3}),
    ("uid", LIMIT_ID, {"uid": LIMIT_ID}),
    ("gid", 2**32 - 2, {"gid": 2**32 - 2}),
    ("mtime", -1, {"mtime": -1}),
    ("mtime", LIMIT_8G, {"mtime": LIMIT_8G}),
])
def test_numbers_past_the_octal_fields_go_to_pax(encode, field, value, kwargs):
    header = encode(b"f", **kwargs)
    assert len(header) == 3 * 512
    m = read_member(header)
    assert getattr(m, field) == value
    assert m.pax_headers == {field: str(value)}


def test_names_and_owners_that_do_not_fit(encode):
    m = read_member(encode("d/ünï".encode(), type="2", link="цель".encode(), uname=b"x" * 32,
                           gname="grüppe".encode()))
    assert (m.name, m.linkname, m.uname, m.gname) == ("d/ünï", "цель", "x" * 32, "grüppe")
    assert set(m.pax_headers) == {"path", "linkpath", "uname", "gname"}

    raw = b"bad-\xff\xfe"
    m = read_member(encode(raw, type="1", link=b"t\xc0\xafx"))  # an overlong "/" is not UTF-8
    assert m.pax_headers["hdrcharset"] == "BINARY"
    assert os.fsencode(m.name) == raw and os.fsencode(m.linkname) == b"t\xc0\xafx"
