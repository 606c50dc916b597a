"""What the built distribution promises: what its binaries export, what its
diagnostics reveal about the build machine, and one version everywhere."""
import glob
import os
import re
import shutil
import subprocess

import pytest

import _qeltypes as q

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def installed_extension_modules():
    """Every extension module the distribution installs: `_qeltypes` and any
    module inside the package beside it."""
    site = os.path.dirname(q.__file__)
    return [q.__file__] + sorted(glob.glob(os.path.join(site, "qeltypes", "**", "*.so"),
                                           recursive=True))


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_each_module_exports_its_init_function_alone():
    for path in installed_extension_modules():
        out = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        names = [line.split()[-1] for line in out.splitlines() if line.strip()]
        module = os.path.basename(path).split(".")[0]
        assert names == ["PyInit_" + module], path


def test_diagnostic_records_name_sources_inside_the_project(capfd):
    with pytest.raises(q.qeltypesError):
        q.qelt_read_from_buffer(b"_QEL\x01\x00\x00\x30\x77")
    out = capfd.readouterr().out
    paths = re.findall(r"\[([^\]]*)\]\[line: \d+\]", out)
    assert paths and all(re.match(r"^(libqel-c|variant|bridge)/src/\w+\.cpp$", p) for p in paths), out
    assert os.path.abspath(ROOT) not in out


def test_one_version_everywhere():
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        version = re.search(r'^version = "([0-9.]+)"$', f.read(), re.M).group(1)
    try:
        from importlib import metadata
    except ImportError:  # 3.7: the dist-info folder carries it
        site = os.path.dirname(q.__file__)
        installed = [re.match(r"qeltypes-(.+)\.dist-info$", n) for n in os.listdir(site)]
        assert [m.group(1) for m in installed if m] == [version]
    else:
        assert metadata.version("qeltypes") == version
    for doc in glob.glob(os.path.join(ROOT, "*.md")) + glob.glob(os.path.join(ROOT, "docs", "*.md")):
        with open(doc, encoding="utf-8") as f:
            for mentioned in re.findall(r"qeltypes (\d+\.\d+\.\d+)", f.read()):
                assert mentioned == version, doc
