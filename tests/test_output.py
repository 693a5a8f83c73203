"""Output writers: the table, CSV, JSON and HTML forms of the command-line tool's records, and the
terminal's colour choice."""

from unittest import mock

import pytest

from lumvarde_quorle import output


@pytest.mark.parametrize(
    "choice, environ, tty, expected",
    [("auto", {}, True, True), ("auto", {"NO_COLOR": "1"}, True, False), ("auto", {"TERM": "dumb"}, True, False),
     ("always", {"NO_COLOR": "1"}, False, True), ("never", {}, True, False)],
)
def test_colour_follows_terminal_and_no_color(choice, environ, tty, expected):
    stream = mock.Mock(isatty=mock.Mock(return_value=tty))
    assert output.use_colour(choice, stream, environ) is expected
