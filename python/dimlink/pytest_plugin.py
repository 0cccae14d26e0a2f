"""The pytest fixture dimlink_tcp_supply: a simulated supply for each test that asks for it.

Installed with pip, pytest finds this plugin itself. Otherwise name it in the top-level
conftest.py: pytest_plugins = ["dimlink.pytest_plugin"]

    def test_reading(dimlink_tcp_supply):
        with dimlink.open_tcp(*dimlink_tcp_supply) as supply: ...

    @pytest.mark.parametrize("dimlink_tcp_supply", [{"status": 7}], indirect=True)
    def test_knob(dimlink_tcp_supply): ...

The parameter's keywords are dimlink.testing.simulated_supply()'s.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest


@pytest.fixture
def dimlink_tcp_supply(request: pytest.FixtureRequest) -> Iterator[tuple[str, int]]:
    """(address, port) of a supply-sim started for this test and stopped after it."""
    # Imported here so that loading the plugin never needs the library.
    from dimlink.testing import simulated_supply

    with simulated_supply(**getattr(request, "param", {})) as supply:
        yield supply
