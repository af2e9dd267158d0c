"""The wheel configuration, checked offline: cibuildwheel (from PyPI) lists
what pyproject.toml asks it to build on each platform, and the workflow runs
a job for every platform and architecture of that list. Run by
tools/check-portable with that cibuildwheel's interpreter."""

import pathlib
import subprocess
import sys

import yaml

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXPECTED = {
    "linux": {
        f"{abi}-{tag}"
        for abi in ("cp314", "cp314t")
        for tag in ("manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64")
    },
    "macos": {f"{abi}-macosx_{arch}" for abi in ("cp314", "cp314t") for arch in ("x86_64", "arm64")},
    "windows": {f"{abi}-win_amd64" for abi in ("cp314", "cp314t")},
}


def identifiers(platform, archs=None):
    command = [sys.executable, "-m", "cibuildwheel", "--platform", platform, "--print-build-identifiers"]
    if archs:
        command += ["--archs", archs]
    out = subprocess.run(command + [str(ROOT)], capture_output=True, text=True, check=True).stdout
    return set(out.split())


def main():
    for platform, expected in EXPECTED.items():
        found = identifiers(platform)
        assert found == expected, f"{platform}: builds {sorted(found)}, expected {sorted(expected)}"
    workflow = yaml.safe_load((ROOT / ".github" / "workflows" / "wheels.yml").read_text())
    jobs = workflow["jobs"]["wheels"]["strategy"]["matrix"]["include"]
    built = set()
    for job in jobs:
        built |= identifiers(job["platform"], job["archs"])
    every = set().union(*EXPECTED.values())
    assert built == every, f"the workflow's jobs build {sorted(built)}, not {sorted(every)}"
    print(f"{len(every)} builds configured, each in a workflow job: {' '.join(sorted(every))}")


if __name__ == "__main__":
    main()
