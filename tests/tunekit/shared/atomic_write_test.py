"""Files written whole or not at all: readers see the old file or the new one, never a piece."""
import os
import stat

import pytest

from tuning.atomic_write import atomic_output, write_bytes_atomically, write_text_atomically


def test_a_write_replaces_the_file_whole_keeping_its_mode(tmp_path):
    path = tmp_path / "result.json"
    path.write_text("old")
    os.chmod(path, 0o640)
    seen_during = []
    old_mask = os.umask(0o077)  # a rewrite keeps the file's own mode, whatever the umask
    try:
        with atomic_output(str(path), "w") as f:
            f.write("new ")
            # While the block runs the old file is in place and the new one is a hidden sibling.
            seen_during = sorted(os.listdir(tmp_path))
            assert path.read_text() == "old"
            f.write("text é")
    finally:
        os.umask(old_mask)
    assert path.read_text(encoding="utf-8") == "new text é"
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    old_mask = os.umask(0o027)
    try:  # a new file gets the mode any new file would
        write_text_atomically(str(tmp_path / "new.json"), "{}")
    finally:
        os.umask(old_mask)
    assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o640
    os.unlink(tmp_path / "new.json")
    assert len(seen_during) == 2 and any(n.startswith(".result.json.") and n.endswith(".partial")
                                         for n in seen_during)
    assert os.listdir(tmp_path) == ["result.json"]

    write_bytes_atomically(str(path), memoryview(b"\x01\x02\x03"))
    assert path.read_bytes() == b"\x01\x02\x03"
    write_text_atomically(str(path), "text")
    assert path.read_text() == "text"


@pytest.mark.parametrize("error", [OSError("disk full"), KeyboardInterrupt()])
def test_a_failed_or_interrupted_write_keeps_the_old_file_and_leaves_nothing_beside_it(tmp_path, error):
    path = tmp_path / "frame.raw"
    path.write_bytes(b"old")
    with pytest.raises(type(error)):
        with atomic_output(str(path)) as f:
            f.write(b"half a fr")
            raise error
    assert path.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["frame.raw"]

    # A first write that fails creates nothing at all.
    with pytest.raises(OSError):
        with atomic_output(str(tmp_path / "new.raw")) as f:
            raise OSError("no")
    assert os.listdir(tmp_path) == ["frame.raw"]


def test_a_missing_folder_or_a_bad_mode_is_refused_before_anything_is_written(tmp_path):
    with pytest.raises(FileNotFoundError):
        write_text_atomically(str(tmp_path / "absent" / "x.json"), "{}")
    with pytest.raises(ValueError, match="expected mode 'wb' or 'w', found 'a'"):
        with atomic_output(str(tmp_path / "x"), "a"):
            pass
    assert os.listdir(tmp_path) == []
