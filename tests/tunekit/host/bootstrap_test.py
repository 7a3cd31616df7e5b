"""The bootstrap finder: what it installs, prints and resolves."""
import os
import subprocess
import sys
import textwrap

import pytest

import tuning.tunekit as tunekit

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def run_fresh(code):
    """Runs code in a new interpreter, so the meta path starts clean."""
    env = dict(os.environ, PYTHONPATH=ROOT)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, cwd=ROOT, check=True).stdout


def test_bootstrap_twice_installs_one_finder_and_prints_one_line():
    out = run_fresh("""
        import sys, tuning.tunekit as t
        t.bootstrap_cython_submodules(); t.bootstrap_cython_submodules()
        names = [type(f).__name__ for f in sys.meta_path]
        print(names.count("CythonPackageMetaPathFinder"), names[-1])
    """)
    lines = out.splitlines()
    assert lines[0] == "in tuning bootstrap " + tunekit.__file__
    assert lines[1] == "1 CythonPackageMetaPathFinder"
    assert len(lines) == 2


def test_a_foreign_finder_of_that_class_name_prevents_the_install():
    out = run_fresh("""
        import sys, tuning.tunekit as t
        class CythonPackageMetaPathFinder:
            def find_spec(self, *a): return None
        sys.meta_path.insert(0, CythonPackageMetaPathFinder())
        t.bootstrap_cython_submodules()
        print(sum(isinstance(f, t.CythonPackageMetaPathFinder) for f in sys.meta_path))
    """)
    assert out == "0\n"


def test_all_modules_import_by_full_and_short_name_after_the_bootstrap():
    out = run_fresh("""
        import tuning.tunekit as t
        t.bootstrap_cython_submodules()
        import tuning.blc.blc, tuning.bpc.bpc, tuning.common, tuning.noise_profile.read_noise
        import tuning.noise_profile.shot_noise
        import bpc
        print(bpc.__name__, tuning.blc.blc.__name__, tuning.common.__file__ == t.__file__)
    """)
    assert out.splitlines()[-1] == "tuning.bpc.bpc tuning.blc.blc True"


def test_the_package_name_in_the_filter_list_fails_with_the_hosts_error():
    finder = tunekit.CythonPackageMetaPathFinder(["tuning.noise_profile"])
    spec = finder.find_spec("tuning.noise_profile", None, None)
    with pytest.raises(ImportError):
        spec.loader.create_module(spec)


def test_find_spec_answers_only_for_its_names():
    names = ["tuning.bpc.bpc"]
    finder = tunekit.CythonPackageMetaPathFinder(names)
    assert finder.name_filters is names
    spec = finder.find_spec("tuning.bpc.bpc", None, None)
    assert spec.name == "tuning.bpc.bpc"
    assert spec.origin == tunekit.__file__
    assert finder.find_spec("tuning.bpc", None, None) is None
    assert finder.find_spec("numpy", path=None, target=None) is None
    with pytest.raises(TypeError):
        finder.find_spec("tuning.bpc.bpc", None)


def test_the_installed_finder_answers_for_each_module_by_short_and_full_name():
    out = run_fresh("""
        import sys, tuning.tunekit as t
        t.bootstrap_cython_submodules()
        print(" ".join(sorted(sys.meta_path[-1].name_filters)))
    """)
    assert out.splitlines()[-1].split() == sorted([
        "common", "tuning.common", "blc", "tuning.blc.blc", "bpc", "tuning.bpc.bpc", "tuning.noise_profile",
        "read_noise", "tuning.noise_profile.read_noise", "shot_noise", "tuning.noise_profile.shot_noise",
        "characterize", "tuning.characterize.characterize"])
