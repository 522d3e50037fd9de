"""The progress= display: nothing, a callback, tqdm or a plain line; and
the runs that report to it."""

import io

import numpy as np
import pytest

import vesk
from vesk import _progress
from vesk._progress import progress_display


def test_off_shows_nothing_and_a_callback_sees_every_update(capsys):
    calls = []
    for progress in (None, False, lambda done, total: calls.append((done, total))):
        with progress_display(progress, 5) as bar:
            bar.update()
            bar.update(3)
    assert calls == [(0, 5), (1, 5), (4, 5)]
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("progress", [1, "yes"])
def test_other_values_are_refused(progress):
    with pytest.raises(TypeError, match=r"^progress: give True, False or a callable"):
        progress_display(progress, 3)


@pytest.mark.parametrize("with_tqdm", [False, True], ids=["plain-line", "tqdm"])
def test_a_bar_ends_its_line_on_ctrl_c(monkeypatch, capsys, with_tqdm):
    stream = io.StringIO()
    if with_tqdm:
        tqdm = pytest.importorskip("tqdm").tqdm
        monkeypatch.setattr(_progress, "_tqdm_class", lambda: lambda **kw: tqdm(file=stream, **kw))
    else:
        monkeypatch.setattr(_progress, "_tqdm_class", lambda: None)
        monkeypatch.setattr(_progress, "_LINE_INTERVAL", 1e9)  # the first and the last only
    with pytest.raises(KeyboardInterrupt):
        with progress_display(True, 1000, desc="run") as bar:
            bar.update(420)
            raise KeyboardInterrupt
    shown = stream.getvalue() if with_tqdm else capsys.readouterr().err
    if not with_tqdm:
        assert shown == "\rrun:   0% (0/1000)\rrun:  42% (420/1000)\n"
    assert "run:  42%" in shown and shown.endswith("\n")


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
