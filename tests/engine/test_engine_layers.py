"""The engine's folders include one another one way: the request (what a
run is asked) and the report (what a run says) are below the command line
that reads the one and prints the other, and neither reaches back."""

import os
import re

import pytest

from conftest import ROOT

ENGINE = os.path.join(ROOT, "src", "engine")


def folder_includes():
    graph = {}
    for folder, _, names in os.walk(ENGINE):
        own = os.path.relpath(folder, ENGINE).split(os.sep)[0]
        for name in names:
            if not name.endswith((".h", ".cpp", ".inc")):
                continue
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                for included in re.findall(r'#include "([^"]+)"', f.read()):
                    target = os.path.normpath(os.path.join(folder, included))
                    other = os.path.relpath(target, ENGINE).split(os.sep)[0]
                    if other != own and not other.startswith(".."):
                        graph.setdefault(own, set()).add(other)
    return graph


def reaches(graph, start):
    seen, todo = set(), [start]
    while todo:
        for other in graph.get(todo.pop(), ()):
            if other not in seen:
                seen.add(other)
                todo.append(other)
    return seen


@pytest.mark.parametrize("folder", ["request", "report", "numbers"])
def test_a_folder_below_the_command_line_does_not_reach_back_to_itself(folder):
    assert folder not in reaches(folder_includes(), folder)


def test_the_request_reads_nothing_of_the_run():
    # What a run is asked holds values, not the stages that act on them.
    assert reaches(folder_includes(), "request") <= {"numbers"}
