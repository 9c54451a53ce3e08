"""The package's build backend (PEP 517), kept in the tree so that `pip install .` needs no package
from an index: it builds libvardenix.so and vardenix-component-host with CMake from this checkout
(Debian's cmake, ninja and compilers, as scripts/setup installs them) and packs them with the
Python files into a wheel, with the standard library alone.

$VARDENIX_BUILD_DIR names a CMake build folder to use (an existing one is only brought up to date);
the default is build-python/ at the top of the checkout.
"""
import base64
import hashlib
import os
import pathlib
import subprocess
import sysconfig
import zipfile

HERE = pathlib.Path(__file__).resolve().parent.parent  # python/
ROOT = HERE.parent
NAME = "vardenix"


def _version():
    for line in (ROOT / "CMakeLists.txt").read_text(encoding="utf-8").splitlines():
        if line.startswith("project(Vardenix VERSION "):
            return line.split()[2]
    raise RuntimeError("no project version in CMakeLists.txt")


def _tag():
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"py3-none-{platform}"


def _metadata():
    readme = (HERE / "README.md").read_text(encoding="utf-8")
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            "Summary: Checks an examination set-up before an exam (the Vardenix C API through ctypes)\n"
            "Requires-Python: >=3.9\nDescription-Content-Type: text/markdown\n\n" + readme)


def _build_native():
    build = pathlib.Path(os.environ.get("VARDENIX_BUILD_DIR") or ROOT / "build-python")
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DVARDENIX_TESTS=OFF", "-DVARDENIX_BENCH=OFF"], check=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "vardenix_capi", "vardenix-component-host"],
                   check=True)
    return build / "capi" / "libvardenix.so.1", build / "cli" / "vardenix-component-host"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = pathlib.Path(metadata_directory) / f"{NAME}-{_version()}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(_metadata(), encoding="utf-8")
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    library, host = _build_native()
    version = _version()
    wheel_name = f"{NAME}-{version}-{_tag()}.whl"
    info = f"{NAME}-{version}.dist-info"
    files = []  # (name in the wheel, bytes, mode)
    for path in sorted((HERE / NAME).iterdir()):
        if path.suffix == ".py" and path.name != "_install.py" or path.name == "py.typed":
            files.append((f"{NAME}/{path.name}", path.read_bytes(), 0o644))
    files.append((f"{NAME}/_lib/libvardenix.so.1", library.read_bytes(), 0o755))
    files.append((f"{NAME}/_lib/vardenix-component-host", host.read_bytes(), 0o755))
    files.append((f"{info}/METADATA", _metadata().encode(), 0o644))
    files.append((f"{info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: vardenix_build\nRoot-Is-Purelib: false\n"
                                    f"Tag: {_tag()}\n").encode(), 0o644))
    record = []
    for name, data, _ in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    files.append((f"{info}/RECORD", ("\n".join(record) + "\n").encode(), 0o644))
    target = pathlib.Path(wheel_directory) / wheel_name
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data, mode in files:
            entry = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    raise RuntimeError("build the package from a checkout of Vardenix: its C library comes from the whole tree")


