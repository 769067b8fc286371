"""The Riskfolio adapter: chart texts recorded and drawn translated, the captured performance table and the
adapter's part of the allocation pipeline."""
import builtins

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402

import risk  # noqa: E402


@pytest.fixture
def german(monkeypatch):
    """A translation function that marks every text it translates."""
    monkeypatch.setattr(builtins, "_", lambda text: "de:" + text, raising=False)


def setters():
    return plt.Axes.set_xlabel, plt.Axes.set_ylabel, plt.Axes.set_title


def test_texts_drawn_in_the_scope_are_recorded_and_shown_translated(german):
    before = setters()
    fig, ax = plt.subplots()
    with risk.translateAxes() as entered:
        assert entered is None
        ax.set_xlabel("Expected Risk", labelpad=12)
        ax.set_ylabel(label="Expected Return")
        ax.set_title("Frontier", loc="left", fontsize=7)
        ax.set_title("Frontier")
        later = fig.add_subplot(2, 1, 2)
        later.set_xlabel("Made inside")
    assert setters() == before
    assert ax.get_xlabel() == "de:Expected Risk" and ax.xaxis.labelpad == 12
    assert ax.get_ylabel() == "de:Expected Return"
    assert ax.get_title(loc="left") == "de:Frontier" and ax.get_title() == "de:Frontier"
    assert ax.title.get_fontsize() != 7 and ax._left_title.get_fontsize() == 7
    assert later.get_xlabel() == "de:Made inside"
    assert {"Expected Risk", "Expected Return", "Frontier", "Made inside"} <= risk.translations
    assert not any(text.startswith("de:") for text in risk.translations)
    ax.set_xlabel("Outside")
    assert ax.get_xlabel() == "Outside" and "Outside" not in risk.translations
    plt.close(fig)


def test_the_setters_come_back_when_the_body_fails(german):
    before = setters()
    fig, ax = plt.subplots()
    failure = RuntimeError("chart failed")
    with pytest.raises(RuntimeError) as raised:
        with risk.translateAxes():
            ax.set_title("Before failing")
            raise failure
    assert raised.value is failure
    assert setters() == before
    with pytest.raises(TypeError):
        with risk.translateAxes():
            ax.set_xlabel(xlabel="the library's own name")
    with pytest.raises(TypeError):
        with risk.translateAxes():
            ax.set_ylabel(["not", "hashable"])
    assert ax.get_ylabel() == ""
    assert setters() == before
    plt.close(fig)


def test_a_refused_replacement_puts_back_those_already_made(monkeypatch):
    original = plt.Axes

    class Refusing(type):
        def __setattr__(cls, name, value):
            if name == "set_title" and value is not original.set_title:
                raise AttributeError("set_title is read-only here")
            setattr(original, name, value)

    monkeypatch.setattr(plt, "Axes", Refusing("Axes", (), {"set_xlabel": original.set_xlabel,
                                                         "set_ylabel": original.set_ylabel,
                                                         "set_title": original.set_title}))
    before = (original.set_xlabel, original.set_ylabel, original.set_title)
    with pytest.raises(AttributeError):
        with risk.translateAxes():
            pytest.fail("the body must not run")
    assert (original.set_xlabel, original.set_ylabel, original.set_title) == before


def test_the_dummy_axes_throws_the_cell_texts_back():
    ax = risk.DummyAx()
    assert ax.get_figure() is None and ax.set_axis_off() is None and ax.axis("tight") is None
    ax.axis("off")
    with pytest.raises(TypeError):
        ax.axis(option="off")
    cells = np.array([["Mean Return (1)", "12.3456%"], ["Skewness", "-0.25117"]], dtype=object)
    with pytest.raises(risk.DataCapturedException) as raised:
        ax.table(cellText=cells, colLabels=["", "Values"], loc="upper left")
    assert isinstance(raised.value, Exception)
    assert raised.value.data is cells and raised.value.message == "Data Captured"
    assert str(raised.value) == "Data Captured"
    assert list(raised.value.data[:, 0]) == ["Mean Return (1)", "Skewness"]
    with pytest.raises(risk.DataCapturedException) as raised:
        ax.table()
    assert raised.value.data is None
    assert risk.DataCapturedException("x").data is None
    assert risk.DataCapturedException(message=3, data="d").args == (3,)
