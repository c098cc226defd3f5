"""Controls and the window: the tool's table, its refusals in its words, its
fitting of the window, through the same settings file."""

import json

import pytest

import norvikcam


def test_the_controls_are_the_tools(tool):
    info = json.loads(tool.run("info", "--json").stdout)
    theirs = {c["name"]: c for c in info["controls"]}
    # The table needs no camera; an open one has the same.
    controls = norvikcam.Camera.controls
    assert list(controls) == list(theirs)
    for name, c in controls.items():
        t = theirs[name]
        assert c.name == name
        assert (c.writable, c.inert, c.switch) == (t["writable"], t["inert"], t["type"] == "switch")
        assert c.unit == t["unit"] and c.description == t["description"]
        if "min" in t:
            assert c.range == (t["min"], t["max"]) and c.default == t["default"], name
        else:
            assert c.range is None, name


@pytest.mark.parametrize(
    "name,value",
    [("exposure", 5000), ("exposure", -1), ("flip_h", 2), ("timeout", 500), ("sensor_width", 1),
     ("bogus", 1), ("exposure", 2**31), ("Exposure", 1015)])
def test_a_value_the_tool_refuses_is_refused_in_its_words(settings, tool, name, value):
    with norvikcam.open(settings=settings) as cam:
        before = {n: cam[n] for n in ("exposure", "flip_h", "timeout")}
        with pytest.raises(norvikcam.InvalidArgumentError) as e:
            cam[name] = value
        assert {n: cam[n] for n in before} == before  # nothing was changed
    assert str(e.value) == tool.error("set", f"{name}={value}")


def test_a_value_set_is_what_the_tool_reads(settings, tool):
    with norvikcam.open(settings=settings) as cam:
        cam["Exposure"] = 200  # names in any case, as the tool takes them
        cam["flip_h"] = True
        assert cam["exposure"] == 200
        assert cam["EXPOSURE"] == 200
    # Closing saved the settings.
    assert tool.run("get", "exposure", "flip_h").stdout == "exposure=200\nflip_h=1\n"
    tool.run("set", "exposure=321")
    with norvikcam.open(settings=settings) as cam:
        assert cam["exposure"] == 321


def test_the_window_is_fitted_as_the_tool_fits_it(settings, tool):
    asked = (101, 51, 1283, 721)
    with norvikcam.open(settings=settings) as cam:
        cam.window = asked
        w = cam.window
    said = tool.run("window", *map(str, asked), settings="other.reg").stdout.strip()
    assert said == (f"window: x={w.x} y={w.y} width={w.width} height={w.height}, "
                    f"frames {w.output_width}x{w.output_height}")
    assert (w.x, w.y) != asked[:2] or (w.width, w.height) != asked[2:]  # it was fitted
    # The tool reads the window the Python side set.
    assert f"window: x={w.x} y={w.y} width={w.width} height={w.height}" in tool.run("info").stdout


def test_the_cameras_listed(cam):
    devices = [c.device for c in norvikcam.list_cameras()]
    assert devices[0] == "sim"
