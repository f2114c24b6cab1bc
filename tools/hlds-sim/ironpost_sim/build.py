"""Finds the simulator and the plugin, building them first when they are missing or stale."""

import json
import os
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
DEFAULT_BUILD_DIR = os.path.join(ROOT, "build", "demo")
SOURCE_DIRS = ("plugin/metamod/src", "plugin/metamod/include", "plugin/metamod/sdk", "tools/hlds-sim/src")


class BuildError(Exception):
    pass


def say(text):
    print(text, flush=True)


def _newest_source():
    newest = os.path.getmtime(os.path.join(ROOT, "CMakeLists.txt"))
    for folder in SOURCE_DIRS:
        for base, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in files:
                newest = max(newest, os.path.getmtime(os.path.join(base, name)))
    return newest


def _read_paths(build_dir):
    try:
        with open(os.path.join(build_dir, "hlds-sim-paths.json"), encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


def _install_missing_tools():
    """What a fresh Debian machine lacks for a native build, installed the way tools/test-all does."""
    need = [package for package, present in (
        ("cmake", shutil.which("cmake")), ("g++", shutil.which("g++")),
        ("googletest", os.path.isdir("/usr/src/googletest"))) if not present]
    if not need:
        return
    prefix = [] if os.geteuid() == 0 else ["sudo"]
    say("demo: installing " + " ".join(need) + " with apt-get (needed to build the plugin)")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for command in (prefix + ["apt-get", "update", "-qq"], prefix + ["apt-get", "install", "-y", "-qq"] + need):
        if subprocess.run(command, env=env).returncode != 0:
            raise BuildError("could not install " + " ".join(need) + "; install them and run again")


def locate(simulator=None, plugin=None, build_dir=None):
    """The simulator and plugin paths: given ones are used as they are; otherwise a native build is made
    (or brought up to date) in build/demo, saying so, since that takes a few minutes the first time."""
    if simulator and plugin:
        return simulator, plugin, ""
    build_dir = build_dir or DEFAULT_BUILD_DIR
    paths = _read_paths(build_dir)
    fresh = (paths and paths.get("plugin") and os.path.exists(paths["simulator"])
             and os.path.exists(paths["plugin"])
             and min(os.path.getmtime(paths["simulator"]), os.path.getmtime(paths["plugin"])) >= _newest_source())
    if not fresh:
        _install_missing_tools()
        say("demo: building the simulator and the plugin in %s (a few minutes the first time)" % build_dir)
        configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
        if shutil.which("ccache"):
            configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        if subprocess.run(configure, stdout=subprocess.DEVNULL).returncode != 0:
            raise BuildError("cmake could not configure " + build_dir)
        paths = _read_paths(build_dir)
        if not paths or not paths.get("plugin"):
            raise BuildError("this checkout has no plugin shared-object target to load yet")
        jobs = str(os.cpu_count() or 2)
        build = ["cmake", "--build", build_dir, "-j", jobs, "--target", "hlds_sim", paths["pluginTarget"]]
        if subprocess.run(build, stdout=subprocess.DEVNULL).returncode != 0:
            raise BuildError("the build failed; run: " + " ".join(build))
    return simulator or paths["simulator"], plugin or paths["plugin"], paths.get("emulator", "")


def simulator_command(simulator, emulator=""):
    """The command line prefix that runs the simulator (under an emulator for a foreign ABI)."""
    return ([emulator] if emulator else []) + [simulator]

