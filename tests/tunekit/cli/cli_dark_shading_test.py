"""tunekit dark-shading: the tables the routine makes, named by the pairs they belong to."""
import json
import os

import numpy as np
import pytest

from cli_helpers import BITS, HEIGHT, WIDTH, read_json, simulate, size_flags
from tuning.blc import blc
from tuning.cli.main import main

pytestmark = pytest.mark.skipif(not hasattr(blc, "dark_shading_tuning"), reason="dark shading is not in this build")


def test_tables_are_the_routines_and_name_only_pairs_with_captures(tmp_path, capsys):
    captures = simulate(tmp_path)
    for name in os.listdir(captures):
        if "_exp_20_again_2_" in name:
            os.unlink(os.path.join(captures, name))
    out = tmp_path / "out"
    code = main(["dark-shading", "-q", "-i", captures, "-o", str(out), *map(str, size_flags()),
                 "--with-sbl", "0", "--fpn-sbl", "60", "--mesh-table-h", "6", "--mesh-table-w", "8"])
    assert code == 0, capsys.readouterr().err
    assert "no captures for 1 of 4 conditions, which dark-shading skips: dark LCG exp 20 again 2" in \
        capsys.readouterr().err
    written = read_json(out / "dark_shading.json")
    with open(out / "dark_shading.json", encoding="utf-8") as f:
        assert f.read() == json.dumps(written, indent=4)  # the layout of every other result file
    assert list(written) == ["with_sbl", "fpn_sbl", "condition", "mesh_table"]
    assert written["condition"] == ["LCG_exp_10_again_1", "LCG_exp_20_again_1", "LCG_exp_10_again_2"]
    direct = blc.dark_shading_tuning(
        blc.BLCFileParam(inp_file_dir=captures, out_file_dir=str(tmp_path / "direct"), width=WIDTH, height=HEIGHT,
                         bits=BITS, again_list=[1, 2], exp_time_list=[10, 20]),
        blc.BLCTuningParam(with_sbl=0, fpn_sbl=60, mesh_table_h=6, mesh_table_w=8))["mesh_table"]
    capsys.readouterr()
    assert len(written["mesh_table"]) == len(direct) == 3
    for table, expected in zip(written["mesh_table"], direct):
        assert np.array_equal(np.asarray(table), expected) and expected.shape == (6, 8)
    config = read_json(out / "tunekit-config.json")
    assert (config["with_sbl"], config["fpn_sbl"], config["mesh_table_h"]) == (0, 60, 6)


def test_table_text_is_the_general_encoders_for_every_kind_of_value():
    from tuning.cli.calibrations import dark_shading

    tables = [np.array([[64.0, 1e-05], [float("nan"), 2.5]]), np.array([[float("inf"), -0.0]])]
    result = dark_shading.MeshTables(["a", "b"], [(1, 10), (2, 10)], tables, 0, 60)
    expected = {"with_sbl": 0, "fpn_sbl": 60, "condition": ["a", "b"], "mesh_table": [t.tolist() for t in tables]}
    assert dark_shading.to_json(result) == json.dumps(expected, indent=4)
    empty = dark_shading.MeshTables([], [], [], 1, 64)
    assert dark_shading.to_json(empty) == json.dumps(dict(expected, with_sbl=1, fpn_sbl=64, condition=[],
                                                              mesh_table=[]), indent=4)
