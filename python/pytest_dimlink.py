"""The pytest fixture dimlink_tcp_supply: a simulated supply for each test that asks for it.

Installed with pip, pytest finds this plugin itself. Otherwise name it in the top-level
conftest.py: pytest_plugins = ["pytest_dimlink"]

    def test_reading(dimlink_tcp_supply):
        with dimlink.open_tcp(*dimlink_tcp_supply) as supply: ...

    @pytest.mark.parametrize("dimlink_tcp_supply", [{"status": 7}], indirect=True)
    def test_knob(dimlink_tcp_supply): ...

The parameter's keywords are dimlink.testing.simulated_supply()'s.

A module of its own, outside the dimlink package: pytest loads every installed plugin in
every run, and importing the package loads libdimlink, which a machine with the package
but not the library lacks. Only a test that asks for the fixture needs the library.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest


@pytest.fixture
def dimlink_tcp_supply(request: pytest.FixtureRequest) -> Iterator[tuple[str, int]]:
    """(address, port) of a supply-sim started for this test and stopped after it."""
    from dimlink.testing import simulated_supply

    with simulated_supply(**getattr(request, "param", {})) as supply:
        yield supply
