"""The tool's HDF5 files as another reader (h5py) sees them: a finished run is valid NeXus data whose frames
match the CSV files, a run can be followed while it is written, and a killed run keeps its marker and
every frame up to its last flush.

Run by CTest as: python3 -m pytest test_hdf5_reader.py --tool <vantiko-cli>.
"""

import json
import os
import shutil
import signal
import subprocess
import time

import h5py
import numpy
import pytest

DETECTOR = "/entry/instrument/detector"


@pytest.fixture
def tool(request, tmp_path):
    """Runs the tool on the simulated instrument with its settings, log and saves inside tmp_path."""
    program = request.config.getoption("--tool")
    environment = dict(os.environ)
    environment.update(
        {
            "XDG_CONFIG_HOME": str(tmp_path / "config"),
            "VANTIKO_LINK": "simulator",
            "VANTIKO_SIM_CONTROL": str(tmp_path / "control.txt"),
        }
    )
    environment.pop("VANTIKO_D2XX_LIBRARY", None)

    def start(*arguments):
        return subprocess.Popen(
            [program, *arguments],
            cwd=tmp_path,
            env=environment,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )

    return start


def text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def check_nexus(file, frames):
    """The NeXus rules a reader follows to the plottable data, and the names this file gives NeXus fields."""
    assert text(file.attrs["default"]) == "entry"
    entry = file["entry"]
    assert text(entry.attrs["NX_class"]) == "NXentry"
    plot = entry[text(entry.attrs["default"])]
    assert text(plot.attrs["NX_class"]) == "NXdata"
    signal_data = plot[text(plot.attrs["signal"])]
    assert signal_data.shape == (frames, 64, 64)
    assert signal_data.dtype == numpy.float64
    assert text(signal_data.attrs["units"]) == "nA"
    detector = file[DETECTOR]
    assert text(detector.attrs["NX_class"]) == "NXdetector"
    # The plot's signal is the detector's data itself.
    assert detector["data"].id == signal_data.id
    # frame_start: seconds since start_time, which its "start" attribute names; count_time is the
    # integration time and frame_time the frame period (integration and readout), both in seconds.
    start = detector["frame_start"]
    assert text(start.attrs["units"]) == "s"
    assert text(start.attrs["start"]) == text(entry["start_time"][()])
    assert start.shape == (frames,)
    assert numpy.all(numpy.diff(start[()]) > 0)
    assert text(detector["count_time"].attrs["units"]) == "s"
    assert text(detector["frame_time"].attrs["units"]) == "s"
    assert 0 < detector["count_time"][()] < detector["frame_time"][()]
    # Frames come no faster than the instrument's timing allows (the simulated one keeps it).
    if frames > 10:
        assert numpy.median(numpy.diff(start[()])) > 0.9 * detector["frame_time"][()]
    assert list(detector["sequence_number"][()]) == list(range(1, frames + 1))


def open_while_written(path, deadline):
    """Opens the file as a reader that follows its writer. In the instant between creating the file and
    letting readers in, the writer holds it locked: a reader then tries again."""
    while True:
        try:
            return h5py.File(path, "r", libver="latest", swmr=True)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def csv_frames(path):
    """The frame blocks of a frame CSV file: the time line's text and the 64 x 64 values."""
    blocks = open(path, encoding="utf-8").read().split("\n\n")
    frames = []
    for block in blocks:
        lines = block.strip("\n").split("\n")
        if len(lines) != 65:
            continue
        assert lines[0].startswith("Time: ")
        values = numpy.array([[float(v) for v in line.split(",")] for line in lines[1:]])
        frames.append((lines[0][len("Time: ") :], values))
    return frames


def test_finished_run_is_nexus_data_that_matches_the_csv(tool, tmp_path):
    process = tool("acquire", "--frames", "5", "--out", "saves", "--name", "scan", "--data", "--hdf5", "--json")
    out, err = process.communicate(timeout=120)
    assert process.returncode == 0, err.decode()
    answer = json.loads(out)
    folder = tmp_path / "saves" / "scan"
    assert answer["hdf5"] == str(folder / "scan.h5")
    assert not (folder / "scan.incomplete").exists()

    with h5py.File(folder / "scan.h5", "r") as file:
        check_nexus(file, 5)
        assert "end_time" in file["entry"]
        detector = file[DETECTOR]
        for suffix, name in (("_current.csv", "data"), ("_gray.csv", "gray")):
            frames = csv_frames(folder / ("scan" + suffix))
            assert len(frames) == 5
            for index, (stamp, values) in enumerate(frames):
                assert text(detector["local_time"][index]) == stamp
                # The CSV holds 6 significant digits of the file's values.
                numpy.testing.assert_allclose(values, detector[name][index], rtol=1e-5, atol=1e-12)


def test_a_reader_follows_the_run_and_a_killed_run_keeps_its_frames(tool, tmp_path):
    process = tool("acquire", "--frames", "100000", "--out", "saves", "--name", "long", "--hdf5", "--json")
    path = tmp_path / "saves" / "long" / "long.h5"
    try:
        deadline = time.monotonic() + 60
        while not path.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        seen = []
        # A reader opens the file while it is written and sees it grow.
        with open_while_written(path, deadline) as file:
            data = file[DETECTOR + "/data"]
            sequence = file[DETECTOR + "/sequence_number"]
            while time.monotonic() < deadline and len(seen) < 3:
                data.refresh()
                sequence.refresh()
                if data.shape[0] > (seen[-1] if seen else 0):
                    seen.append(data.shape[0])
                    newest = data[data.shape[0] - 1]
                    assert numpy.all(numpy.isfinite(newest))
                    assert numpy.any(newest != 0)  # the scene is lit: a frame that is there is not the fill
                time.sleep(0.3)
        assert len(seen) == 3, seen
        process.send_signal(signal.SIGKILL)
        process.wait(timeout=10)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()

    # The folder says that the run is incomplete, and which file.
    marker = (tmp_path / "saves" / "long" / "long.incomplete").read_text(encoding="utf-8")
    assert "long.h5" in marker.splitlines()
    # Every frame the reader saw is still there, and the file is the same NeXus data.
    with h5py.File(path, "r", libver="latest", swmr=True) as file:
        frames = file[DETECTOR + "/data"].shape[0]
        assert frames >= seen[-1]
        check_nexus(file, frames)
        assert "end_time" not in file["entry"]
    # The writer never closed the file; h5clear lets every reader open it as usual.
    h5clear = shutil.which("h5clear")
    if h5clear:
        subprocess.run([h5clear, "-s", str(path)], check=True)
        with h5py.File(path, "r") as file:
            assert file[DETECTOR + "/data"].shape[0] == frames
