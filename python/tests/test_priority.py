"""The priority of the threads that carry frames, as the tool says it."""

import norvikcam


def tool_says(tool, *args: str) -> str:
    out = tool.run("info", *args).stdout
    prefix = "frame path priority: "
    return next(line for line in out.splitlines() if line.startswith(prefix))[len(prefix):]


def test_the_frame_path_priority_is_what_the_tool_says(settings, tool):
    for kwargs, args in [({}, ()), ({"raise_priority": False}, ("--normal-priority",)),
                         ({"fps": 0}, ("--fps", "0"))]:
        with norvikcam.open(settings=settings, **kwargs) as cam:
            ours = cam.priority
        assert ours == tool_says(tool, *args), kwargs
