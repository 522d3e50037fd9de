"""The progress= display: nothing, a callback, tqdm, or a plain line."""

import io

import numpy as np
import pytest

import vesk
from vesk import _progress
from vesk._progress import progress_display


def test_callback_sees_every_update_from_zero():
    calls = []
    with progress_display(lambda done, total: calls.append((done, total)), 5) as bar:
        bar.update()
        bar.update(3)
    assert calls == [(0, 5), (1, 5), (4, 5)]


@pytest.mark.parametrize("progress", [None, False])
def test_off_shows_nothing(progress, capsys):
    with progress_display(progress, 3) as bar:
        bar.update(3)
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("progress", [1, "yes", 0.5])
def test_other_values_are_refused(progress):
    with pytest.raises(TypeError, match=r"^progress: give True, False or a callable"):
        progress_display(progress, 3)


def test_plain_line_without_tqdm(monkeypatch, capsys):
    monkeypatch.setattr(_progress, "_tqdm_class", lambda: None)
    monkeypatch.setattr(_progress, "_LINE_INTERVAL", 1e9)  # only the first and the last
    with pytest.raises(KeyboardInterrupt):
        with progress_display(True, 1000, desc="run") as bar:
            bar.update(420)
            raise KeyboardInterrupt
    assert capsys.readouterr().err == "\rrun:   0% (0/1000)\rrun:  42% (420/1000)\n"


def test_tqdm_bar_is_closed_on_interrupt(monkeypatch):
    tqdm = pytest.importorskip("tqdm")
    stream = io.StringIO()
    bars = []

    def make(**kwargs):
        bars.append(tqdm.tqdm(file=stream, **kwargs))
        return bars[-1]

    monkeypatch.setattr(_progress, "_tqdm_class", lambda: make)
    with pytest.raises(KeyboardInterrupt):
        with progress_display(True, 10, desc="batch") as bar:
            bar.update(4)
            raise KeyboardInterrupt
    assert (bars[0].n, bars[0].total) == (4, 10)
    assert "batch:  40%" in stream.getvalue() and stream.getvalue().endswith("\n")


class Stop(Exception):
    pass


@pytest.mark.parametrize("batch", [False, True], ids=["run", "run_batch"])
def test_runs_report_progress_without_changing_a_bit(kaldo, batch):
    def go(t_end=60, **kwargs):
        if batch:
            return vesk.run_batch(kaldo, [{}, {"parameters": {"alfa": 0.3}}], t_end,
                                  record=[160], **kwargs)[1]
        return vesk.run(kaldo, t_end, record=[160], **kwargs)

    calls = []
    shown = go(progress=lambda done, total: calls.append((done, total)))
    assert np.array_equal(shown.nodes, go().nodes)
    assert calls[0] == (0, 600) and calls[-1] == (600, 600)
    assert all(a[0] < b[0] for a, b in zip(calls, calls[1:]))

    def stop(done, total):
        if done:
            raise Stop

    with pytest.raises(Stop):  # long enough to stop before the end
        go(180, progress=stop)
